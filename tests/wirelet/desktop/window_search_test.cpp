// Window search over the real desktop of the test's Wine prefix. Every probe window carries the
// test process id in its title, so windows of other test programs never match by accident.
#include "wirelet/desktop/window_search.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using namespace NWireletDesktop;

namespace {

// A top-level (or child) STATIC window that the test owns.
class CProbeWindow {
public:
    CProbeWindow(const std::wstring& title, DWORD style, HWND parent = nullptr) {
        m_Window = CreateWindowExW(0, L"STATIC", title.c_str(), style, 10, 10, 200, 100, parent, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    }
    ~CProbeWindow() {
        if (m_Window != nullptr) DestroyWindow(m_Window);
    }
    CProbeWindow(const CProbeWindow&) = delete;
    CProbeWindow& operator=(const CProbeWindow&) = delete;
    HWND Get() const { return m_Window; }

private:
    HWND m_Window = nullptr;
};

std::wstring Unique(const std::wstring& text) { return text + L" " + std::to_wstring(GetCurrentProcessId()); }

}  // namespace

TEST(WindowSearch, AsciiLettersMatchInAnyCaseOtherTextExactly) {
    const std::wstring title = Unique(L"Zephra Probe \u00c4rger \u65e5\u672c");
    CProbeWindow probe(title, WS_OVERLAPPEDWINDOW);  // hidden: no WS_VISIBLE
    ASSERT_NE(probe.Get(), nullptr);
    ASSERT_FALSE(IsWindowVisible(probe.Get()));
    EXPECT_EQ(FindWindowWithPartialTitle(title), probe.Get());
    EXPECT_EQ(FindWindowWithPartialTitle(Unique(L"zEPHRA pROBE \u00c4rger \u65e5\u672c")), probe.Get());
    EXPECT_EQ(FindWindowWithPartialTitle(Unique(L"\u65e5\u672c")), probe.Get());
    // Letters outside ASCII are not folded.
    EXPECT_EQ(FindWindowWithPartialTitle(Unique(L"Zephra Probe \u00e4rger \u65e5\u672c")), nullptr);
    EXPECT_EQ(FindWindowWithPartialTitle(Unique(L"Zephra Probe Xrger")), nullptr);
}

TEST(WindowSearch, ChildWindowsAreNotSearched) {
    CProbeWindow parent(Unique(L"Zephra Parent"), WS_OVERLAPPEDWINDOW);
    CProbeWindow child(Unique(L"Zephra Child Only"), WS_CHILD | WS_VISIBLE, parent.Get());
    ASSERT_NE(child.Get(), nullptr);
    EXPECT_EQ(FindWindowWithPartialTitle(Unique(L"Zephra Child Only")), nullptr);
    EXPECT_EQ(FindWindowWithPartialTitle(Unique(L"Zephra Parent")), parent.Get());
}

TEST(WindowSearch, OnlyTheFirst259UnitsOfATitleAreSeen) {
    std::wstring head = Unique(L"Zephra Long");
    std::wstring title = head + std::wstring(250 - head.size(), L'.') + L"ABCDEFGHIJKLMNOP";  // J at 259
    CProbeWindow probe(title, WS_OVERLAPPEDWINDOW);
    ASSERT_EQ(GetWindowTextLengthW(probe.Get()), static_cast<int>(title.size()));
    EXPECT_EQ(FindWindowWithPartialTitle(L"....abcdefghi"), probe.Get());
    EXPECT_EQ(FindWindowWithPartialTitle(L"....abcdefghij"), nullptr);
}

TEST(WindowSearch, UntitledWindowsNeverMatch) {
    CProbeWindow untitled(L"", WS_OVERLAPPEDWINDOW);
    HWND found = FindWindowWithPartialTitle(L"");
    EXPECT_NE(found, nullptr);  // the empty text matches the first titled window
    EXPECT_NE(found, untitled.Get());
    EXPECT_GT(GetWindowTextLengthW(found), 0);
}

TEST(WindowSearch, BringToFrontRestoresAMinimizedWindow) {
    CProbeWindow probe(Unique(L"Zephra Minimized"), WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ShowWindow(probe.Get(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(probe.Get()));
    BringWindowToFront(probe.Get());
    EXPECT_FALSE(IsIconic(probe.Get()));
    EXPECT_TRUE(IsWindowVisible(probe.Get()));
}
