#pragma once
// Composing the command line that starts the browser with one URL. The URL comes from outside, so
// it must reach the browser as exactly one argument, whatever it holds (and it has been checked and
// put in its URI form before, see launch_target.h). It is therefore never
// pasted into the text of the registered command: the command is split into its program and its
// arguments the way the started program will split it, the URL takes the place of %1 inside those
// arguments, and every argument is quoted again. (A browser registered to take the rest of its
// command line as the URL gets it there unquoted, and a program that reads its command line with
// cmd's syntax gets it escaped for cmd, or not at all; see ComposeBrowserCommand.)
//
// Windows hands a program one command-line string; the program's C runtime splits it. Two
// generations of the runtime's rules are in use: before VC2008 two quotes inside a quoted stretch
// give a literal quote and end the stretch, from VC2008 on they give a literal quote and the
// stretch goes on. Everything written here avoids that form, so CommandLineToArgvW and both
// generations read the same arguments. This file holds text code only (no Windows headers).

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wirelet/desktop/launch_target.h"

namespace NWireletDesktop {

// One argument quoted so that it splits back to itself: left as it is when it holds no space,
// tab, newline, vertical tab or quote and is not empty; otherwise put in quotes, with every quote
// escaped and the backslashes before a quote (or before the closing quote) doubled.
std::wstring QuoteArgument(const std::wstring& argument);

// The arguments of a command-line text that follows the program name, split by the C runtime's
// rules from VC2008 on: blanks (space, tab) separate; 2N backslashes and a quote give N
// backslashes and open or close a quoted stretch, 2N+1 backslashes and a quote give N backslashes
// and a literal quote, other backslashes are literal; two quotes inside a quoted stretch give a
// literal quote. The text ends at its first U+0000, as a command line does.
std::vector<std::wstring> SplitArguments(const std::wstring& text);

// A registered command split into the program that CreateProcess starts and the arguments that
// the program's runtime reads.
struct SCommandTemplate {
    std::wstring program;
    std::vector<std::wstring> arguments;
    std::wstring argumentText;  // the text after the program as written: SplitArguments gives `arguments`
};

// Whether a file name (".exe" already appended where its last component has no ".") names an
// existing file, looked for as CreateProcess looks for the program of a command line. Supplied by
// the caller, so that this text code stays free of the file system. An empty one finds nothing.
using FFileExists = std::function<bool(const std::wstring& fileName)>;

// Splits a registered command such as "C:\B\b.exe" -url "%1". Leading blanks are skipped. The
// program is read as CreateProcess reads it, without escapes: a quoted one up to the next quote
// (the arguments start right after it). An unquoted one is the shortest prefix that ends before a
// blank, or at the end, and names an existing file, ".exe" appended where its last component has
// no ".": CreateProcess tries the prefixes in that order (cmd /c start b.exe %1 starts cmd, and
// C:\Program Files\B\b.exe %1 starts C:\Program.exe where that exists). When none names an
// existing file, it runs up to the first blank, or, when blanks come before the first word ending
// in ".exe", up to that word, as whoever registered it meant; so a command whose program is absent
// splits as it always did, and starting it fails. The rest is split by SplitArguments. Empty when
// there is no program, or the program holds a quote (no file name does, and no two splitters
// agree on it).
std::optional<SCommandTemplate> SplitCommandTemplate(const std::wstring& command, const FFileExists& fileExists);

// The command line that starts the program with exactly these arguments: the program in quotes,
// then each argument quoted by QuoteArgument, one space apart. Empty when it cannot be written:
// an empty program, a quote in the program, or U+0000 anywhere (it would end the command line).
std::optional<std::wstring> JoinCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments);

// Whether ".exe" occurs anywhere in the text, ASCII letters in any case. False for "".
bool ContainsExe(const std::wstring& text);

// The browser command with the launch target in it (see launch_target.h: a web address in its URI
// form or a local document, never a quote, a control character, < or >). The command is split
// (SplitCommandTemplate), every %1 inside its arguments is replaced by the target (a %1 in the
// program is not a placeholder; the target's own text is not searched again), the target becomes
// one more argument when no argument held a %1, and the result is joined (JoinCommandLine), an
// argument holding a local document with characters outside ASCII always in quotes (a program
// reading the ANSI code page may get one of them best-fit into a blank). So the target never leaves
// the argument its placeholder stood in. Empty when the command holds U+0000, has no usable
// program, or its program is a script host (IsScriptHost), which reads its arguments as script.
//
// One form is written differently: arguments that end with --single-argument and then %1 alone
// (quoted or not in the command). Browsers that register it take all the text after
// "--single-argument " as the URL, verbatim, so quotes there would become part of the URL. The line
// then ends with "--single-argument", one space and the target as it is; the arguments before are
// joined as above.
//
// Where the program is cmd (its file name is cmd or cmd.exe), cmd reads its own switches up to the
// first /C or /K and runs the rest of its line as a command, with its own syntax. That rest is read
// as cmd reads it: where /S is absent and it holds exactly two quotes, with a blank and none of
// & < > ( ) @ ^ | between them, and the text between names an executable file (asked of fileExists,
// ".exe" appended where it has no extension), its quotes stay; otherwise a quote that starts it is
// dropped, and so is its last quote. The command that results is split and joined as above, and a
// command line that starts with a quote is written inside one more pair of quotes, which cmd drops
// again (with or without /S); one that does not is written as it is, which cmd leaves alone. Each
// argument that holds the target gets a caret before every one of & | < > ( ) ^ " % ! and before the
// character after each % (see EscapeForCmd in the source), which gives cmd's command exactly the
// text it would get from any other program's line; the template's other arguments keep their
// meaning to cmd. Refused: a template whose text before /C or /K is not cmd's switches, or holds the
// placeholder (cmd would read the target as its own switches); a command that names a script host;
// a target holding "!" (with delayed expansion, switched on by cmd's /V:ON or for every cmd in the
// registry, cmd expands !NAME! after it has removed the carets, and nothing written here keeps it
// literal both with and without); and, where the command names cmd or a batch file again (whose
// reading of the text no caret of this line survives), a target holding any of the characters above.
//
// Where the program is a batch file (.bat or .cmd), CreateProcess runs it through cmd, and the batch
// file reads its arguments with cmd's syntax again wherever it uses them: no escaping holds there.
// A target holding any of ( ) % ! ^ & | is refused. Others are written as for any program, except
// that an argument holding the target is quoted where it holds , ; = or a form feed: the batch
// file's %1 would end there otherwise.
std::optional<std::wstring> ComposeBrowserCommand(const std::wstring& command, const CLaunchTarget& target,
                                                  const FFileExists& fileExists);

// The same for a command already split: the program found otherwise (as through a file
// association) is SCommandTemplate{program, {}, L""}, which gets the target as its one argument.
std::optional<std::wstring> ComposeBrowserCommand(const SCommandTemplate& parts, const CLaunchTarget& target,
                                                  const FFileExists& fileExists);

}  // namespace NWireletDesktop
