// WinMain's command-monitor natives: thin walls over the monitor library.
#include <com_brevant_zephra_client_maincontrol_WinMain.h>

#include "wirelet/jni/jni_wall.h"
#include "wirelet/monitor/monitor_api.h"

using NWireletJni::JniWall;
using NWireletJni::JniWallVoid;

extern "C" {

JNIEXPORT jint JNICALL
Java_com_brevant_zephra_client_maincontrol_WinMain_nativeGetCommandMonitorToken(JNIEnv* env, jclass, jobject receiver) {
    return JniWall<jint>(0, [&] { return NWireletMonitor::GetCommandMonitorToken(env, receiver); });
}

JNIEXPORT jboolean JNICALL
Java_com_brevant_zephra_client_maincontrol_WinMain_nativeIsCommandMonitorThisProcess(JNIEnv*, jclass, jint token) {
    return JniWall<jboolean>(
        JNI_FALSE, [&] { return NWireletMonitor::IsCommandMonitorThisProcess(token) ? JNI_TRUE : JNI_FALSE; });
}

JNIEXPORT void JNICALL Java_com_brevant_zephra_client_maincontrol_WinMain_nativeSendCommandToCommandMonitor(
    JNIEnv* env, jclass, jint token, jstring method, jstring argument) {
    JniWallVoid([&] { NWireletMonitor::SendCommandToCommandMonitor(env, token, method, argument); });
}

JNIEXPORT void JNICALL Java_com_brevant_zephra_client_maincontrol_WinMain_nativeBringCommandMonitorProcessToFront(
    JNIEnv*, jclass, jint token) {
    JniWallVoid([&] { NWireletMonitor::BringCommandMonitorProcessToFront(token); });
}

JNIEXPORT void JNICALL Java_com_brevant_zephra_client_maincontrol_WinMain_nativeDestroyCommandMonitor(JNIEnv* env,
                                                                                                      jclass,
                                                                                                      jint token) {
    JniWallVoid([&] { NWireletMonitor::DestroyCommandMonitor(env, token); });
}

}  // extern "C"
