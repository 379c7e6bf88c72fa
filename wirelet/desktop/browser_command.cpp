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
// CreateProcess runs through cmd. Judged by each part of its file name (FileNameParts). A batch file
// ends in .bat or .cmd; cmd is "cmd" or "cmd.exe".
enum class EInterpreter { None, Cmd, BatchFile };
EInterpreter InterpreterOf(const std::wstring& program) {
    EInterpreter interpreter = EInterpreter::None;
    for (const auto& part : FileNameParts(program)) {
        if (EndsWith(part, L".bat") || EndsWith(part, L".cmd")) return EInterpreter::BatchFile;
        if (part == L"cmd" || part == L"cmd.exe") interpreter = EInterpreter::Cmd;
    }
    return interpreter;
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

// The placeholders of the arguments replaced by the target, the target appended where no argument
// held one; `holdsTarget` marks the arguments that hold it. Arguments that end with
// --single-argument and %1 alone lose that %1: the caller writes the target after the switch.
struct SPlacedArguments {
    std::vector<std::wstring> arguments;
    std::vector<bool> holdsTarget;
    bool singleArgument = false;
};
SPlacedArguments PlaceTarget(std::vector<std::wstring> arguments, const std::wstring& target) {
    SPlacedArguments placed;
    const std::size_t count = arguments.size();
    placed.singleArgument =
        count >= 2 && arguments[count - 2] == kSingleArgumentSwitch && arguments[count - 1] == kPlaceholder;
    if (placed.singleArgument) arguments.pop_back();
    bool any = placed.singleArgument;
    for (auto& argument : arguments) {
        bool replaced = false;
        argument = ReplacePlaceholders(argument, target, replaced);
        placed.holdsTarget.push_back(replaced);
        any = any || replaced;
    }
    if (!any) {
        arguments.push_back(target);
        placed.holdsTarget.push_back(true);
    }
    placed.arguments = std::move(arguments);
    return placed;
}

bool IsPrintableAscii(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x20 && c < 0x7F; });
}

// One argument of the line: quoted as QuoteArgument does, and always where it holds a local
// document with characters outside ASCII or, for a batch file, where it holds the target and one of
// the characters at which the batch file's %1 would end.
std::wstring WriteArgument(const std::wstring& argument, bool holdsTarget, const CLaunchTarget& target,
                           EInterpreter interpreter) {
    const bool batchDelimiters =
        interpreter == EInterpreter::BatchFile && holdsTarget && argument.find_first_of(L",;=\f") != std::wstring::npos;
    const bool bestFit =
        holdsTarget && target.Kind() == ELaunchTargetKind::LocalDocument && !IsPrintableAscii(target.Text());
    return batchDelimiters || bestFit ? QuoteInAnyCase(argument) : QuoteArgument(argument);
}

// The command that cmd runs, read from the text after its /C or /K as cmd reads it (see the
// header): its quotes kept where the one form that keeps them holds, else a quote that starts it
// dropped together with its last quote.
std::wstring CmdCommandAsRead(const std::wstring& text, bool slashS, const FFileExists& fileExists) {
    const std::size_t quotes = static_cast<std::size_t>(std::count(text.begin(), text.end(), L'"'));
    if (!slashS && quotes == 2) {
        const std::size_t open = text.find(L'"');
        const std::size_t close = text.find(L'"', open + 1);
        std::wstring between = text.substr(open + 1, close - open - 1);
        if (between.find_first_of(L"&<>()@^|") == std::wstring::npos &&
            between.find_first_of(L" \t") != std::wstring::npos) {
            if (!HasExtension(between)) between += L".exe";
            if (fileExists && fileExists(between)) return text;
        }
    }
    if (text.empty() || text[0] != L'"') return text;
    const std::size_t last = text.rfind(L'"');
    if (last == 0) return text.substr(1);
    return text.substr(1, last - 1) + text.substr(last + 1);
}

// Where the program is cmd: see ComposeBrowserCommand in the header.
std::optional<std::wstring> ComposeCmdCommand(const SCommandTemplate& parts, const CLaunchTarget& target,
                                              const FFileExists& fileExists) {
    const std::wstring& url = target.Text();
    if (url.find(L'!') != std::wstring::npos) return std::nullopt;
    // cmd's switches, up to the first /C or /K.
    const std::wstring& tail = parts.argumentText;
    bool slashS = false;
    std::size_t i = 0;
    for (;;) {
        while (i < tail.size() && IsBlank(tail[i])) ++i;
        if (i == tail.size() || tail[i] != L'/') return std::nullopt;  // no command, or text that is no switch
        const wchar_t letter = i + 1 < tail.size() ? FoldAsciiLower(std::wstring(1, tail[i + 1]))[0] : L'\0';
        if (letter == L'c' || letter == L'k') break;
        std::size_t end = tail.find_first_of(L" \t", i);
        if (end == std::wstring::npos) end = tail.size();
        if (FoldAsciiLower(tail.substr(i, end - i)) == L"/s") slashS = true;
        i = end;
    }
    const std::wstring switches = tail.substr(0, i);
    if (switches.find(kPlaceholder) != std::wstring::npos) return std::nullopt;
    std::wstring rest = tail.substr(i + 2);
    rest.erase(0, std::min(rest.find_first_not_of(L" \t"), rest.size()));

    const std::vector<std::wstring> commandArguments = SplitArguments(CmdCommandAsRead(rest, slashS, fileExists));
    bool nestedInterpreter = false;
    for (const auto& argument : commandArguments) {
        if (IsScriptHost(argument)) return std::nullopt;
        nestedInterpreter = nestedInterpreter || InterpreterOf(argument) != EInterpreter::None;
    }
    if (nestedInterpreter && url.find_first_of(kCmdMetacharacters) != std::wstring::npos) return std::nullopt;

    const SPlacedArguments placed = PlaceTarget(commandArguments, url);
    std::wstring command;
    for (std::size_t k = 0; k < placed.arguments.size(); ++k) {
        if (k > 0) command += L' ';
        const std::wstring written =
            WriteArgument(placed.arguments[k], placed.holdsTarget[k], target, EInterpreter::Cmd);
        command += placed.holdsTarget[k] ? EscapeForCmd(written) : written;
    }
    if (placed.singleArgument) command += L' ' + EscapeForCmd(url);

    std::optional<std::wstring> line = JoinCommandLine(parts.program, SplitArguments(switches));
    if (!line) return std::nullopt;
    *line += L' ' + tail.substr(i, 2) + L' ';
    *line += !command.empty() && command[0] == L'"' ? L'"' + command + L'"' : command;
    return line;
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
    result.argumentText = command.substr(rest);
    result.arguments = SplitArguments(result.argumentText);
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

std::optional<std::wstring> ComposeBrowserCommand(const SCommandTemplate& parts, const CLaunchTarget& target,
                                                  const FFileExists& fileExists) {
    if (IsScriptHost(parts.program)) return std::nullopt;
    const EInterpreter interpreter = InterpreterOf(parts.program);
    if (interpreter == EInterpreter::Cmd) return ComposeCmdCommand(parts, target, fileExists);
    const std::wstring& url = target.Text();
    // A batch file reads its arguments with cmd's syntax again.
    if (interpreter == EInterpreter::BatchFile && url.find_first_of(kCmdMetacharacters) != std::wstring::npos) {
        return std::nullopt;
    }
    const SPlacedArguments placed = PlaceTarget(parts.arguments, url);
    std::optional<std::wstring> line = JoinCommandLine(parts.program, {});
    if (!line) return std::nullopt;
    for (std::size_t i = 0; i < placed.arguments.size(); ++i) {
        if (HoldsNul(placed.arguments[i])) return std::nullopt;
        *line += L' ';
        *line += WriteArgument(placed.arguments[i], placed.holdsTarget[i], target, interpreter);
    }
    // The browser takes everything after "--single-argument " as the URL, so it goes there as it is.
    if (placed.singleArgument) *line += L' ' + url;
    return line;
}

std::optional<std::wstring> ComposeBrowserCommand(const std::wstring& command, const CLaunchTarget& target,
                                                  const FFileExists& fileExists) {
    if (HoldsNul(command)) return std::nullopt;
    std::optional<SCommandTemplate> parts = SplitCommandTemplate(command, fileExists);
    if (!parts) return std::nullopt;
    return ComposeBrowserCommand(*parts, target, fileExists);
}

}  // namespace NWireletDesktop
