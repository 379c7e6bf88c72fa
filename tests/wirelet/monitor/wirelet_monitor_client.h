#pragma once
// Test infrastructure: the real Wirelet.dll loaded into a JVM double the way a Java VM loads it
// (java.library.path, JNI_OnLoad), and WinMain's monitor natives called as the VM calls them:
// inside a native frame, with the env and the WinMain class.

#include <jni.h>

#include <string>

#include "doubles/jvm/jvm_double.h"

namespace monitor_client {

// Spelled out here rather than taken from the product, so a wrong name in either shows.
inline constexpr char kMonitorClassName[] = "Brevant_Zephra_Remote_CommandMonitor::UniqueWindow";
inline constexpr char kCommandDescriptor[] = "(Ljava/lang/String;)V";

// The VM options that let the double find Wirelet.dll in the build's bin directory.
jvm_double::VmOptions WireletVmOptions();

class CWireletNatives {
public:
    // Loads Wirelet.dll; throws std::runtime_error when it or a native is missing.
    explicit CWireletNatives(jvm_double::Vm& vm);
    ~CWireletNatives();
    CWireletNatives(const CWireletNatives&) = delete;
    CWireletNatives& operator=(const CWireletNatives&) = delete;

    // A new object of receiverClass is the receiver; an empty class name passes null.
    jint Token(const std::string& receiverClass);
    bool IsThisProcess(jint token);
    // A null argument pointer passes a null String.
    void Send(jint token, const std::u16string& method, const std::u16string* argument);
    void BringToFront(jint token);
    void Destroy(jint token);

private:
    jvm_double::Vm& m_Vm;
    jvm_double::NativeLibrary m_Library;
    jint(JNICALL* m_Token)(JNIEnv*, jclass, jobject) = nullptr;
    jboolean(JNICALL* m_IsThisProcess)(JNIEnv*, jclass, jint) = nullptr;
    void(JNICALL* m_Send)(JNIEnv*, jclass, jint, jstring, jstring) = nullptr;
    void(JNICALL* m_BringToFront)(JNIEnv*, jclass, jint) = nullptr;
    void(JNICALL* m_Destroy)(JNIEnv*, jclass, jint) = nullptr;
};

}  // namespace monitor_client
