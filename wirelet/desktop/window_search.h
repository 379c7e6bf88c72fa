#pragma once
// Finding a top-level window by part of its title, and bringing it forward.

#include <windows.h>

#include <string>

namespace NWireletDesktop {

// The first top-level window (visible or hidden, of any process, in EnumWindows order) whose
// title, read into 260 units without sending the window a message, contains the text with ASCII
// letters in any case. Child windows are not searched. Null when none matches.
HWND FindWindowWithPartialTitle(const std::wstring& text);

// Restores the window if it is minimized, then raises it above the non-topmost windows.
void BringWindowToFront(HWND window);

}  // namespace NWireletDesktop
