#include "wirelet/desktop/desktop_api.h"

#include "wirelet/desktop/browser_launch.h"
#include "wirelet/desktop/window_search.h"
#include "wirelet/monitor/java_strings.h"
#include "wirelet/monitor/modified_utf8.h"

namespace NWireletDesktop {
namespace {

// Java text as UTF-16 for the wide APIs: the modified UTF-8 of a Java string decodes losslessly.
std::wstring JavaStringToWide(JNIEnv* env, jstring string) {
    return NWireletMonitor::DecodeModifiedUtf8(NWireletMonitor::JavaStringToNarrow(env, string));
}

}  // namespace

bool LaunchBrowserWithUrl(JNIEnv* env, jstring url, bool useShell) {
    std::wstring text = JavaStringToWide(env, url);
    return useShell ? OpenWithShell(text) : LaunchDefaultBrowser(text);
}

bool DoesWindowWithPartialTitleExist(JNIEnv* env, jstring partialTitle, bool bringToFront) {
    if (partialTitle == nullptr) return false;
    HWND window = FindWindowWithPartialTitle(JavaStringToWide(env, partialTitle));
    if (window == nullptr) return false;
    if (bringToFront) BringWindowToFront(window);
    return true;
}

}  // namespace NWireletDesktop
