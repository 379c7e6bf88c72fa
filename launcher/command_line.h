#pragma once
// Splitting of the launcher's command line into the arguments of the Java main method.
//
// Only the space separates arguments; a double quote opens or closes a quoted section anywhere in an
// argument (the quote itself is dropped, spaces inside are kept); there is no escape character. A
// quoted section that is never closed takes the rest of the text, and the splitting ends there.
// The narrow and the wide forms follow exactly the same rules.

#include <string>
#include <type_traits>
#include <vector>

namespace launcher_detail {

template <typename Char>
std::vector<std::basic_string<Char>> split(const Char* text) {
    std::vector<std::basic_string<Char>> args;
    if (text == nullptr) return args;
    const Char* p = text;
    while (*p != Char(0)) {
        std::basic_string<Char> arg;
        while (*p != Char(0) && *p != Char(' ')) {
            if (*p == Char('"')) {
                ++p;
                while (*p != Char(0) && *p != Char('"')) arg += *p++;
                if (*p == Char('"')) ++p;
            } else {
                arg += *p++;
            }
        }
        args.push_back(arg);
        if (*p == Char(' ')) ++p;  // exactly one separating space is consumed
    }
    return args;
}

template <typename Char>
bool at_or_below_space(Char c) {
    return static_cast<typename std::make_unsigned<Char>::type>(c) <= 0x20;
}

}  // namespace launcher_detail

// The argument list of a command-line text (without the program name).
std::vector<std::string> split_command_line(const char* text);
std::vector<std::wstring> split_command_line(const wchar_t* text);

// The text after the program name, as the runtime's start-up code for GUI programs hands it to the
// entry point: a quoted program name ends with its closing quote, an unquoted one at the first
// character at or below the space; the blanks and control characters that follow are skipped.
template <typename Char>
const Char* skip_program_name(const Char* line) {
    const Char* p = line;
    if (p == nullptr) return p;
    if (*p == Char('"')) {
        ++p;
        while (*p != Char(0) && *p != Char('"')) ++p;
        if (*p == Char('"')) ++p;
    } else {
        while (*p != Char(0) && !launcher_detail::at_or_below_space(*p)) ++p;
    }
    while (*p != Char(0) && launcher_detail::at_or_below_space(*p)) ++p;
    return p;
}
