#include "support/argv_reference.h"

#include <functional>

namespace zephra_test {
namespace {

// The runtime walks a zero-terminated string: past the end, or at a U+0000, it reads 0.
class cursor {
public:
    explicit cursor(const std::wstring& text) : text_(text) {}
    wchar_t at(std::size_t i) const { return i < text_.size() ? text_[i] : L'\0'; }

private:
    const std::wstring& text_;
};

bool blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Reads the program name from the start of the line; returns where the arguments begin.
std::size_t read_program_name(const cursor& s, argv_rules rules, std::wstring& name) {
    std::size_t p = 0;
    if (rules == argv_rules::pre2008) {
        if (s.at(0) == L'"') {
            for (p = 1; s.at(p) != L'"' && s.at(p) != L'\0'; ++p) name += s.at(p);
            if (s.at(p) == L'"') ++p;
        } else {
            for (; s.at(p) != L'\0' && !blank(s.at(p)); ++p) name += s.at(p);
        }
        return p;
    }
    bool in_quotes = false;
    for (; s.at(p) != L'\0' && (in_quotes || !blank(s.at(p))); ++p) {
        if (s.at(p) == L'"') {
            in_quotes = !in_quotes;
        } else {
            name += s.at(p);
        }
    }
    return p;
}

std::vector<std::wstring> read_arguments(const cursor& s, std::size_t p, argv_rules rules) {
    std::vector<std::wstring> args;
    bool in_quotes = false;
    for (;;) {
        while (blank(s.at(p))) ++p;
        if (s.at(p) == L'\0') break;
        std::wstring arg;
        for (;;) {
            bool copy = true;
            std::size_t slashes = 0;
            while (s.at(p) == L'\\') {
                ++p;
                ++slashes;
            }
            if (s.at(p) == L'"') {
                if (slashes % 2 == 0) {
                    bool doubled = in_quotes && s.at(p + 1) == L'"';
                    if (doubled) {
                        ++p;  // the second quote is copied
                    } else {
                        copy = false;
                    }
                    // Before 2008 a doubled quote also ends the stretch; after, it stays open.
                    if (rules == argv_rules::pre2008 || !doubled) in_quotes = !in_quotes;
                }
                slashes /= 2;
            }
            arg.append(slashes, L'\\');
            if (s.at(p) == L'\0' || (!in_quotes && blank(s.at(p)))) break;
            if (copy) arg += s.at(p);
            ++p;
        }
        args.push_back(arg);
    }
    return args;
}

}  // namespace

const char* rules_name(argv_rules rules) { return rules == argv_rules::pre2008 ? "pre-2008" : "post-2008"; }

std::vector<std::wstring> split_msvcrt(const std::wstring& command_line, argv_rules rules) {
    cursor s(command_line);
    std::wstring name;
    std::size_t p = read_program_name(s, rules, name);
    std::vector<std::wstring> argv{name};
    for (auto& arg : read_arguments(s, p, rules)) argv.push_back(std::move(arg));
    return argv;
}

std::vector<std::wstring> split_msvcrt_arguments(const std::wstring& text, argv_rules rules) {
    return read_arguments(cursor(text), 0, rules);
}

std::wstring cmd_command_as_read(const std::wstring& command, bool slash_s,
                                 const std::function<bool(const std::wstring&)>& names_executable) {
    std::size_t quotes = 0;
    for (wchar_t c : command) quotes += c == L'"';
    if (!slash_s && quotes == 2) {
        std::size_t open = command.find(L'"'), close = command.find(L'"', open + 1);
        std::wstring inside = command.substr(open + 1, close - open - 1);
        bool special = inside.find_first_of(L"&<>()@^|") != std::wstring::npos;
        bool has_blank = inside.find_first_of(L" \t") != std::wstring::npos;
        std::size_t separator = inside.find_last_of(L"\\/");
        if (inside.find(L'.', separator == std::wstring::npos ? 0 : separator + 1) == std::wstring::npos) {
            inside += L".exe";
        }
        if (!special && has_blank && names_executable && names_executable(inside)) return command;
    }
    if (command.empty() || command.front() != L'"') return command;
    std::wstring rest = command.substr(1);
    std::size_t last = rest.rfind(L'"');
    if (last != std::wstring::npos) rest.erase(last, 1);
    return rest;
}

std::optional<std::wstring> read_like_cmd(const std::wstring& whole_line,
                                          const std::function<bool(const std::wstring&)>& names_executable) {
    if (whole_line.find_first_of(L"\r\n") != std::wstring::npos) return std::nullopt;
    // cmd's own program name and switches, up to /C or /K; what follows is read by the quote rule.
    std::wstring line = whole_line;
    std::size_t at = 0;
    if (!line.empty() && line[0] == L'"') {
        at = line.find(L'"', 1);
        at = at == std::wstring::npos ? line.size() : at + 1;
    } else {
        while (at < line.size() && !blank(line[at])) ++at;
    }
    bool slash_s = false;
    for (;;) {
        while (at < line.size() && blank(line[at])) ++at;
        if (at + 1 >= line.size() || line[at] != L'/') break;
        wchar_t letter = line[at + 1] | 0x20;
        if (letter == L'c' || letter == L'k') {
            std::size_t start = at + 2;
            while (start < line.size() && blank(line[start])) ++start;
            line = line.substr(0, start) + cmd_command_as_read(line.substr(start), slash_s, names_executable);
            break;
        }
        std::size_t end = at;
        while (end < line.size() && !blank(line[end])) ++end;
        std::wstring word = line.substr(at, end - at);
        if (word.size() == 2 && (word[1] | 0x20) == L's') slash_s = true;
        at = end;
    }
    std::wstring expanded;
    std::size_t p = 0;
    for (std::size_t open = line.find(L'%'); open != std::wstring::npos; open = line.find(L'%', p)) {
        expanded.append(line, p, open - p);
        std::size_t close = line.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            p = open;
            break;
        }
        const std::wstring name = line.substr(open + 1, close - open - 1);
        const std::wstring variable = name.substr(0, name.find(L':'));
        if (!variable.empty() && variable.find(L'^') == std::wstring::npos && !blank(variable[0])) {
            return std::nullopt;
        }
        expanded += L'%' + name;
        p = close;  // the closing "%" may open the next name
    }
    expanded.append(line, p, std::wstring::npos);

    std::wstring passed;
    bool quoted = false;
    for (std::size_t i = 0; i < expanded.size(); ++i) {
        const wchar_t c = expanded[i];
        if (quoted) {
            quoted = c != L'"';
        } else if (c == L'^') {
            if (++i == expanded.size()) break;  // a caret that ends the line is dropped
            passed += expanded[i];
            continue;
        } else if (c == L'"') {
            quoted = true;
        } else if (std::wstring(L"&|<>()").find(c) != std::wstring::npos) {
            return std::nullopt;
        }
        passed += c;
    }
    return passed;
}

}  // namespace zephra_test
