// The desktop natives of MainControl and AbstractMainFrame: thin walls over the desktop library.
#include <com_brevant_zephra_client_maincontrol_MainControl.h>
#include <com_brevant_zephra_client_ui_AbstractMainFrame.h>

#include "wirelet/desktop/desktop_api.h"
#include "wirelet/device/manager.h"
#include "wirelet/jni/jni_wall.h"
#include "wirelet/jni/library_manager.h"

using NWireletJni::JniWall;
using NWireletJni::JniWallVoid;

extern "C" {

JNIEXPORT jboolean JNICALL Java_com_brevant_zephra_client_maincontrol_MainControl_nativeDoesWindowWithPartialTitleExist(
    JNIEnv* env, jobject, jstring partialTitle, jboolean bringToFront) {
    return JniWall<jboolean>(JNI_FALSE, [&] {
        return NWireletDesktop::DoesWindowWithPartialTitleExist(env, partialTitle, bringToFront != JNI_FALSE)
                   ? JNI_TRUE
                   : JNI_FALSE;
    });
}

// A browser that cannot be started (CCheckException from CreateProcessW) gives false: nothing
// was opened.
JNIEXPORT jboolean JNICALL Java_com_brevant_zephra_client_maincontrol_MainControl_nativeLaunchBrowserWithUrl(
    JNIEnv* env, jobject, jstring url, jboolean useShell) {
    return JniWall<jboolean>(JNI_FALSE, [&] {
        return NWireletDesktop::LaunchBrowserWithUrl(env, url, useShell != JNI_FALSE) ? JNI_TRUE : JNI_FALSE;
    });
}

// Forwarded to the channel manager, whose implementation leaves the process where it is.
JNIEXPORT void JNICALL Java_com_brevant_zephra_client_ui_AbstractMainFrame_nativeBringProcessToFront(JNIEnv*, jobject) {
    JniWallVoid([] {
        if (CWireletManager* manager = NWireletJni::LibraryManager()) manager->BringProcessToFront();
    });
}

}  // extern "C"
