#pragma once
// Helpers for tests that start a GUI program, watch its message boxes and answer them.

#include <windows.h>

#include <string>
#include <vector>

namespace zephra_test {

// A program started with a raw command line and not waited for; ended (TerminateProcess) by the
// destructor if it is still running.
class child_process {
public:
    explicit child_process(const std::wstring& command_line, const std::wstring& working_directory = L"");
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    DWORD id() const { return id_; }
    // True when the process ended within the time.
    bool wait(DWORD timeout_ms);
    DWORD exit_code() const;

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// The visible top-level windows of a process with exactly this title.
std::vector<HWND> top_level_windows(DWORD process_id, const std::wstring& title);

struct message_box {
    HWND window = nullptr;  // null: none appeared in time
    std::wstring text;      // the text of its Static child
};

// Waits until the process shows a top-level window with the title and reads its message text.
message_box wait_for_message_box(DWORD process_id, const std::wstring& title, DWORD timeout_ms);

// Presses the box's (first) button with BM_CLICK.
bool press_button(HWND box);

}  // namespace zephra_test
