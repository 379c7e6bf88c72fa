#include "wirelet/desktop/browser_command.h"

#include <algorithm>

#include "wirelet/desktop/ascii_case.h"

namespace NWireletDesktop {
namespace {

const std::wstring kPlaceholder = L"%1";
const std::wstring kSingleArgumentSwitch = L"--single-argument";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool HoldsNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// Whether the last component of a path holds a ".": CreateProcess appends ".exe" to the program's
// name only when it does not.
bool HasExtension(const std::wstring& path) {
    std::size_t separator = path.find_last_of(L"\\/");
    return path.find(L'.', separator == std::wstring::npos ? 0 : separator + 1) != std::wstring::npos;
}

// Where an unquoted program that starts at `start` ends by the rule as registered commands are
// meant: up to the first blank, or, when the text holds blanks before a ".exe" that ends a word,
// up to that ".exe".
std::size_t ExeWordProgramEnd(const std::wstring& command, std::size_t start) {
    std::size_t firstBlank = command.find_first_of(L" \t", start);
    if (firstBlank == std::wstring::npos) return command.size();
    const std::wstring folded = FoldAsciiLower(command);
    for (std::size_t at = folded.find(L".exe", start); at != std::wstring::npos; at = folded.find(L".exe", at + 1)) {
        std::size_t end = at + 4;
        if (end < command.size() && !IsBlank(command[end])) continue;  // ".exec..." is not the end of a path
        return end > firstBlank ? end : firstBlank;
    }
    return firstBlank;
}

// Where an unquoted program that starts at `start` ends: as CreateProcess reads it, at the first
// blank (or the end) before which the text names an existing file; else by ExeWordProgramEnd.
std::size_t UnquotedProgramEnd(const std::wstring& command, std::size_t start, const FFileExists& fileExists) {
    for (std::size_t end = start + 1; fileExists && end <= command.size(); ++end) {
        if (end < command.size() && !IsBlank(command[end])) continue;
        std::wstring candidate = command.substr(start, end - start);
        if (!HasExtension(candidate)) candidate += L".exe";
        if (fileExists(candidate)) return end;
    }
    return ExeWordProgramEnd(command, start);
}

// The argument in quotes, every quote escaped and the backslashes before a quote (or before the
// closing quote) doubled: it splits back to itself under both generations.
std::wstring QuoteInAnyCase(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;  // the run of backslashes just copied
    for (wchar_t c : argument) {
        if (c == L'"') quoted.append(backslashes + 1, L'\\');  // the run doubled, then \" for the quote
        backslashes = c == L'\\' ? backslashes + 1 : 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes, L'\\');  // doubled: the closing quote follows
    quoted.push_back(L'"');
    return quoted;
}

// The characters that cmd reads as its own syntax outside quotes: command separators and pipes,
// redirections, blocks, its escape character, quotes, and the marks of variable expansion.
const std::wstring kCmdMetacharacters = L"()%!^\"<>&|";

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether the program reads its command line with cmd's syntax: cmd itself, or a batch file, which
// CreateProcess runs through cmd. Judged by the last component of the path (after the last \ or
// /), ASCII letters in any case, in each of its parts around a ":" (a drive as in C:cmd, a stream
// as in cmd.exe::$DATA), each without the trailing dots and spaces that Windows drops from a file
// name. A batch file ends in .bat or .cmd; cmd is "cmd" or "cmd.exe".
enum class EInterpreter { None, Cmd, BatchFile };
EInterpreter InterpreterOf(const std::wstring& program) {
    std::size_t separator = program.find_last_of(L"\\/");
    const std::wstring name = FoldAsciiLower(program.substr(separator == std::wstring::npos ? 0 : separator + 1));
    EInterpreter interpreter = EInterpreter::None;
    for (std::size_t from = 0;;) {
        std::size_t colon = name.find(L':', from);
        std::wstring part = name.substr(from, colon == std::wstring::npos ? std::wstring::npos : colon - from);
        part.erase(part.find_last_not_of(L". ") + 1);  // all of it when it holds nothing else (npos + 1 == 0)
        if (EndsWith(part, L".bat") || EndsWith(part, L".cmd")) return EInterpreter::BatchFile;
        if (part == L"cmd" || part == L"cmd.exe") interpreter = EInterpreter::Cmd;
        if (colon == std::wstring::npos) return interpreter;
        from = colon + 1;
    }
}

// Text that cmd, reading it outside quotes, passes on as it is: a caret before each of cmd's
// metacharacters, which cmd removes before it runs the command. Quotes get one too, so that cmd
// never enters quote mode in the text (there a caret is kept, not read). Expansion comes before
// carets are read: cmd replaces %NAME% (and %NAME:a=b%, %NAME:~1,2%) by the value of the variable
// NAME, and leaves the text as it is where no variable has that name. So the character after each
// "%" gets a caret as well: every name that a "%" of this text opens starts with a caret, and no
// variable's name does. (A "%" that ends the text is followed by a blank or the end of the line,
// and no variable's name starts with a blank either.)
std::wstring EscapeForCmd(const std::wstring& text) {
    std::wstring escaped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (kCmdMetacharacters.find(text[i]) != std::wstring::npos || (i > 0 && text[i - 1] == L'%')) {
            escaped += L'^';
        }
        escaped += text[i];
    }
    return escaped;
}

// Whether an argument before argument `end` is /c or /k (any case). cmd reads its switches up to
// the first of them and the rest as the command it runs, so a URL before one could be a switch.
bool CmdCommandStartsBefore(const std::vector<std::wstring>& arguments, std::size_t end) {
    for (std::size_t i = 0; i < end && i < arguments.size(); ++i) {
        const std::wstring folded = FoldAsciiLower(arguments[i]);
        if (folded == L"/c" || folded == L"/k") return true;
    }
    return false;
}

std::wstring ReplacePlaceholders(const std::wstring& argument, const std::wstring& url, bool& replaced) {
    std::wstring out;
    std::size_t from = 0;
    for (std::size_t at = argument.find(kPlaceholder); at != std::wstring::npos;
         at = argument.find(kPlaceholder, from)) {
        out.append(argument, from, at - from);
        out += url;
        from = at + kPlaceholder.size();
        replaced = true;
    }
    out.append(argument, from, std::wstring::npos);
    return out;
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    return QuoteInAnyCase(argument);
}

std::vector<std::wstring> SplitArguments(const std::wstring& text) {
    const std::wstring line = text.substr(0, text.find(L'\0'));
    const std::size_t n = line.size();
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    for (;;) {
        while (i < n && IsBlank(line[i])) ++i;
        if (i == n) break;
        std::wstring argument;
        bool quoted = false;
        while (i < n && (quoted || !IsBlank(line[i]))) {
            if (line[i] == L'\\') {
                std::size_t runEnd = line.find_first_not_of(L'\\', i);
                if (runEnd == std::wstring::npos) runEnd = n;
                std::size_t run = runEnd - i;
                i = runEnd;
                if (i < n && line[i] == L'"') {
                    argument.append(run / 2, L'\\');
                    if (run % 2 == 1) {
                        argument.push_back(L'"');  // escaped: a literal quote
                        ++i;
                    }  // else the quote opens or closes a stretch on the next turn
                } else {
                    argument.append(run, L'\\');
                }
            } else if (line[i] == L'"') {
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    argument.push_back(L'"');  // "" inside quotes: a literal quote, still quoted
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                argument.push_back(line[i++]);
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::optional<SCommandTemplate> SplitCommandTemplate(const std::wstring& command, const FFileExists& fileExists) {
    std::size_t start = 0;
    while (start < command.size() && IsBlank(command[start])) ++start;
    SCommandTemplate result;
    std::size_t rest;
    if (start < command.size() && command[start] == L'"') {
        std::size_t close = command.find(L'"', start + 1);
        if (close == std::wstring::npos) close = command.size();
        result.program = command.substr(start + 1, close - start - 1);
        rest = close < command.size() ? close + 1 : close;
    } else {
        rest = UnquotedProgramEnd(command, start, fileExists);
        result.program = command.substr(start, rest - start);
    }
    if (result.program.empty() || result.program.find(L'"') != std::wstring::npos) return std::nullopt;
    result.arguments = SplitArguments(command.substr(rest));
    return result;
}

std::optional<std::wstring> JoinCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    if (program.empty() || program.find(L'"') != std::wstring::npos || HoldsNul(program)) return std::nullopt;
    std::wstring line = L"\"" + program + L"\"";
    for (const auto& argument : arguments) {
        if (HoldsNul(argument)) return std::nullopt;
        line += L' ';
        line += QuoteArgument(argument);
    }
    return line;
}

bool ContainsExe(const std::wstring& text) { return !text.empty() && ContainsFoldingAscii(text, L".exe"); }

std::optional<std::wstring> ComposeBrowserCommand(const SCommandTemplate& parts, const std::wstring& url) {
    if (HoldsNul(url)) return std::nullopt;
    // cmd reads the line with its own syntax, and a batch file reads its arguments again with it.
    const EInterpreter interpreter = InterpreterOf(parts.program);
    if (interpreter != EInterpreter::None && url.find_first_of(L"\r\n") != std::wstring::npos) return std::nullopt;
    if (interpreter == EInterpreter::BatchFile && url.find_first_of(kCmdMetacharacters) != std::wstring::npos) {
        return std::nullopt;
    }
    if (interpreter == EInterpreter::Cmd && url.find_first_of(L"\"!") != std::wstring::npos) return std::nullopt;

    std::vector<std::wstring> arguments = parts.arguments;
    // The browser takes everything after "--single-argument " as the URL, so the URL goes there
    // as it is, last, and must not hold a quote (see the header).
    const std::size_t count = arguments.size();
    const bool singleArgument =
        count >= 2 && arguments[count - 2] == kSingleArgumentSwitch && arguments[count - 1] == kPlaceholder;
    if (singleArgument) {
        if (url.find(L'"') != std::wstring::npos) return std::nullopt;
        arguments.pop_back();
    }
    std::vector<bool> holdsUrl(arguments.size(), false);
    bool placed = singleArgument;
    std::size_t firstUrl = singleArgument ? arguments.size() : std::wstring::npos;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        bool replaced = false;
        arguments[i] = ReplacePlaceholders(arguments[i], url, replaced);
        holdsUrl[i] = replaced;
        if (replaced) firstUrl = std::min(firstUrl, i);
        placed = placed || replaced;
    }
    if (!placed) {
        firstUrl = arguments.size();
        arguments.push_back(url);
        holdsUrl.push_back(true);
    }
    if (interpreter == EInterpreter::Cmd && !CmdCommandStartsBefore(arguments, firstUrl)) return std::nullopt;

    std::optional<std::wstring> line = JoinCommandLine(parts.program, {});
    if (!line) return std::nullopt;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (HoldsNul(arguments[i])) return std::nullopt;
        // A batch file splits its arguments at , ; = too, outside quotes.
        const bool batchDelimiters = interpreter == EInterpreter::BatchFile && holdsUrl[i] &&
                                     arguments[i].find_first_of(L",;=\f") != std::wstring::npos;
        const std::wstring quoted = batchDelimiters ? QuoteInAnyCase(arguments[i]) : QuoteArgument(arguments[i]);
        *line += L' ';
        *line += interpreter == EInterpreter::Cmd && holdsUrl[i] ? EscapeForCmd(quoted) : quoted;
    }
    if (singleArgument) *line += L' ' + (interpreter == EInterpreter::Cmd ? EscapeForCmd(url) : url);
    return line;
}

std::optional<std::wstring> ComposeBrowserCommand(const std::wstring& command, const std::wstring& url,
                                                  const FFileExists& fileExists) {
    if (HoldsNul(command)) return std::nullopt;
    std::optional<SCommandTemplate> parts = SplitCommandTemplate(command, fileExists);
    if (!parts) return std::nullopt;
    return ComposeBrowserCommand(*parts, url);
}

}  // namespace NWireletDesktop
