#include "wirelet/desktop/browser_command.h"

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

#include "support/argv_reference.h"
#include "support/process.h"
#include "wirelet/desktop/ascii_case.h"
#include "wirelet/desktop/launch_target.h"

using namespace NWireletDesktop;
using namespace std::string_literals;
using zephra_test::argv_rules;

namespace {

const std::wstring kProgram = L"C:\\Program Files\\Web Browser\\browser.exe";

const std::vector<std::wstring> kHostileUrls = {
    L"http://example.com/",
    L"http://example.com/a b c",
    L"http://example.com/?q=\"quoted\" --incognito",
    L"\" --disable-web-security \"",
    L"C:\\dir with space\\",
    L"C:\\dir\\\\",
    L"http://x/\\\"",
    L"-new-window",
    L"--user-data-dir=C:\\evil",
    L"a\\\\\"b",
    L"\t\v\n",
    L"http://example.com/%1 %2",
    L"\u65e5\u672c \u00e9",
    L"",
};

const argv_rules kBothRules[] = {argv_rules::pre2008, argv_rules::post2008};

std::string Show(const std::wstring& text) { return zephra_test::narrow(text); }

// A file system that holds exactly these files, under the names the code asks about.
FFileExists Files(std::vector<std::wstring> names) {
    return [names](const std::wstring& name) { return std::find(names.begin(), names.end(), name) != names.end(); };
}
const FFileExists kNoFiles = Files({});

// PATHEXT as Windows sets it, with one program type of this machine's own.
const std::wstring kPathExt = L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC;.ZPX";

// The text classified as a launch target where every checked path names a document (or none).
std::optional<CLaunchTarget> Target(const std::wstring& text, bool documentsExist = true) {
    return ClassifyLaunchTarget(text, kPathExt, [documentsExist](const std::wstring&) { return documentsExist; });
}

// The command composed for the text, empty where the text is no launch target.
std::optional<std::wstring> Compose(const std::wstring& command, const std::wstring& text, const FFileExists& files) {
    std::optional<CLaunchTarget> target = Target(text);
    if (!target) return std::nullopt;
    return ComposeBrowserCommand(command, *target, files);
}

// Targets that quoting and placing must carry whole: web addresses (in their URI form) and local
// documents with blanks, letters outside ASCII and the placeholder's own text.
const std::vector<std::wstring> kTargetTexts = {
    L"http://example.com/",
    L"http://example.com/a b c",
    L"http://example.com/?q=\"quoted\" --incognito",
    L"HTTPS://example.com/%1 %2\\",
    L"http://x/\\\"",
    L"http://\u65e5\u672c \u00e9/\U0001F600",
    L"C:\\dir with space\\page one.html",
    L"C:\\Users\\Zo\u00eb\\help.pdf",
    L"C:\\a%1b\\x.html",
    L"file:///C:/dir%20x/p\u00e4ge.html#top",
};

// argv of a command line as CommandLineToArgvW and both generations of the C runtime read it;
// fails the test when they disagree.
std::vector<std::wstring> SplitEveryWay(const std::wstring& line) {
    auto argv = zephra_test::split_like_runtime(line);
    for (argv_rules rules : kBothRules) {
        EXPECT_EQ(zephra_test::split_msvcrt(line, rules), argv) << zephra_test::rules_name(rules) << ": " << Show(line);
    }
    return argv;
}

}  // namespace

TEST(QuoteArgument, LeavesPlainTextAloneAndQuotesTheRest) {
    EXPECT_EQ(QuoteArgument(L"http://example.com/"), L"http://example.com/");
    EXPECT_EQ(QuoteArgument(L"C:\\dir\\"), L"C:\\dir\\");  // no quote follows: backslashes stay literal
    EXPECT_EQ(QuoteArgument(L""), L"\"\"");
    EXPECT_EQ(QuoteArgument(L"a b"), L"\"a b\"");
    EXPECT_EQ(QuoteArgument(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(QuoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(QuoteArgument(L"a b\\\\"), L"\"a b\\\\\\\\\"");
}

TEST(QuoteArgument, EveryTextComesBackAsOneArgument) {
    std::vector<std::wstring> texts = kHostileUrls;
    std::mt19937 random(7);
    const wchar_t alphabet[] = L"ab \\\"\t-";
    for (int i = 0; i < 500; ++i) {
        std::wstring text(random() % 12, L'a');
        for (wchar_t& c : text) c = alphabet[random() % 7];
        texts.push_back(text);
    }
    for (const auto& text : texts) {
        auto argv = SplitEveryWay(L"prog " + QuoteArgument(text));
        ASSERT_EQ(argv.size(), 2u) << "for [" << text.size() << " units]";
        EXPECT_EQ(argv[1], text);
    }
}

// The reference splitters are the oracles of the fuzz targets: they must agree with
// CommandLineToArgvW where the rules coincide, and differ from each other where the runtime did.
TEST(ReferenceSplitters, AgreeWithTheSystemAndDifferWhereTheRuntimeChanged) {
    std::mt19937 random(11);
    const wchar_t alphabet[] = L"ab \\\"\t";
    for (int i = 0; i < 1000; ++i) {
        std::wstring line = L"p ";
        for (std::size_t n = random() % 16; n > 0; --n) {
            wchar_t c = alphabet[random() % 6];
            if (c == L'"' && line.back() == L'"') continue;  // "" is where the generations differ
            line += c;
        }
        auto argv = zephra_test::split_like_runtime(line);
        for (argv_rules rules : kBothRules) EXPECT_EQ(zephra_test::split_msvcrt(line, rules), argv) << Show(line);
    }
    struct SCase {
        std::wstring line;
        std::vector<std::wstring> pre2008, post2008;
    } cases[] = {
        {L"\"a b\"c d", {L"a b", L"c", L"d"}, {L"a bc", L"d"}},
        {L"p \"a\"\"b c\"", {L"p", L"a\"b", L"c"}, {L"p", L"a\"b c"}},
        {L"p a\\\\\\\"b \"c\\\\\" \\\\ \"\"",
         {L"p", L"a\\\"b", L"c\\", L"\\\\", L""},
         {L"p", L"a\\\"b", L"c\\", L"\\\\", L""}},
        {L"p a\0b"s, {L"p", L"a"}, {L"p", L"a"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zephra_test::split_msvcrt(c.line, argv_rules::pre2008), c.pre2008) << Show(c.line);
        EXPECT_EQ(zephra_test::split_msvcrt(c.line, argv_rules::post2008), c.post2008) << Show(c.line);
    }
}

TEST(BrowserCommand, TemplatesSplitIntoProgramAndArguments) {
    struct SCase {
        std::wstring command;
        std::wstring program;
        std::vector<std::wstring> arguments;
        std::vector<std::wstring> files = {};  // the files there are; none where not given
    } cases[] = {
        {L"C:\\Program Files\\B\\b.exe -url %1", L"C:\\Program Files\\B\\b.exe", {L"-url", L"%1"}},
        {L"C:\\Program Files\\B\\B.EXE", L"C:\\Program Files\\B\\B.EXE", {}},
        {L"C:\\My Dir.exec\\b.exe %1", L"C:\\My Dir.exec\\b.exe", {L"%1"}},
        {L"C:\\B\\b.exe -url %1", L"C:\\B\\b.exe", {L"-url", L"%1"}},
        {L"\"C:\\Program Files\\b.exe\" \"%1\"", L"C:\\Program Files\\b.exe", {L"%1"}},
        {L"no program here", L"no", {L"program", L"here"}},
        {L" \t\"C:\\b.exe\"x \"a b\"", L"C:\\b.exe", {L"x", L"a b"}},  // arguments right after the quote
        {L"\"C:\\b.exe", L"C:\\b.exe", {}},
        {L"\"C:\\b.exe\\\" %1", L"C:\\b.exe\\", {L"%1"}},  // no escapes in the program
        {L"C:\\b.exe%1", L"C:\\b.exe%1", {}},              // a %1 there is part of the path
        // An unquoted program is the shortest blank-ended prefix that names a file, ".exe" appended
        // where its last component has no "."; with none, the rule above.
        {L"cmd /c start b.exe %1", L"cmd", {L"/c", L"start", L"b.exe", L"%1"}, {L"cmd.exe", L"b.exe"}},
        {L"cmd /c start b.exe %1", L"cmd /c start b.exe", {L"%1"}},
        {L"C:\\Program Files\\B\\b.exe -url %1",
         L"C:\\Program",
         {L"Files\\B\\b.exe", L"-url", L"%1"},
         {L"C:\\Program.exe", L"C:\\Program Files\\B\\b.exe"}},
        {L"C:\\B x.exe y.exe\t%1", L"C:\\B x.exe y.exe", {L"%1"}, {L"C:\\B x.exe y.exe"}},
        {L"C:\\v1.2\\b x.exe %1", L"C:\\v1.2\\b", {L"x.exe", L"%1"}, {L"C:\\v1.2\\b.exe"}},
        {L"C:\\B\\b.cmd x.exe %1", L"C:\\B\\b.cmd", {L"x.exe", L"%1"}, {L"C:\\B\\b.cmd"}},
    };
    for (const auto& c : cases) {
        auto parts = SplitCommandTemplate(c.command, Files(c.files));
        ASSERT_TRUE(parts) << Show(c.command);
        EXPECT_EQ(parts->program, c.program) << Show(c.command);
        EXPECT_EQ(parts->arguments, c.arguments) << Show(c.command);
    }
    for (const wchar_t* unusable : {L"", L"  ", L"\"\" %1", L"C:\\b\"x\".exe %1"}) {
        EXPECT_FALSE(SplitCommandTemplate(unusable, kNoFiles)) << Show(unusable);
        EXPECT_FALSE(Compose(unusable, L"http://a", kNoFiles)) << Show(unusable);
    }
    EXPECT_EQ(JoinCommandLine(kProgram, {L"a b", L""}), L"\"" + kProgram + L"\" \"a b\" \"\"");
    EXPECT_FALSE(JoinCommandLine(L"", {}));
    EXPECT_FALSE(JoinCommandLine(L"C:\\b\".exe", {}));
    EXPECT_FALSE(JoinCommandLine(kProgram, {L"a\0b"s}));
}

TEST(BrowserCommand, ContainsExeIgnoresAsciiCase) {
    EXPECT_TRUE(ContainsExe(L"C:\\B\\BROWSER.EXE"));
    EXPECT_TRUE(ContainsExe(L"\"C:\\b.Exe\" \"%1\""));
    EXPECT_FALSE(ContainsExe(L""));
    EXPECT_FALSE(ContainsExe(L"C:\\b.ex"));
    EXPECT_FALSE(ContainsExe(L"exe"));
}

TEST(BrowserCommand, PlaceholdersTakeTheTargetAsExactlyOneArgument) {
    const std::wstring q = L"\"" + kProgram + L"\"";
    struct STemplate {
        std::wstring command;
        std::vector<std::wstring> before;  // arguments before the target's
        std::wstring prefix;               // text glued in front of the target in its argument
    } templates[] = {
        {q + L" \"%1\"", {}, L""},
        {q + L" %1", {}, L""},
        {q + L" -osint -url \"%1\"", {L"-osint", L"-url"}, L""},
        {q, {}, L""},                              // no placeholder: appended
        {q + L" --new-tab", {L"--new-tab"}, L""},  // switches kept, target after them
        {q + L" --app=%1", {}, L"--app="},
        {q + L" \"--url=%1\"", {}, L"--url="},
        {q + L" C:\\base\\%1", {}, L"C:\\base\\"},
        {q + L" \"C:\\base\\%1\"", {}, L"C:\\base\\"},
        {q + L" --single-argument --app=%1", {L"--single-argument"}, L"--app="},  // not %1 alone after it
        {kProgram + L" -osint -url \"%1\"", {L"-osint", L"-url"}, L""},           // unquoted path with spaces
    };
    for (const auto& t : templates) {
        for (const auto& text : kTargetTexts) {
            const CLaunchTarget target = Target(text).value();
            std::wstring line = ComposeBrowserCommand(t.command, target, Files({kProgram})).value();
            auto argv = SplitEveryWay(line);
            ASSERT_EQ(argv.size(), t.before.size() + 2) << Show(line);
            EXPECT_EQ(argv[0], kProgram);
            for (std::size_t i = 0; i < t.before.size(); ++i) EXPECT_EQ(argv[i + 1], t.before[i]);
            EXPECT_EQ(argv.back(), t.prefix + target.Text()) << Show(line);
        }
    }
}

TEST(BrowserCommand, ComposesTheExpectedText) {
    const std::wstring q = L"\"C:\\b.exe\"";
    EXPECT_EQ(Compose(q + L" \"%1\"", L"http://a b", kNoFiles), q + L" http://a%20b");
    EXPECT_EQ(Compose(q + L" %1", L"http://a", kNoFiles), q + L" http://a");
    EXPECT_EQ(Compose(q, L"https://a", kNoFiles), q + L" https://a");
    EXPECT_EQ(Compose(q + L" -a \"%1\" -b %1", L"http://u", kNoFiles), q + L" -a http://u -b http://u");
    EXPECT_EQ(Compose(L"C:\\b.exe %1", L"http://x/%1 x", kNoFiles), q + L" http://x/%1%20x");  // not searched
    EXPECT_EQ(Compose(q + L" %1", L"C:\\d\\a b.html", kNoFiles), q + L" \"C:\\d\\a b.html\"");
    EXPECT_EQ(Compose(q + L" %1", L"C:\\d\\\u00e9\u3000.html", kNoFiles), q + L" \"C:\\d\\\u00e9\u3000.html\"");
    EXPECT_EQ(Compose(L"cmd /c start b.exe %1", L"http://a b", Files({L"cmd.exe"})),
              L"\"cmd\" /c start b.exe http://a^%^20b");  // escaped for cmd
    // A script host reads its arguments as script: no browser, by either lookup.
    for (const wchar_t* host :
         {L"C:\\W\\System32\\WindowsPowerShell\\v1.0\\powershell.exe", L"pwsh", L"C:\\W\\WSCRIPT.EXE", L"cscript.exe. ",
          L"C:\\W\\mshta.exe::$DATA", L"C:\\W\\conhost.exe"}) {
        EXPECT_FALSE(ComposeBrowserCommand(SCommandTemplate{host, {}, L""}, Target(L"http://a").value(), kNoFiles))
            << Show(host);
        EXPECT_FALSE(
            Compose(L"\"" + std::wstring(host) + L"\" -Command \"Start-Process '%1'\"", L"http://x/';calc;'", kNoFiles))
            << Show(host);
    }
    EXPECT_FALSE(Compose(L"conhost.exe cmd /c start \"\" %1", L"http://x/&calc", Files({L"conhost.exe"})));
    EXPECT_TRUE(Compose(L"\"C:\\W\\powershellx.exe\" %1", L"http://a", kNoFiles));
}

// Browsers registered with --single-argument %1 take the rest of the line after that switch and one
// space as the URL: it ends the line as it is, the arguments before it quoted as ever.
TEST(BrowserCommand, SingleArgumentTemplatesEndWithTheTargetAsItIs) {
    const std::wstring q = L"\"" + kProgram + L"\"";
    struct STemplate {
        std::wstring command;
        std::vector<std::wstring> before;  // arguments before --single-argument
    } templates[] = {
        {q + L" --single-argument %1", {}},
        {q + L" --single-argument \"%1\"", {}},
        {q + L" \"--single-argument\" %1", {}},
        {q + L" -a \"--user-data-dir=C:\\a b\\\\\" --single-argument %1", {L"-a", L"--user-data-dir=C:\\a b\\"}},
        {kProgram + L" --single-argument %1", {}},
    };
    for (const auto& t : templates) {
        for (const auto& text : kTargetTexts) {
            const CLaunchTarget target = Target(text).value();
            auto line = ComposeBrowserCommand(t.command, target, Files({kProgram}));
            ASSERT_TRUE(line) << Show(t.command);
            const std::wstring tail = L" --single-argument " + target.Text();
            ASSERT_GE(line->size(), tail.size());
            EXPECT_EQ(line->substr(line->size() - tail.size()), tail) << Show(*line);
            std::vector<std::wstring> expected{kProgram};
            expected.insert(expected.end(), t.before.begin(), t.before.end());
            EXPECT_EQ(SplitEveryWay(line->substr(0, line->size() - tail.size())), expected) << Show(*line);
        }
    }
    EXPECT_EQ(Compose(L"\"C:\\b.exe\" --single-argument \"%1\"", L"http://a b\"", kNoFiles),
              L"\"C:\\b.exe\" --single-argument http://a%20b%22");
}

// cmd reads the rest of its line with its own syntax before its command (start here) gets it, and
// CreateProcess runs a batch file through cmd. For cmd, the text after /C or /K is read by cmd's quote
// rule, and each argument that holds the target gets carets that cmd removes, so that its command
// gets the text any other program would; a batch file reads its arguments with cmd's syntax again,
// so a target holding any of it is refused there.
TEST(BrowserCommand, CmdGetsTheTargetEscapedAndBatchFilesOnlyPlainOnes) {
    const std::wstring x = L"C:\\Program Files\\X\\x.exe";
    const FFileExists files = Files({L"cmd.exe", L"C:\\B\\open.cmd", x});
    const std::wstring start = L"\"cmd\" /c start b.exe ";
    const std::wstring system = L"\"C:\\Windows\\System32\\CMD.EXE\"";
    struct SCase {
        std::wstring command, url;
        std::optional<std::wstring> line;  // none: refused
    } cases[] = {
        {L"cmd /c start b.exe %1", L"http://a/?x=1&y=2", start + L"http://a/?x=1^&y=2"},
        {L"cmd /c start b.exe %1", L"http://a b/(c)|d<e>f^g", start + L"http://a^%^20b/^(c^)^|d^%^3Ce^%^3Ef^^g"},
        // Expansion comes first: a caret after each % leaves no name that a variable could have.
        {L"cmd /c start b.exe %1", L"http://a/%PATH%x%PATH:a=b%", start + L"http://a/^%^PATH^%^x^%^PATH:a=b^%"},
        {system + L" /C start \"\" \"%1\"", L"http://a/?b&c", system + L" /C start \"\" http://a/?b^&c"},
        {L"cmd /c start b.exe --app=%1 -x", L"http://a&b", start + L"--app=http://a^&b -x"},
        {L"cmd /c start b.exe %1 & exit", L"http://a&b", start + L"http://a^&b & exit"},  // the template's & stays
        {L"cmd /c start b.exe --single-argument %1", L"http://a b/?c&d%",
         start + L"--single-argument http://a^%^20b/?c^&d^%"},
        {L"\"C:\\W\\Cmd.Exe. \" /k start b.exe", L"http://a|b", L"\"C:\\W\\Cmd.Exe. \" /k start b.exe http://a^|b"},
        {L"\"C:\\W\\cmd.exe::$DATA\" /c start b.exe", L"http://a|b",
         L"\"C:\\W\\cmd.exe::$DATA\" /c start b.exe http://a^|b"},
        {L"\"C:\\cmd\\cmdx.exe\" %1", L"http://a&b", L"\"C:\\cmd\\cmdx.exe\" http://a&b"},  // not cmd
        {L"cmd /c start \"\" %1", L"C:\\My (Docs) & 100%\\a b.pdf",
         L"\"cmd\" /c start \"\" ^\"C:\\My ^(Docs^) ^& 100^%^\\a b.pdf^\""},
        // Quotes, CR and LF reach cmd only as %22, %0D, %0A.
        {L"cmd /c start b.exe %1", L"http://a/\"b\r\n", start + L"http://a/^%^22b^%^0D^%^0A"},
        // cmd's quote rule after /C: the outer quotes of a wrapper go, with /S or without.
        {L"cmd.exe /s /c \"\"" + x + L"\" \"%1\"\"", L"http://a b",
         L"\"cmd.exe\" /s /c \"\"" + x + L"\" http://a^%^20b\""},
        {L"cmd.exe /c \"\"" + x + L"\" \"%1\"\"", L"C:\\D\\a b.pdf",
         L"\"cmd.exe\" /c \"\"" + x + L"\" ^\"C:\\D\\a b.pdf^\"\""},
        // Two quotes around an existing program with a blank stay; the line that results keeps them
        // only inside one more pair, whatever the target holds.
        {L"cmd.exe /c \"" + x + L"\" %1", L"C:\\D\\a b.pdf", L"\"cmd.exe\" /c \"\"" + x + L"\" ^\"C:\\D\\a b.pdf^\"\""},
        {L"cmd.exe /c \"" + x + L"\" %1", L"http://a", L"\"cmd.exe\" /c \"\"" + x + L"\" http://a\""},
        // Where the program is not there, cmd drops the quotes and runs what that leaves.
        {L"cmd.exe /c \"C:\\Program Files\\Y\\y.exe\" %1", L"http://a",
         L"\"cmd.exe\" /c C:\\Program Files\\Y\\y.exe http://a"},
        // Refused for cmd: a "!"; a target where cmd still reads its own switches; a script host or a
        // second cmd or batch file with a target holding cmd's syntax.
        {L"cmd /c start b.exe %1", L"http://a/!PATH!", std::nullopt},
        {L"cmd /c start b.exe --single-argument %1", L"http://a!", std::nullopt},
        {L"cmd %1 /c start b.exe", L"http://a", std::nullopt},
        {L"cmd /d /%1 /c start b.exe", L"http://a", std::nullopt},
        {system, L"http://a", std::nullopt},
        {L"cmd /c powershell -Command \"Start-Process '%1'\"", L"http://x/';calc;'", std::nullopt},
        {L"cmd /c cmd /c start \"\" %1", L"http://x/&calc", std::nullopt},
        {L"cmd /c start C:\\B\\open.cmd %1", L"http://x/?a&b", std::nullopt},
        {L"cmd /c cmd /c start \"\" %1", L"http://x/a", L"\"cmd\" /c cmd /c start \"\" http://x/a"},
        // Batch files: targets without cmd's syntax only, quoted where the batch file's %1 would end.
        {L"\"C:\\B\\open.bat\" \"%1\"", L"http://a/b", L"\"C:\\B\\open.bat\" http://a/b"},
        {L"\"C:\\B\\open.bat\" \"%1\"", L"http://a/b?c=d", L"\"C:\\B\\open.bat\" \"http://a/b?c=d\""},  // %1 ends at =
        {L"\"C:\\B\\open.bat\" \"%1\"", L"C:\\D\\a b.pdf", L"\"C:\\B\\open.bat\" \"C:\\D\\a b.pdf\""},
        {L"\"C:\\B\\open.bat\" \"%1\"", L"http://a b/", std::nullopt},  // %20: a second expansion could read it
        {L"C:\\B\\open.cmd %1", L"http://a/?b&c", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Compose(c.command, c.url, files), c.line) << Show(c.command) << " / " << Show(c.url);
    }
    for (wchar_t special : L"()%!^&|"s) {
        EXPECT_FALSE(Compose(L"\"C:\\B\\OPEN.BAT\" %1", L"http://a/"s + special, kNoFiles)) << Show({special});
    }

    // Whatever else the target holds, cmd's command reads it as the one argument it stands in.
    struct STemplate {
        std::wstring command;
        std::vector<std::wstring> argv;  // before the target's argument
        std::wstring prefix;             // the template's text before the target in its argument
    } templates[] = {
        {L"cmd /c start b.exe %1", {L"cmd", L"/c", L"start", L"b.exe"}, L""},
        {L"cmd /c start b.exe", {L"cmd", L"/c", L"start", L"b.exe"}, L""},
        {system + L" /c start \"\" \"%1\"", {L"C:\\Windows\\System32\\CMD.EXE", L"/c", L"start", L""}, L""},
        {L"cmd /c start b.exe \"--app=%1\"", {L"cmd", L"/c", L"start", L"b.exe"}, L"--app="},
        {L"cmd /s /c \"\"" + x + L"\" \"%1\"\"", {L"cmd", L"/s", L"/c", x}, L""},
        {L"cmd /c \"" + x + L"\" %1", {L"cmd", L"/c", x}, L""},
    };
    std::vector<std::wstring> texts = {L"http://a/?b=1&c=2|d", L"http://a b(c)<d>e^f",
                                       L"http://x/%PATH%",     L"http://x/%PATH:~0,1% %CD:a=b%",
                                       L"http://x/%%x%",       L"http://x%",
                                       L"http://x/^",          L"http://x/%^%",
                                       L"http://a\\b\\ c\\\\", L"C:\\a (b)\\c^d & e.pdf"};
    for (const auto& text : kTargetTexts) texts.push_back(text);
    const auto namesX = [&](const std::wstring& name) { return name == x; };
    for (const auto& t : templates) {
        for (const auto& text : texts) {
            const CLaunchTarget target = Target(text).value();
            auto line = ComposeBrowserCommand(t.command, target, files);
            ASSERT_TRUE(line) << Show(t.command) << " / " << Show(text);
            auto passed = zephra_test::read_like_cmd(*line, namesX);
            ASSERT_TRUE(passed) << Show(*line);
            std::vector<std::wstring> expected = t.argv;
            expected.push_back(t.prefix + target.Text());
            EXPECT_EQ(SplitEveryWay(*passed), expected) << Show(*line);
        }
    }
}

// Templates that pasting the URL into the text got wrong. Every one gives the template's arguments
// with the target where its placeholder stands, read alike by CommandLineToArgvW and both runtime
// generations.
TEST(BrowserCommand, UnusualTemplatesKeepTheTargetInItsArgument) {
    struct SCase {
        std::wstring command;
        std::wstring url;
        std::vector<std::wstring> argv;
    } cases[] = {
        // A placeholder followed by backslashes and a quote.
        {L"\"C:\\b.exe\" %1\\\" -b", L"http://a\\", {L"C:\\b.exe", L"http://a\\\"", L"-b"}},
        {L"\"C:\\b.exe\" \"%1\\\"\" %1",
         L"http://x/--user-data-dir=C:\\evil\\",
         {L"C:\\b.exe", L"http://x/--user-data-dir=C:\\evil\\\"", L"http://x/--user-data-dir=C:\\evil\\"}},
        // Two placeholders side by side.
        {L"\"C:\\b.exe\" \"%1%1\"", L"http://x/\\", {L"C:\\b.exe", L"http://x/\\http://x/\\"}},
        // A bare placeholder against another one or against a quote of the template.
        {L".exe %1%1", L"http://x", {L".exe", L"http://xhttp://x"}},
        {L"\"C:\\b.exe\" \"a\"%1", L"C:\\x y.html", {L"C:\\b.exe", L"aC:\\x y.html"}},
        // No placeholder, and an open quote at the end.
        {L"\"C:\\b.exe\" \"--x", L"C:\\x y.html", {L"C:\\b.exe", L"--x", L"C:\\x y.html"}},
        // A backslash before the quote that ends the program path.
        {L"\"C:\\b.exe\\\" %1", L"http://x", {L"C:\\b.exe\\", L"http://x"}},
        // Two quotes inside a quoted stretch.
        {L"\"C:\\b.exe\" \"a\"\"%1\"", L"C:\\x y.html", {L"C:\\b.exe", L"a\"C:\\x y.html"}},
    };
    for (const auto& c : cases) {
        auto line = Compose(c.command, c.url, kNoFiles);
        ASSERT_TRUE(line) << Show(c.command);
        EXPECT_EQ(SplitEveryWay(*line), c.argv) << Show(c.command) << " -> " << Show(*line);
    }
}

TEST(LaunchTarget, WebAddressesTakeTheirUriForm) {
    struct SCase {
        std::wstring url;
        std::wstring uri;
    } cases[] = {
        {L"http://example.test/a b\"c\\", L"http://example.test/a%20b%22c\\"},
        {L"https://example.test/caf\u00e9", L"https://example.test/caf%C3%A9"},
        {L"HtTpS://x/\u20ac\U0001F600", L"HtTpS://x/%E2%82%AC%F0%9F%98%80"},
        {L"http:x", L"http:x"},
        {L"http://x/\x01\t\n\r\x1f\x7f<>`", L"http://x/%01%09%0A%0D%1F%7F%3C%3E%60"},
        {L"http://x/%41%zz%\\^{|}&!'()*+,;=:@$~[]#f", L"http://x/%41%zz%\\^{|}&!'()*+,;=:@$~[]#f"},
        // What best fit would make syntax of: a fullwidth quote and dash, a yen sign, an ideographic blank.
        {L"http://x/\uff02 \uff0d\uff0dgpu-launcher=calc\u00a5\u3000y",
         L"http://x/%EF%BC%82%20%EF%BC%8D%EF%BC%8Dgpu-launcher=calc%C2%A5%E3%80%80y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToUriForm(c.url), c.uri) << Show(c.url);
        auto target = Target(c.url, false);
        ASSERT_TRUE(target) << Show(c.url);
        EXPECT_EQ(target->Kind(), ELaunchTargetKind::WebAddress);
        EXPECT_EQ(target->Text(), c.uri);
    }
    for (const std::wstring& lone : {L"http://x/\xd800"s, L"http://x/\xdc00y"s, L"http://x/\xdbff\xdbff"s}) {
        EXPECT_FALSE(ToUriForm(lone));
        EXPECT_FALSE(Target(lone));
    }
}

TEST(LaunchTarget, OnlyWebAddressesAndPlainLocalDocumentsPass) {
    // Local documents: a drive path passed as it is, a file: URL of one in its URI form.
    struct SDocument {
        std::wstring text, passed;
    } documents[] = {
        {L"C:\\Help\\index.html", L"C:\\Help\\index.html"},
        {L"d:/Manuals/Remote Guide (2026).PDF", L"d:/Manuals/Remote Guide (2026).PDF"},
        {L"C:\\Users\\Zo\u00eb\\caf\u00e9 & co.txt", L"C:\\Users\\Zo\u00eb\\caf\u00e9 & co.txt"},
        {L"file:///C:/Help/index.html#setup", L"file:///C:/Help/index.html#setup"},
        {L"FILE://localhost/c:/a%20b/r\u00e9sum\u00e9.pdf", L"FILE://localhost/c:/a%20b/r%C3%A9sum%C3%A9.pdf"},
        {L"file:/C|/x/y.htm?q=1", L"file:/C|/x/y.htm?q=1"},
        {L"file:C:/x/y.htm", L"file:C:/x/y.htm"},
        {L"file://C:/x/y.htm", L"file://C:/x/y.htm"},
    };
    for (const auto& d : documents) {
        auto target = Target(d.text);
        ASSERT_TRUE(target) << Show(d.text);
        EXPECT_EQ(target->Kind(), ELaunchTargetKind::LocalDocument);
        EXPECT_EQ(target->Text(), d.passed);
        EXPECT_FALSE(Target(d.text, false)) << "no such file: " << Show(d.text);
    }
    EXPECT_EQ(LocalDocumentPath(L"file:///C:/a%20b/%C3%A9.pdf"), L"C:\\a b\\\u00e9.pdf");

    for (const std::wstring& refused :
         {// Switches, also as best fit would make them; bare names; relative paths.
          L"--gpu-launcher=cmd /c calc"s, L"-new-window"s, L"/c calc"s, L"\uff0d\uff0dgpu-launcher=calc"s, L"calc"s,
          L"calc.exe"s, L"help.html"s, L"docs\\help.html"s, L"..\\help.html"s, L"C:help.html"s, L"\\help.html"s,
          // UNC and device paths, also as file: URLs; other schemes; http: with nothing after it.
          L"\\\\server\\share\\x.exe"s, L"\\\\server\\share\\x.html"s, L"//server/share/x.html"s, L"\\\\?\\C:\\x.html"s,
          L"\\\\.\\C:\\x.html"s, L"file://server/share/x.html"s, L"file:////server/share/x.html"s,
          L"file:///%5C%5Cserver/share/x.html"s, L"ms-msdt:/id PCWDiagnostic /skip force"s,
          L"search-ms:query=x&crumb=location:\\\\server"s, L"javascript:alert(1)"s, L"mailto:a@b"s, L" http://x"s,
          L"http:"s, L"HTTPS:"s, L"ftp://x/"s, L""s, L"http://x/\0 --evil"s,
          // Programs, by path or file: URL, in any case, with PATHEXT's own type.
          L"C:\\W\\calc.exe"s, L"C:\\W\\CALC.EXE"s, L"file:///C:/W/calc.exe"s, L"file:///C:/W/calc%2Eexe"s,
          L"C:\\W\\a.bat"s, L"C:\\W\\a.ps1"s, L"C:\\W\\a.lnk"s, L"C:\\W\\a.url"s, L"C:\\W\\a.hta"s, L"C:\\W\\a.msi"s,
          L"C:\\W\\a.scr"s, L"C:\\W\\a.JS"s, L"C:\\W\\a.jar"s, L"C:\\W\\a.reg"s, L"C:\\W\\a.zpx"s,
          L"C:\\W\\a.settingcontent-ms"s,
          // Names that Windows reads as another file than the text shows.
          L"C:\\W\\calc.exe."s, L"C:\\W\\calc.exe "s, L"C:\\W\\a.html::$DATA"s, L"C:\\W\\a.txt:x.exe"s,
          L"C:\\W\\calc.exe\\."s, L"C:\\W\\x\\..\\calc.exe"s, L"C:\\W\\\\a.html"s, L"C:\\W\\"s, L"C:\\W\\noextension"s,
          L"C:\\W\\a*.html"s, L"C:\\W\\a\".html"s, L"C:\\W\\a\tb.html"s,
          // Characters that best fit would turn into a quote or a backslash.
          L"C:\\W\\a\uff02 --x \uff02.html"s, L"C:\\W\\a\u00a5.html"s, L"C:\\W\\a\uff3c.html"s,
          L"file:///C:/W/a%EF%BC%82.html"s, L"file:///C:/W/a%C0%AE.html"s, L"file:///C:/W/a%00.html"s}) {
        EXPECT_FALSE(Target(refused)) << Show(refused);
    }
    EXPECT_TRUE(IsProgramFileType(L"C:\\x\\Y.Cmd", L""));
    EXPECT_FALSE(IsProgramFileType(L"C:\\x.exe\\y.html", L".EXE"));
    EXPECT_TRUE(IsProgramFileType(L"C:\\x\\y.abc", L".X;;abc"));
}

// Real-looking web addresses: every one passes the association path and an ordinary http command
// in its URI form; templates run through cmd or a batch file refuse some, and the test says how many.
TEST(BrowserCommand, EveryWebAddressOfTheCorpusReachesAnOrdinaryBrowser) {
    const std::vector<std::wstring> corpus = {
#include "url_corpus.inc"
    };
    ASSERT_GE(corpus.size(), 300u);
    const FFileExists files = Files({L"cmd.exe"});
    std::size_t refusedByCmd = 0, refusedByBatch = 0;
    for (const auto& url : corpus) {
        std::optional<CLaunchTarget> target = Target(url, false);
        ASSERT_TRUE(target) << Show(url);
        const std::wstring& uri = target->Text();
        EXPECT_TRUE(std::all_of(uri.begin(), uri.end(), [](wchar_t c) { return c > 0x20 && c < 0x7F && c != L'"'; }))
            << Show(uri);
        EXPECT_EQ(FoldAsciiLower(uri.substr(0, 4)), L"http");
        auto association = ComposeBrowserCommand(SCommandTemplate{kProgram, {}, L""}, *target, kNoFiles);
        auto http = ComposeBrowserCommand(L"\"" + kProgram + L"\" -osint -url \"%1\"", *target, kNoFiles);
        ASSERT_TRUE(association && http) << Show(url);
        EXPECT_EQ(SplitEveryWay(*association), (std::vector<std::wstring>{kProgram, uri}));
        EXPECT_EQ(SplitEveryWay(*http), (std::vector<std::wstring>{kProgram, L"-osint", L"-url", uri}));
        refusedByCmd += !ComposeBrowserCommand(L"cmd /c start \"\" %1", *target, files);
        refusedByBatch += !ComposeBrowserCommand(L"\"C:\\B\\open.bat\" \"%1\"", *target, files);
    }
    std::printf("%zu web addresses: cmd /c start refuses %zu, a batch file %zu\n", corpus.size(), refusedByCmd,
                refusedByBatch);
    RecordProperty("refused_by_cmd", static_cast<int>(refusedByCmd));
    RecordProperty("refused_by_batch", static_cast<int>(refusedByBatch));
}
