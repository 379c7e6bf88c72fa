// The desktop natives of the real Wirelet.dll, called as a Java VM calls them (the JVM double
// loads the library and runs each call in a native frame).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "classes_root.h"
#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/jvm_double_gtest.h"
#include "support/process.h"

using namespace zephra_test;

namespace {

const char kMainControl[] = "com/brevant/zephra/client/maincontrol/MainControl";
const char kMainFrame[] = "com/brevant/zephra/client/ui/AbstractMainFrame";

jvm_double::VmOptions Options() {
    jvm_double::VmOptions options;
    options.options.push_back("-Djava.library.path=" + narrow(deliverable(L"")));
    return options;
}

class DesktopNatives : public ::testing::Test {
protected:
    void SetUp() override {
        m_Vm.define_class(kMainControl);
        m_Vm.define_class(kMainFrame);
        m_Library = m_Vm.load_library("Wirelet");
        ASSERT_NE(m_Library.module, nullptr);
        m_FindWindow = reinterpret_cast<decltype(m_FindWindow)>(jvm_double::find_native(
            m_Library.module, jvm_double::native_export_name(kMainControl, "nativeDoesWindowWithPartialTitleExist"),
            16));
        m_Launch = reinterpret_cast<decltype(m_Launch)>(jvm_double::find_native(
            m_Library.module, jvm_double::native_export_name(kMainControl, "nativeLaunchBrowserWithUrl"), 16));
        m_BringProcess = reinterpret_cast<decltype(m_BringProcess)>(jvm_double::find_native(
            m_Library.module, jvm_double::native_export_name(kMainFrame, "nativeBringProcessToFront"), 8));
        ASSERT_TRUE(m_FindWindow && m_Launch && m_BringProcess);
    }
    void TearDown() override {
        if (m_Library.module != nullptr) m_Vm.unload_library(m_Library);
    }

    bool FindWindowNative(const std::wstring* text, bool bringToFront) {
        jboolean result = JNI_FALSE;
        m_Vm.call_native([&](JNIEnv* env) {
            jstring title = text ? m_Vm.new_string(std::u16string(text->begin(), text->end())) : nullptr;
            result = m_FindWindow(env, m_Vm.new_object(kMainControl), title, bringToFront ? JNI_TRUE : JNI_FALSE);
        });
        return result != JNI_FALSE;
    }
    bool LaunchNative(const std::wstring* url, bool useShell) {
        jboolean result = JNI_FALSE;
        m_Vm.call_native([&](JNIEnv* env) {
            jstring text = url ? m_Vm.new_string(std::u16string(url->begin(), url->end())) : nullptr;
            result = m_Launch(env, m_Vm.new_object(kMainControl), text, useShell ? JNI_TRUE : JNI_FALSE);
        });
        return result != JNI_FALSE;
    }

    jvm_double::Vm m_Vm{Options()};
    jvm_double::NativeLibrary m_Library;
    jboolean(JNICALL* m_FindWindow)(JNIEnv*, jobject, jstring, jboolean) = nullptr;
    jboolean(JNICALL* m_Launch)(JNIEnv*, jobject, jstring, jboolean) = nullptr;
    void(JNICALL* m_BringProcess)(JNIEnv*, jobject) = nullptr;
};

}  // namespace

TEST_F(DesktopNatives, WindowSearchBringsForwardOnlyWhenAsked) {
    const std::wstring title = L"Zephra Native Probe \u00c4 " + std::to_wstring(GetCurrentProcessId());
    HWND window = CreateWindowExW(0, L"STATIC", title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100,
                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_MINIMIZE);
    RECT before{};
    GetWindowRect(window, &before);

    std::wstring upper = L"ZEPHRA NATIVE PROBE \u00c4 " + std::to_wstring(GetCurrentProcessId());
    EXPECT_TRUE(FindWindowNative(&upper, false));
    EXPECT_TRUE(IsIconic(window));  // left as it was
    RECT after{};
    GetWindowRect(window, &after);
    EXPECT_TRUE(EqualRect(&before, &after));

    EXPECT_TRUE(FindWindowNative(&title, true));
    EXPECT_FALSE(IsIconic(window));

    std::wstring absent = L"Zephra No Such Window " + std::to_wstring(GetCurrentProcessId());
    EXPECT_FALSE(FindWindowNative(&absent, true));
    EXPECT_FALSE(FindWindowNative(nullptr, true));
    DestroyWindow(window);

    m_Vm.call_native([&](JNIEnv* env) { m_BringProcess(env, m_Vm.new_object(kMainFrame)); });
}

TEST_F(DesktopNatives, BrowserLaunchFailuresGiveFalse) {
    CSavedClassesRootValue html{L".html"};
    CSavedClassesRootValue http{L"http\\shell\\open\\command"};
    html.Set(L"ZephraTest.NoHandler");
    temp_dir dir(L"desktop natives");
    http.Set(L"\"" + dir.path() + L"missing browser.exe\" \"%1\"");
    const std::wstring url = L"http://example.com/";
    EXPECT_FALSE(LaunchNative(&url, false));  // CreateProcessW failed: nothing started
    EXPECT_FALSE(LaunchNative(nullptr, false));
    EXPECT_FALSE(LaunchNative(nullptr, true));
    const std::wstring unopenable = dir.path() + L"no such document.html";
    EXPECT_FALSE(LaunchNative(&unopenable, true));

    // A Java string may hold U+0000 (modified UTF-8 carries it as C0 80). The URL would be cut
    // where the command line ends, so nothing is started, though a program is there to start.
    http.Set(L"\"" + test_bin_dir() + L"cmdline_recorder.exe\" \"%1\"");
    const std::wstring withZero(L"http://example.com/\0 --evil", 27);
    EXPECT_FALSE(LaunchNative(&withZero, false));
    EXPECT_FALSE(LaunchNative(&withZero, true));
    EXPECT_TRUE(LaunchNative(&url, false));  // the same command starts the program for a plain URL
}
