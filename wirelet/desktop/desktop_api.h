#pragma once
// The bodies of the desktop natives of MainControl and AbstractMainFrame. They may throw
// (CCheckException, std::bad_alloc); the exported functions run them through the JNI wall.

#include <jni.h>

namespace NWireletDesktop {

// Opens the URL through the shell (useShell) or in the default browser. A null or empty URL
// starts nothing and gives false.
bool LaunchBrowserWithUrl(JNIEnv* env, jstring url, bool useShell);

// Whether a top-level window's title contains the text; brings the first such window forward
// when asked. A null text gives false.
bool DoesWindowWithPartialTitleExist(JNIEnv* env, jstring partialTitle, bool bringToFront);

}  // namespace NWireletDesktop
