#pragma once

#include <string>
#include <vector>

namespace shelllaunch {

// Joins the arguments that follow the document into the shell's parameter string:
// one space between neighbours, no quotes added, nothing before the first or after
// the last. An empty argument still contributes its separating space.
std::wstring join_parameters(const std::vector<std::wstring>& arguments);

// Exit codes of the tool.
enum exit_code : int {
    exit_started = 0,       // the shell accepted the request
    exit_no_document = 1,   // the command line names no document
    exit_shell_refused = 2  // the shell refused the request
};

// Maps the result of ShellExecute (an HINSTANCE value) to the tool's exit code.
exit_code exit_code_for_shell_result(long long shell_result);

}  // namespace shelllaunch
