// Browser command composition: whatever the registered command and the URL hold, the composed
// command line splits, under both generations of the C runtime's rules, to the command's program
// and arguments with the URL standing exactly where %1 stood (or last, when no %1 stood anywhere),
// and nowhere else. Arguments that end with --single-argument and %1 alone give a line that ends
// with "--single-argument ", then the URL as it is, and refuse a URL holding a quote. A URL or
// command holding U+0000 is refused. An unquoted program is the first name CreateProcess tries
// that is marked as an existing file (else the old ".exe"-word rule); the library asks about
// those names shortest first, stops at the first that exists, and asks about nothing else
// (nothing at all for a quoted program).
//
// A program named cmd (or cmd.exe), and a batch file (.bat, .cmd), which CreateProcess runs through
// cmd, read the line with cmd's syntax. For a batch file a URL holding any of ( ) % ! ^ " < > & |,
// CR or LF is refused, and otherwise the line splits as above. For cmd a URL holding a quote, "!",
// CR or LF is refused, and so is one in an argument before cmd's /c or /k; otherwise, where the
// program and the template's arguments that hold no URL are free of those characters (the others
// mean what the template says to cmd, beyond this model), the line read as Windows' cmd reads it
// (read_like_cmd: no name that a variable could have between two "%", no & | < > ( ) outside quotes
// without a caret, carets removed) splits as above.
//
// Input: the command, a 0xFF byte, the URL, a 0xFF byte, the marks of the existing files: one byte
// for each name CreateProcess tries for an unquoted program, in its order (the text up to each
// blank after the program's start, then the whole text, with ".exe" appended where its last path
// component has no "."), odd where that name is an existing file ('y' yes, 'n' no: seeds stay
// readable, and half of all bytes the fuzzer writes mean a file). Missing marks mean no file; a
// quoted program ignores them. An input without the third field has no files.
#include "fuzz_support.h"
#include "support/argv_reference.h"
#include "wirelet/desktop/browser_command.h"

using namespace NWireletDesktop;
using zephra_test::argv_rules;

namespace {

bool Blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Whether the text just before `end` is ".exe", in any ASCII case.
bool ExeEndsAt(const std::wstring& text, std::size_t end) {
    if (end < 4) return false;
    std::wstring tail;
    for (std::size_t i = end - 4; i < end; ++i) tail += zephra_fuzz::FoldAscii(text[i]);
    return tail == L".exe";
}

// Where the program of an unquoted command ends when no name it could be is an existing file, by
// the rule as registered commands are meant: at the first blank, unless blanks come before the
// first ".exe" that ends a word.
std::size_t ProgramEnd(const std::wstring& command) {
    std::size_t firstBlank = 0;
    while (firstBlank < command.size() && !Blank(command[firstBlank])) ++firstBlank;
    for (std::size_t end = 4; end <= command.size(); ++end) {
        if (ExeEndsAt(command, end) && (end == command.size() || Blank(command[end]))) {
            return end > firstBlank ? end : firstBlank;
        }
    }
    return firstBlank;
}

// The names CreateProcess tries for an unquoted program at the start of the text, shortest first,
// each with where the program would end.
struct SCandidate {
    std::wstring name;
    std::size_t end;
};
std::vector<SCandidate> Candidates(const std::wstring& text) {
    std::vector<SCandidate> candidates;
    for (std::size_t end = 1; end <= text.size(); ++end) {
        if (end < text.size() && !Blank(text[end])) continue;
        std::wstring name = text.substr(0, end);
        std::size_t separator = name.find_last_of(L"\\/");
        std::wstring last = separator == std::wstring::npos ? name : name.substr(separator + 1);
        if (last.find(L'.') == std::wstring::npos) name += L".exe";
        candidates.push_back({name, end});
    }
    return candidates;
}

bool Marked(const zephra_fuzz::Bytes& marks, std::size_t index) {
    return index < marks.size() && (marks[index] & 1) != 0;
}

std::wstring ReplaceAll(const std::wstring& text, const std::wstring& url, bool& replaced) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, L"%1") == 0) {
            out += url;
            replaced = true;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

const std::wstring kCmdMetacharacters = L"()%!^\"<>&|";

bool Holds(const std::wstring& text, const std::wstring& characters) {
    return text.find_first_of(characters) != std::wstring::npos;
}

// Who reads the line with cmd's syntax, by the file name in the program's last path component: in
// each part of it around a ":" (drive, stream), without trailing dots and spaces, ASCII case folded.
enum class EShell { None, Cmd, Batch };
EShell ShellOf(const std::wstring& program) {
    std::wstring name = program.substr(program.find_last_of(L"\\/") + 1);  // npos + 1 == 0
    for (wchar_t& c : name) c = zephra_fuzz::FoldAscii(c);
    EShell shell = EShell::None;
    std::wstring part;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != L':') {
            part += name[i];
            continue;
        }
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
        auto ends = [&](const wchar_t* tail) {
            std::wstring t(tail);
            return part.size() >= t.size() && part.compare(part.size() - t.size(), t.size(), t) == 0;
        };
        if (ends(L".bat") || ends(L".cmd")) return EShell::Batch;
        if (part == L"cmd" || part == L"cmd.exe") shell = EShell::Cmd;
        part.clear();
    }
    return shell;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto fields = zephra_fuzz::Fields(data, size, 3);
    fields.resize(3);
    const std::wstring command = zephra_fuzz::Units(fields[0]);
    const std::wstring url = zephra_fuzz::Units(fields[1]);
    const zephra_fuzz::Bytes& marks = fields[2];

    std::size_t start = 0;
    while (start < command.size() && Blank(command[start])) ++start;
    const std::wstring trimmed = command.substr(start);
    const bool quoted = !trimmed.empty() && trimmed[0] == L'"';
    const std::vector<SCandidate> candidates = quoted ? std::vector<SCandidate>{} : Candidates(trimmed);
    std::size_t asked = 0;
    const FFileExists exists = [&](const std::wstring& name) {
        FUZZ_CHECK(asked < candidates.size() && name == candidates[asked].name);
        const bool there = Marked(marks, asked);
        ++asked;
        return there;
    };
    // How many names the library asks about: up to the first existing one.
    std::size_t toAsk = 0;
    while (toAsk < candidates.size() && !Marked(marks, toAsk)) ++toAsk;
    const std::size_t found = toAsk;
    if (toAsk < candidates.size()) ++toAsk;

    auto line = ComposeBrowserCommand(command, url, exists);
    if (command.find(L'\0') != std::wstring::npos || url.find(L'\0') != std::wstring::npos) {
        FUZZ_CHECK(!line);
        return 0;
    }
    FUZZ_CHECK(asked == toAsk);

    // The program and the text of the arguments, found without the library.
    std::wstring program, rest;
    if (quoted) {
        std::size_t close = trimmed.find(L'"', 1);
        program = trimmed.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
        rest = close == std::wstring::npos ? L"" : trimmed.substr(close + 1);
    } else {
        std::size_t end = found < candidates.size() ? candidates[found].end : ProgramEnd(trimmed);
        program = trimmed.substr(0, end);
        rest = trimmed.substr(end);
    }
    if (program.empty() || program.find(L'"') != std::wstring::npos) {
        FUZZ_CHECK(!line);
        return 0;
    }

    // The library's splitter is the newer runtime's.
    auto templateArgs = zephra_test::split_msvcrt_arguments(rest, argv_rules::post2008);
    FUZZ_CHECK(SplitArguments(rest) == templateArgs);
    asked = 0;
    auto parts = SplitCommandTemplate(command, exists);
    FUZZ_CHECK(asked == toAsk);
    FUZZ_CHECK(parts && parts->program == program && parts->arguments == templateArgs);

    // Arguments that end with --single-argument and %1 alone: the line ends with that switch, one
    // space and the URL as it is, and a URL holding a quote is refused.
    const std::size_t count = templateArgs.size();
    const bool singleArgument =
        count >= 2 && templateArgs[count - 2] == L"--single-argument" && templateArgs[count - 1] == L"%1";
    if (singleArgument) templateArgs.pop_back();

    // The arguments expected, and which hold the URL.
    std::vector<std::wstring> expected{program};
    std::vector<bool> holdsUrl;
    bool placed = singleArgument;
    for (const auto& argument : templateArgs) {
        bool replaced = false;
        expected.push_back(ReplaceAll(argument, url, replaced));
        holdsUrl.push_back(replaced);
        placed = placed || replaced;
    }
    if (!placed) {
        expected.push_back(url);
        holdsUrl.push_back(true);
    }
    // cmd reads its own switches up to /c or /k: the URL must come after one.
    const EShell shell = ShellOf(program);
    bool commandStarted = false, urlBeforeCommand = false;
    for (std::size_t i = 0; i < holdsUrl.size(); ++i) {
        urlBeforeCommand = urlBeforeCommand || (holdsUrl[i] && !commandStarted);
        std::wstring folded = expected[i + 1];
        for (wchar_t& c : folded) c = zephra_fuzz::FoldAscii(c);
        commandStarted = commandStarted || (!holdsUrl[i] && (folded == L"/c" || folded == L"/k"));
    }
    urlBeforeCommand = urlBeforeCommand || (singleArgument && !commandStarted);

    const bool refused = (singleArgument && Holds(url, L"\"")) || (shell != EShell::None && Holds(url, L"\r\n")) ||
                         (shell == EShell::Batch && Holds(url, kCmdMetacharacters)) ||
                         (shell == EShell::Cmd && (Holds(url, L"\"!") || urlBeforeCommand));
    if (refused) {
        FUZZ_CHECK(!line);
        return 0;
    }
    FUZZ_CHECK(line);
    std::wstring split = *line;
    if (shell == EShell::Cmd) {
        // What cmd passes on, where the template's own text means nothing to cmd beyond the model.
        bool plainTemplate = !Holds(command, L"\r\n") && !Holds(program, kCmdMetacharacters);
        for (std::size_t i = 0; i < holdsUrl.size(); ++i) {
            if (!holdsUrl[i] && Holds(expected[i + 1], kCmdMetacharacters)) plainTemplate = false;
        }
        if (!plainTemplate) return 0;
        auto passed = zephra_test::read_like_cmd(*line);
        FUZZ_CHECK(passed);
        split = *passed;
    }
    if (singleArgument) {
        const std::wstring tail = L"--single-argument " + url;
        FUZZ_CHECK(split.size() > tail.size() && split.compare(split.size() - tail.size(), tail.size(), tail) == 0 &&
                   split[split.size() - tail.size() - 1] == L' ');
        split.resize(split.size() - url.size() - 1);  // what is split: up to the switch
    }
    for (argv_rules rules : {argv_rules::pre2008, argv_rules::post2008}) {
        FUZZ_CHECK(zephra_test::split_msvcrt(split, rules) == expected);
    }
    return 0;
}
