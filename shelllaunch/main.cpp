// shelllaunch: hands one document, program or URL to the Windows shell with the default
// verb, passing the further command-line arguments on as its parameters. It prints nothing
// and reports the outcome in its exit code only.
//
// The wide command line and ShellExecuteW are used so that names outside the ANSI code
// page (a Greek or CJK file name on a Western system) reach the shell intact; for ANSI
// text the result is the same as through the narrow calls.
#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include <string>
#include <vector>

#include "shelllaunch/parameters.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return shelllaunch::exit_no_document;

    const std::vector<std::wstring> further(argv + 2, argv + argc);
    const std::wstring parameters = shelllaunch::join_parameters(further);

    HINSTANCE result = ShellExecuteW(nullptr, nullptr, argv[1], parameters.c_str(), nullptr, SW_SHOWNORMAL);
    return shelllaunch::exit_code_for_shell_result(reinterpret_cast<INT_PTR>(result));
}
