#include "wirelet/desktop/window_search.h"

#include <new>

#include "wirelet/desktop/ascii_case.h"
#include "wirelet/desktop/title_match.h"

namespace NWireletDesktop {
namespace {

// One search, on the caller's stack for the length of the enumeration.
struct CPartialTitleSearch {
    std::wstring needle;  // folded
    HWND found = nullptr;
    bool failed = false;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM parameter) noexcept {
    auto* search = reinterpret_cast<CPartialTitleSearch*>(parameter);
    wchar_t title[kTitleBufferUnits];
    // The stored title, read without a message: GetWindowText sends WM_GETTEXT to windows of this
    // process and waits for their threads, which deadlocks when such a thread (the command
    // monitor's, inside a receiver method) waits for this one.
    int length = InternalGetWindowText(window, title, static_cast<int>(kTitleBufferUnits));
    if (length <= 0) return TRUE;
    try {
        if (!TitleMatches(std::wstring(title, static_cast<std::size_t>(length)), search->needle)) return TRUE;
    } catch (...) {
        // Nothing may unwind through EnumWindows.
        search->failed = true;
        return FALSE;
    }
    search->found = window;
    return FALSE;
}

}  // namespace

HWND FindWindowWithPartialTitle(const std::wstring& text) {
    CPartialTitleSearch search;
    search.needle = FoldAsciiLower(text);
    EnumWindows(&MatchTitle, reinterpret_cast<LPARAM>(&search));  // FALSE when the callback stopped it
    if (search.failed) throw std::bad_alloc();
    return search.found;
}

void BringWindowToFront(HWND window) {
    // SW_RESTORE: SW_SHOW would leave a minimized window minimized.
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

}  // namespace NWireletDesktop
