#include "support/gui_process.h"

#include <stdexcept>

#include "support/process.h"

namespace zephra_test {

child_process::child_process(const std::wstring& command_line, const std::wstring& working_directory) {
    std::wstring line = command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        working_directory.empty() ? nullptr : working_directory.c_str(), &startup, &info)) {
        throw std::runtime_error("CreateProcessW failed for " + narrow(line) + ": " + std::to_string(GetLastError()));
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
}

child_process::~child_process() {
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 0xDEAD);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
}

bool child_process::wait(DWORD timeout_ms) { return WaitForSingleObject(process_, timeout_ms) == WAIT_OBJECT_0; }

DWORD child_process::exit_code() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

namespace {
struct window_search {
    DWORD process_id;
    const std::wstring* title;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_window(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<window_search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->process_id || !IsWindowVisible(window)) return TRUE;
    wchar_t text[512];
    int n = GetWindowTextW(window, text, 512);
    if (std::wstring(text, static_cast<std::size_t>(n > 0 ? n : 0)) == *search->title) search->found.push_back(window);
    return TRUE;
}

BOOL CALLBACK find_static(HWND child, LPARAM param) {
    wchar_t cls[64];
    GetClassNameW(child, cls, 64);
    if (lstrcmpiW(cls, L"Static") != 0) return TRUE;
    wchar_t text[2048];
    int n = GetWindowTextW(child, text, 2048);
    if (n <= 0) return TRUE;  // an icon holder has no text
    *reinterpret_cast<std::wstring*>(param) = std::wstring(text, static_cast<std::size_t>(n));
    return FALSE;
}
}  // namespace

std::vector<HWND> top_level_windows(DWORD process_id, const std::wstring& title) {
    window_search search{process_id, &title, {}};
    EnumWindows(collect_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

message_box wait_for_message_box(DWORD process_id, const std::wstring& title, DWORD timeout_ms) {
    message_box box;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout_ms) {
        std::vector<HWND> windows = top_level_windows(process_id, title);
        if (!windows.empty()) {
            box.window = windows.front();
            // The text control may be filled just after the window shows.
            for (int i = 0; i < 50 && box.text.empty(); ++i) {
                EnumChildWindows(box.window, find_static, reinterpret_cast<LPARAM>(&box.text));
                if (box.text.empty()) Sleep(20);
            }
            return box;
        }
        Sleep(30);
    }
    return box;
}

bool press_button(HWND box) {
    HWND button = FindWindowExW(box, nullptr, L"Button", nullptr);
    if (button == nullptr) return false;
    SendMessageW(button, BM_CLICK, 0, 0);
    return true;
}

}  // namespace zephra_test
