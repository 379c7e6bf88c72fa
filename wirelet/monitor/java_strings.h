#pragma once
// Conversions between Java strings and the library's narrow strings. Narrow text that came from
// Java is modified UTF-8, exactly as GetStringUTFChars gives it, so it carries any Unicode text.

#include <jni.h>

#include <string>

namespace NWireletMonitor {

// The string's modified UTF-8 bytes (never a zero byte). A null string gives "". Throws
// std::bad_alloc when the VM cannot supply the bytes (its OutOfMemoryError is then pending).
std::string JavaStringToNarrow(JNIEnv* env, jstring string);

// A new Java string (local reference) from modified UTF-8 bytes, built with NewString from UTF-16
// so that bytes from an untrusted sender are never handed to NewStringUTF; malformed bytes become
// U+FFFD. Null when the VM cannot make the string (an exception is then pending).
jstring NarrowToJavaString(JNIEnv* env, const std::string& text);

}  // namespace NWireletMonitor
