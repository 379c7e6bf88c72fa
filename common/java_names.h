#pragma once
// Names that the native side fixes of the Java client's classes: class names in JNI's
// internal (slashed) form unless noted, member names and their descriptors.

namespace zephra_java {

// The main class, dotted as the launcher is given it, and its entry point.
inline constexpr const char kMainClassDotted[] = "com.brevant.zephra.client.maincontrol.WinMain";
inline constexpr const char kMainMethod[] = "main";
inline constexpr const char kMainDescriptor[] = "([Ljava/lang/String;)V";
inline constexpr const char kStringClass[] = "java/lang/String";

// Device channels.
inline constexpr const char kTokenField[] = "m_Token";
inline constexpr const char kTokenFieldDescriptor[] = "I";
inline constexpr const char kAddCandidateMethod[] = "AddCandidateIoPipe";
inline constexpr const char kAddCandidateDescriptor[] = "(I)V";
inline constexpr const char kGetRawDataMethod[] = "GetRawData";
inline constexpr const char kGetRawDataDescriptor[] = "()[B";

// Command receiver methods take one String and return nothing.
inline constexpr const char kCommandDescriptor[] = "(Ljava/lang/String;)V";

}  // namespace zephra_java
