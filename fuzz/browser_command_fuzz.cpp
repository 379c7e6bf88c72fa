// Browser launch text: what the launch accepts, and the command line it composes. The text is first
// classified: a web address (http: or https:, ASCII letters in any case, something after it) must
// come out in its URI form, as a reference encoder writes it (C0 controls, space, " < > ` DEL and
// everything above U+007E percent-encoded as UTF-8, upper-case hex; a lone surrogate refused), so
// printable ASCII only, no blank, no quote, starting with its scheme; a local document must be a
// drive path passed whole or a file: URL in its URI form, that the file check was asked about and
// said yes to, and never a program type; anything else (U+0000 included) is refused.
//
// Then the composed command line splits, under both generations of the C runtime's rules, to the
// command's program and arguments with the target standing exactly where %1 stood (or last, when
// no %1 stood anywhere), and nowhere else. Arguments that end with --single-argument and %1 alone
// give a line that ends with "--single-argument ", then the target as it is. A command holding
// U+0000, or whose program is a script host, is refused. An unquoted program is the first name
// CreateProcess tries that is marked as an existing file (else the old ".exe"-word rule); the
// library asks about those names shortest first, stops at the first that exists, and asks about
// nothing else before it (nothing at all for a quoted program). Where the target is a web address
// and the command is printable ASCII, so is the line.
//
// A program named cmd (or cmd.exe), and a batch file (.bat, .cmd), which CreateProcess runs through
// cmd, read the line with cmd's syntax. For a batch file a target holding any of ( ) % ! ^ & | is
// refused, and otherwise the line splits as above. For cmd a target holding "!" is refused, and so
// is a template whose text before /C or /K is anything but switches or holds %1; the text after the
// switch is read by cmd's quote rule (with or without /S; the one question it asks, whether the
// text between two quotes names a program, is the only one the library may ask after the
// candidates, and it is answered by the facts); a command naming a script host is refused, and one
// naming cmd or a batch file again refuses a target holding cmd's syntax. Otherwise, where the
// program and the template's arguments that hold no target are free of cmd's syntax (the others
// mean what the template says to cmd, beyond this model), the line read as Windows' cmd reads it
// (read_like_cmd: the quote rule, no name that a variable could have between two "%", no & | < > ( )
// outside quotes without a caret, carets removed) splits as above.
//
// Input: the command, a 0xFF byte, the text, a 0xFF byte, the marks of the existing files: one byte
// for each name CreateProcess tries for an unquoted program, in its order (the text up to each
// blank after the program's start, then the whole text, with ".exe" appended where its last path
// component has no "."), odd where that name is an existing file ('y' yes, 'n' no: seeds stay
// readable, and half of all bytes the fuzzer writes mean a file), a 0xFF byte, then the facts: the
// answer of the local document check, and the answer to cmd's question (odd: yes). Missing marks
// and facts mean no; a quoted program ignores the marks.
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "support/argv_reference.h"
#include "wirelet/desktop/browser_command.h"
#include "wirelet/desktop/launch_target.h"

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
// The parts of the program's file name, written independently: the last path component, ASCII
// case folded, split at each ":" (drive, stream), each without trailing dots and spaces.
std::vector<std::wstring> NameParts(const std::wstring& program) {
    std::wstring name = program.substr(program.find_last_of(L"\\/") + 1);  // npos + 1 == 0
    for (wchar_t& c : name) c = zephra_fuzz::FoldAscii(c);
    std::vector<std::wstring> parts(1);
    for (wchar_t c : name) {
        if (c == L':') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    for (auto& part : parts) {
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
    }
    return parts;
}

EShell ShellOf(const std::wstring& program) {
    EShell shell = EShell::None;
    for (const auto& part : NameParts(program)) {
        auto ends = [&](const wchar_t* tail) {
            std::wstring t(tail);
            return part.size() >= t.size() && part.compare(part.size() - t.size(), t.size(), t) == 0;
        };
        if (ends(L".bat") || ends(L".cmd")) return EShell::Batch;
        if (part == L"cmd" || part == L"cmd.exe") shell = EShell::Cmd;
    }
    return shell;
}

// The URI form, written independently: UTF-16 to code points, then UTF-8 bytes for every one that
// a browser would percent-encode.
std::optional<std::wstring> ReferenceUriForm(const std::wstring& url) {
    std::wstring out;
    for (std::size_t i = 0; i < url.size(); ++i) {
        std::uint32_t c = url[i];
        if (c >= 0xD800 && c < 0xE000) {
            if (c >= 0xDC00 || i + 1 == url.size() || url[i + 1] < 0xDC00 || url[i + 1] >= 0xE000) return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10 | (url[++i] - 0xDC00));
        }
        if (c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '`') {
            out += static_cast<wchar_t>(c);
            continue;
        }
        std::vector<std::uint8_t> bytes;
        if (c < 0x80) {
            bytes = {static_cast<std::uint8_t>(c)};
        } else if (c < 0x800) {
            bytes = {static_cast<std::uint8_t>(0xC0 + (c >> 6)), static_cast<std::uint8_t>(0x80 + (c & 63))};
        } else if (c < 0x10000) {
            bytes = {static_cast<std::uint8_t>(0xE0 + (c >> 12)), static_cast<std::uint8_t>(0x80 + (c >> 6 & 63)),
                     static_cast<std::uint8_t>(0x80 + (c & 63))};
        } else {
            bytes = {static_cast<std::uint8_t>(0xF0 + (c >> 18)), static_cast<std::uint8_t>(0x80 + (c >> 12 & 63)),
                     static_cast<std::uint8_t>(0x80 + (c >> 6 & 63)), static_cast<std::uint8_t>(0x80 + (c & 63))};
        }
        for (std::uint8_t b : bytes) {
            out += L'%';
            out += L"0123456789ABCDEF"[b >> 4];
            out += L"0123456789ABCDEF"[b & 15];
        }
    }
    return out;
}

std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text) c = zephra_fuzz::FoldAscii(c);
    return text;
}

bool PrintableAscii(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// Whether the file name (the last path component, each part around ":" without trailing dots and
// spaces, ".exe" dropped) is one of the script hosts.
bool NamesScriptHost(const std::wstring& program) {
    for (std::wstring part : NameParts(program)) {
        if (part.size() > 4 && part.compare(part.size() - 4, 4, L".exe") == 0) part.resize(part.size() - 4);
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
        for (const wchar_t* host : {L"powershell", L"pwsh", L"wscript", L"cscript", L"mshta", L"conhost"}) {
            if (part == host) return true;
        }
    }
    return false;
}

// The arguments with the target in the placeholders' places, or appended; which hold it.
struct SPlaced {
    std::vector<std::wstring> arguments;
    std::vector<bool> holds;
    bool single = false;
};
SPlaced Place(std::vector<std::wstring> arguments, const std::wstring& target) {
    SPlaced placed;
    const std::size_t n = arguments.size();
    placed.single = n >= 2 && arguments[n - 2] == L"--single-argument" && arguments[n - 1] == L"%1";
    if (placed.single) arguments.pop_back();
    bool any = placed.single;
    for (const auto& argument : arguments) {
        bool replaced = false;
        placed.arguments.push_back(ReplaceAll(argument, target, replaced));
        placed.holds.push_back(replaced);
        any = any || replaced;
    }
    if (!any) {
        placed.arguments.push_back(target);
        placed.holds.push_back(true);
    }
    return placed;
}

// cmd's side of a template: the switches before /C or /K, the switch itself and the text after
// it, blanks skipped; none where something other than a switch comes first.
struct SCmdTemplate {
    std::wstring switches, slash, rest;
    bool slashS = false;
};
std::optional<SCmdTemplate> ReadCmdTemplate(const std::wstring& tail) {
    SCmdTemplate parts;
    std::size_t i = 0;
    for (;;) {
        while (i < tail.size() && Blank(tail[i])) ++i;
        if (i == tail.size() || tail[i] != L'/') return std::nullopt;
        if (i + 1 < tail.size() &&
            (zephra_fuzz::FoldAscii(tail[i + 1]) == L'c' || zephra_fuzz::FoldAscii(tail[i + 1]) == L'k'))
            break;
        std::size_t end = i;
        while (end < tail.size() && !Blank(tail[end])) ++end;
        if (Folded(tail.substr(i, end - i)) == L"/s") parts.slashS = true;
        i = end;
    }
    parts.switches = tail.substr(0, i);
    parts.slash = tail.substr(i, 2);
    std::size_t start = i + 2;
    while (start < tail.size() && Blank(tail[start])) ++start;
    parts.rest = tail.substr(start);
    return parts;
}

// The question cmd's quote rule asks about the text after its switch, if any.
std::optional<std::wstring> CmdQuestion(const SCmdTemplate& cmd) {
    std::size_t quotes = 0;
    for (wchar_t c : cmd.rest) quotes += c == L'"';
    if (cmd.slashS || quotes != 2) return std::nullopt;
    std::size_t open = cmd.rest.find(L'"'), close = cmd.rest.find(L'"', open + 1);
    std::wstring inside = cmd.rest.substr(open + 1, close - open - 1);
    if (Holds(inside, L"&<>()@^|") || !Holds(inside, L" \t")) return std::nullopt;
    std::wstring last = inside.substr(inside.find_last_of(L"\\/") + 1);
    if (last.find(L'.') == std::wstring::npos) inside += L".exe";
    return inside;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto fields = zephra_fuzz::Fields(data, size, 4);
    fields.resize(4);
    const std::wstring command = zephra_fuzz::Units(fields[0]);
    const std::wstring text = zephra_fuzz::Units(fields[1]);
    const zephra_fuzz::Bytes& marks = fields[2];
    const zephra_fuzz::Bytes& facts = fields[3];
    const std::wstring kPathExt = L".COM;.EXE;.BAT;.CMD;.VBS;.JS;.MSC";

    // What the text is.
    std::size_t documentChecks = 0;
    std::wstring checkedPath;
    auto target = ClassifyLaunchTarget(text, kPathExt, [&](const std::wstring& path) {
        ++documentChecks;
        checkedPath = path;
        FUZZ_CHECK(!IsProgramFileType(path, kPathExt));
        return Marked(facts, 0);
    });
    FUZZ_CHECK(documentChecks <= 1);
    const bool web =
        text.find(L'\0') == std::wstring::npos && ((Folded(text.substr(0, 5)) == L"http:" && text.size() > 5) ||
                                                   (Folded(text.substr(0, 6)) == L"https:" && text.size() > 6));
    if (web) {
        auto uri = ReferenceUriForm(text);
        FUZZ_CHECK(uri.has_value() == target.has_value());
        if (!target) return 0;
        FUZZ_CHECK(target->Kind() == ELaunchTargetKind::WebAddress && target->Text() == *uri);
        FUZZ_CHECK(PrintableAscii(*uri) && !Holds(*uri, L" \"") && Folded(uri->substr(0, 4)) == L"http");
    } else if (target) {
        FUZZ_CHECK(target->Kind() == ELaunchTargetKind::LocalDocument && documentChecks == 1 && Marked(facts, 0));
        FUZZ_CHECK(text.find(L'\0') == std::wstring::npos && !checkedPath.empty());
        const bool drive = text.size() > 3 && ((text[0] | 0x20) >= L'a' && (text[0] | 0x20) <= L'z') &&
                           text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
        if (drive) {
            FUZZ_CHECK(target->Text() == text && checkedPath == text);
        } else {
            FUZZ_CHECK(Folded(text.substr(0, 5)) == L"file:" && target->Text() == ReferenceUriForm(text));
        }
        FUZZ_CHECK(!Holds(target->Text(), L"\"<>\r\n\t"));
    }
    if (!target) return 0;
    const std::wstring& url = target->Text();

    // The program and the text of the arguments, found without the library.
    std::size_t start = 0;
    while (start < command.size() && Blank(command[start])) ++start;
    const std::wstring trimmed = command.substr(start);
    const bool quoted = !trimmed.empty() && trimmed[0] == L'"';
    const std::vector<SCandidate> candidates = quoted ? std::vector<SCandidate>{} : Candidates(trimmed);
    std::size_t toAsk = 0;
    while (toAsk < candidates.size() && !Marked(marks, toAsk)) ++toAsk;
    const std::size_t found = toAsk;
    if (toAsk < candidates.size()) ++toAsk;
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
    const EShell shell = ShellOf(program);
    std::optional<SCmdTemplate> cmd = shell == EShell::Cmd ? ReadCmdTemplate(rest) : std::nullopt;
    const std::optional<std::wstring> question = cmd ? CmdQuestion(*cmd) : std::nullopt;

    // The library asks about the candidates, in order, then at most cmd's one question.
    std::size_t asked = 0;
    bool questionAsked = false;
    const FFileExists exists = [&](const std::wstring& name) {
        if (asked < toAsk) {
            FUZZ_CHECK(name == candidates[asked].name);
            return Marked(marks, asked++);
        }
        FUZZ_CHECK(question && name == *question && !questionAsked);
        questionAsked = true;
        return Marked(facts, 1);
    };
    auto line = ComposeBrowserCommand(command, *target, exists);
    if (command.find(L'\0') != std::wstring::npos || program.empty() || program.find(L'"') != std::wstring::npos) {
        FUZZ_CHECK(!line);
        return 0;
    }
    FUZZ_CHECK(asked == toAsk);

    // The library's splitter is the newer runtime's.
    const auto templateArgs = zephra_test::split_msvcrt_arguments(rest, argv_rules::post2008);
    FUZZ_CHECK(SplitArguments(rest) == templateArgs);
    asked = 0;
    auto parts = SplitCommandTemplate(command, exists);
    FUZZ_CHECK(asked == toAsk);
    FUZZ_CHECK(parts && parts->program == program && parts->arguments == templateArgs && parts->argumentText == rest);

    if (NamesScriptHost(program) || (shell == EShell::Batch && Holds(url, L"()%!^&|"))) {
        FUZZ_CHECK(!line);
        return 0;
    }
    std::vector<std::wstring> expected{program};
    std::wstring split;
    if (shell == EShell::Cmd) {
        if (!cmd || Holds(url, L"!") || cmd->switches.find(L"%1") != std::wstring::npos) {
            FUZZ_CHECK(!line);
            return 0;
        }
        const bool answer = question && Marked(facts, 1);
        const auto commandArgs = zephra_test::split_msvcrt_arguments(
            zephra_test::cmd_command_as_read(cmd->rest, cmd->slashS, [&](const std::wstring&) { return answer; }),
            argv_rules::post2008);
        bool nested = false;
        for (const auto& argument : commandArgs) {
            if (NamesScriptHost(argument)) {
                FUZZ_CHECK(!line);
                return 0;
            }
            nested = nested || ShellOf(argument) != EShell::None;
        }
        if (nested && Holds(url, kCmdMetacharacters)) {
            FUZZ_CHECK(!line);
            return 0;
        }
        FUZZ_CHECK(line && questionAsked == question.has_value());
        for (const auto& s : zephra_test::split_msvcrt_arguments(cmd->switches, argv_rules::post2008)) {
            expected.push_back(s);
        }
        expected.push_back(cmd->slash);
        const SPlaced placed = Place(commandArgs, url);
        // What cmd passes on, where the template's own text means nothing to cmd beyond the model.
        bool plainTemplate = !Holds(command, L"\r\n") && !Holds(program, kCmdMetacharacters) &&
                             !Holds(cmd->switches, kCmdMetacharacters);
        for (std::size_t i = 0; i < placed.arguments.size(); ++i) {
            if (!placed.holds[i] && Holds(placed.arguments[i], kCmdMetacharacters)) plainTemplate = false;
            expected.push_back(placed.arguments[i]);
        }
        if (!plainTemplate) return 0;
        auto passed = zephra_test::read_like_cmd(*line, [&](const std::wstring&) { return answer; });
        FUZZ_CHECK(passed);
        split = *passed;
        if (placed.single) {
            const std::wstring tail = L"--single-argument " + url;
            FUZZ_CHECK(split.size() > tail.size() && split.compare(split.size() - tail.size(), tail.size(), tail) == 0);
            split.resize(split.size() - url.size() - 1);
        }
    } else {
        FUZZ_CHECK(line && !questionAsked);
        const SPlaced placed = Place(templateArgs, url);
        for (const auto& argument : placed.arguments) expected.push_back(argument);
        split = *line;
        if (placed.single) {
            const std::wstring tail = L"--single-argument " + url;
            FUZZ_CHECK(split.size() > tail.size() &&
                       split.compare(split.size() - tail.size(), tail.size(), tail) == 0 &&
                       split[split.size() - tail.size() - 1] == L' ');
            split.resize(split.size() - url.size() - 1);  // what is split: up to the switch
        }
    }
    if (target->Kind() == ELaunchTargetKind::WebAddress && PrintableAscii(command)) FUZZ_CHECK(PrintableAscii(*line));
    for (argv_rules rules : {argv_rules::pre2008, argv_rules::post2008}) {
        FUZZ_CHECK(zephra_test::split_msvcrt(split, rules) == expected);
    }
    return 0;
}
