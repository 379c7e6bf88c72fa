#include "shelllaunch/parameters.h"

namespace shelllaunch {

std::wstring join_parameters(const std::vector<std::wstring>& arguments) {
    std::wstring joined;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i != 0) joined += L' ';
        joined += arguments[i];
    }
    return joined;
}

exit_code exit_code_for_shell_result(long long shell_result) {
    return shell_result > 32 ? exit_started : exit_shell_refused;
}

}  // namespace shelllaunch
