#pragma once
// Helpers for tests that start real Windows programs under Wine and look at what they left behind.

#include <windows.h>

#include <string>
#include <vector>

namespace zephra_test {

// UTF-8 <-> UTF-16.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// Directory of the running test program (tests\bin), with a trailing backslash.
std::wstring test_bin_dir();
// Path of a shipped binary in the build's bin directory, e.g. deliverable(L"shelllaunch.exe").
std::wstring deliverable(const std::wstring& file_name);

// Quotes one argument by the Windows argv rules (CommandLineToArgvW / the C runtime).
std::wstring quote_argument(const std::wstring& argument);
// How a started program sees its command line: split by the Windows argv rules.
std::vector<std::wstring> split_like_runtime(const std::wstring& command_line);
// A whole command line: each argument quoted when it needs to be.
std::wstring make_command_line(const std::vector<std::wstring>& arguments);

struct process_result {
    bool finished = false;  // false: it did not end within the time-out and was killed
    DWORD exit_code = 0;
};

// Starts a program with the given command line (first element: the program) and waits.
process_result run_process(const std::vector<std::wstring>& arguments, DWORD timeout_ms,
                           const std::wstring& working_directory = L"");

// A directory of its own under the system temporary directory, removed with all it holds.
class temp_dir {
public:
    explicit temp_dir(const std::wstring& name_hint = L"zephra");
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    // Full path with a trailing backslash.
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

void remove_tree(const std::wstring& path);
bool file_exists(const std::wstring& path);
bool copy_file(const std::wstring& from, const std::wstring& to);
void write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);
// Polls until the file exists (written atomically by its producer) or the time runs out.
bool wait_for_file(const std::wstring& path, DWORD timeout_ms);

// Sets an environment variable for this process and the children it starts from now on.
void set_env(const std::wstring& name, const std::wstring& value);

}  // namespace zephra_test
