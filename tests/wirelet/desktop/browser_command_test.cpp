#include "wirelet/desktop/browser_command.h"

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

#include "support/argv_reference.h"
#include "support/process.h"

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
        EXPECT_FALSE(ComposeBrowserCommand(unusable, L"http://a", kNoFiles)) << Show(unusable);
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

TEST(BrowserCommand, PlaceholdersTakeTheUrlAsExactlyOneArgument) {
    const std::wstring q = L"\"" + kProgram + L"\"";
    struct STemplate {
        std::wstring command;
        std::vector<std::wstring> before;  // arguments before the URL's
        std::wstring prefix;               // text glued in front of the URL in its argument
    } templates[] = {
        {q + L" \"%1\"", {}, L""},
        {q + L" %1", {}, L""},
        {q + L" -osint -url \"%1\"", {L"-osint", L"-url"}, L""},
        {q, {}, L""},                              // no placeholder: appended
        {q + L" --new-tab", {L"--new-tab"}, L""},  // switches kept, URL after them
        {q + L" --app=%1", {}, L"--app="},
        {q + L" \"--url=%1\"", {}, L"--url="},
        {q + L" C:\\base\\%1", {}, L"C:\\base\\"},
        {q + L" \"C:\\base\\%1\"", {}, L"C:\\base\\"},
        {q + L" --single-argument --app=%1", {L"--single-argument"}, L"--app="},  // not %1 alone after it
        {kProgram + L" -osint -url \"%1\"", {L"-osint", L"-url"}, L""},           // unquoted path with spaces
    };
    for (const auto& t : templates) {
        for (const auto& url : kHostileUrls) {
            std::wstring line = ComposeBrowserCommand(t.command, url, Files({kProgram})).value();
            auto argv = SplitEveryWay(line);
            ASSERT_EQ(argv.size(), t.before.size() + 2) << Show(line);
            EXPECT_EQ(argv[0], kProgram);
            for (std::size_t i = 0; i < t.before.size(); ++i) EXPECT_EQ(argv[i + 1], t.before[i]);
            EXPECT_EQ(argv.back(), t.prefix + url) << Show(line);
        }
    }
}

TEST(BrowserCommand, ComposesTheExpectedText) {
    const std::wstring q = L"\"C:\\b.exe\"";
    EXPECT_EQ(ComposeBrowserCommand(q + L" \"%1\"", L"http://a b", kNoFiles), q + L" \"http://a b\"");
    EXPECT_EQ(ComposeBrowserCommand(q + L" \"%1\"", L"http://a", kNoFiles), q + L" http://a");
    EXPECT_EQ(ComposeBrowserCommand(q + L" %1", L"http://a", kNoFiles), q + L" http://a");
    EXPECT_EQ(ComposeBrowserCommand(q + L" %1", L"http://a b", kNoFiles), q + L" \"http://a b\"");
    EXPECT_EQ(ComposeBrowserCommand(q, L"http://a", kNoFiles), q + L" http://a");
    EXPECT_EQ(ComposeBrowserCommand(q + L" -a \"%1\" -b %1", L"u", kNoFiles), q + L" -a u -b u");
    EXPECT_EQ(ComposeBrowserCommand(L"C:\\b.exe %1", L"%1 x", kNoFiles), q + L" \"%1 x\"");  // the URL is not searched
    EXPECT_EQ(ComposeBrowserCommand(L"cmd /c start b.exe %1", L"http://a b", Files({L"cmd.exe"})),
              L"\"cmd\" /c start b.exe ^\"http://a b^\"");  // escaped for cmd
}

// Browsers registered with --single-argument %1 take the rest of the line after that switch and one
// space as the URL: it ends the line as it is, the arguments before it quoted as ever. A URL holding
// a quote (or U+0000) is refused there.
TEST(BrowserCommand, SingleArgumentTemplatesEndWithTheUrlAsItIs) {
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
        for (const auto& url : kHostileUrls) {
            auto line = ComposeBrowserCommand(t.command, url, Files({kProgram}));
            if (url.find(L'"') != std::wstring::npos) {
                EXPECT_FALSE(line) << Show(t.command) << " / " << Show(url);
                continue;
            }
            ASSERT_TRUE(line) << Show(t.command);
            const std::wstring tail = L" --single-argument " + url;
            ASSERT_GE(line->size(), tail.size());
            EXPECT_EQ(line->substr(line->size() - tail.size()), tail) << Show(*line);
            std::vector<std::wstring> expected{kProgram};
            expected.insert(expected.end(), t.before.begin(), t.before.end());
            EXPECT_EQ(SplitEveryWay(line->substr(0, line->size() - tail.size())), expected) << Show(*line);
        }
    }
    EXPECT_EQ(ComposeBrowserCommand(L"\"C:\\b.exe\" --single-argument \"%1\"", L"http://a b", kNoFiles),
              L"\"C:\\b.exe\" --single-argument http://a b");
    EXPECT_FALSE(ComposeBrowserCommand(q + L" --single-argument %1", L"http://a\0b"s, kNoFiles));
}

// cmd reads the rest of its line with its own syntax before its command (start here) gets it, and
// CreateProcess runs a batch file through cmd. For cmd, each argument that holds the URL gets carets
// that cmd removes, so that its command gets the text any other program would; a batch file reads
// its arguments with cmd's syntax again, so a URL holding any of it is refused there.
TEST(BrowserCommand, CmdGetsTheUrlEscapedAndBatchFilesOnlyPlainUrls) {
    const FFileExists files = Files({L"cmd.exe", L"C:\\B\\open.cmd"});
    const std::wstring start = L"\"cmd\" /c start b.exe ";
    const std::wstring system = L"\"C:\\Windows\\System32\\CMD.EXE\"";
    struct SCase {
        std::wstring command, url;
        std::optional<std::wstring> line;  // none: refused
    } cases[] = {
        {L"cmd /c start b.exe %1", L"http://a/?x=1&y=2", start + L"http://a/?x=1^&y=2"},
        {L"cmd /c start b.exe %1", L"http://a b/(c)|d<e>f^g", start + L"^\"http://a b/^(c^)^|d^<e^>f^^g^\""},
        // Expansion comes first: a caret after each % leaves no name that a variable could have.
        {L"cmd /c start b.exe %1", L"http://a/%PATH%x%PATH:a=b%", start + L"http://a/^%^PATH^%^x^%^PATH:a=b^%"},
        {system + L" /C start \"\" \"%1\"", L"http://a/?b&c", system + L" /C start \"\" http://a/?b^&c"},
        {L"cmd /c start b.exe --app=%1 -x", L"a&b", start + L"--app=a^&b -x"},
        {L"cmd /c start b.exe %1 & exit", L"a&b", start + L"a^&b & exit"},  // the template's & stays cmd's
        {L"cmd /c start b.exe --single-argument %1", L"http://a b/?c&d%",
         start + L"--single-argument http://a b/?c^&d^%"},
        {L"\"C:\\W\\Cmd.Exe. \" /k start b.exe", L"a|b", L"\"C:\\W\\Cmd.Exe. \" /k start b.exe a^|b"},
        {L"\"C:\\W\\cmd.exe::$DATA\" /c start b.exe", L"a|b", L"\"C:\\W\\cmd.exe::$DATA\" /c start b.exe a^|b"},
        {L"\"C:\\cmd\\cmdx.exe\" %1", L"a&b", L"\"C:\\cmd\\cmdx.exe\" a&b"},  // not cmd
        // Refused for cmd: a quote, a "!", CR or LF; a URL where cmd still reads its own switches.
        {L"cmd /c start b.exe %1", L"http://a/\"b", std::nullopt},
        {L"cmd /c start b.exe %1", L"http://a/!PATH!", std::nullopt},
        {L"cmd /c start b.exe --single-argument %1", L"a!", std::nullopt},
        {L"cmd /c start b.exe %1", L"http://a/\r", std::nullopt},
        {L"cmd /c start b.exe %1", L"http://a/\nb", std::nullopt},
        {L"cmd %1 /c start b.exe", L"http://a", std::nullopt},
        {system, L"/c calc", std::nullopt},
        // Batch files: plain URLs only, quoted where the batch file's %1 would end.
        {L"\"C:\\B\\open.bat\" \"%1\"", L"http://a/b", L"\"C:\\B\\open.bat\" http://a/b"},
        {L"\"C:\\B\\open.bat\" \"%1\"", L"http://a/b?c=d", L"\"C:\\B\\open.bat\" \"http://a/b?c=d\""},  // %1 ends at =
        {L"\"C:\\B\\open.bat\" \"%1\"", L"http://a b/", L"\"C:\\B\\open.bat\" \"http://a b/\""},
        {L"C:\\B\\open.cmd %1", L"http://a/?b&c", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComposeBrowserCommand(c.command, c.url, files), c.line) << Show(c.command) << " / " << Show(c.url);
    }
    for (wchar_t special : L"()%!^\"<>&|\r\n"s) {
        EXPECT_FALSE(ComposeBrowserCommand(L"\"C:\\B\\OPEN.BAT\" %1", L"http://a/"s + special, kNoFiles))
            << Show(std::wstring(1, special));
    }

    // Whatever else the URL holds, cmd's command reads it as the one argument it stands in.
    struct STemplate {
        std::wstring command;
        std::vector<std::wstring> argv;  // before the URL's argument
        std::wstring prefix;             // the template's text before the URL in its argument
    } templates[] = {
        {L"cmd /c start b.exe %1", {L"cmd", L"/c", L"start", L"b.exe"}, L""},
        {L"cmd /c start b.exe", {L"cmd", L"/c", L"start", L"b.exe"}, L""},
        {system + L" /c start \"\" \"%1\"", {L"C:\\Windows\\System32\\CMD.EXE", L"/c", L"start", L""}, L""},
        {L"cmd /c start b.exe \"--app=%1\"", {L"cmd", L"/c", L"start", L"b.exe"}, L"--app="},
    };
    std::vector<std::wstring> urls = {L"http://a/?b=1&c=2|d",
                                      L"a b(c)<d>e^f",
                                      L"%PATH%",
                                      L"%PATH:~0,1% %CD:a=b%",
                                      L"%%x%",
                                      L"x%",
                                      L"^",
                                      L"a^",
                                      L"%^%",
                                      L"a\\b\\ c\\\\"};
    for (const auto& url : kHostileUrls) {
        if (url.find_first_of(L"\"\n") == std::wstring::npos) urls.push_back(url);
    }
    for (const auto& t : templates) {
        for (const auto& url : urls) {
            auto line = ComposeBrowserCommand(t.command, url, files);
            ASSERT_TRUE(line) << Show(t.command) << " / " << Show(url);
            auto passed = zephra_test::read_like_cmd(*line);
            ASSERT_TRUE(passed) << Show(*line);
            std::vector<std::wstring> expected = t.argv;
            expected.push_back(t.prefix + url);
            EXPECT_EQ(SplitEveryWay(*passed), expected) << Show(*line);
        }
    }
}

// Templates that pasting the URL into the text got wrong; the URL could add arguments of its own
// in the first, second, fifth and sixth. Now every one gives the template's arguments with the URL
// where its placeholder stands, read alike by CommandLineToArgvW and both runtime generations.
TEST(BrowserCommand, UnusualTemplatesKeepTheUrlInItsArgument) {
    struct SCase {
        std::wstring command;
        std::wstring url;
        std::vector<std::wstring> argv;
    } cases[] = {
        // A placeholder followed by backslashes and a quote.
        {L"\"C:\\b.exe\" %1\\\" -b", L"a\\", {L"C:\\b.exe", L"a\\\"", L"-b"}},
        {L"\"C:\\b.exe\" \"%1\\\"\" %1",
         L"x --user-data-dir=C:\\evil\\",
         {L"C:\\b.exe", L"x --user-data-dir=C:\\evil\\\"", L"x --user-data-dir=C:\\evil\\"}},
        // Two placeholders side by side.
        {L"\"C:\\b.exe\" \"%1%1\"", L"\" --evil \\", {L"C:\\b.exe", L"\" --evil \\\" --evil \\"}},
        // A bare placeholder against another one or against a quote of the template.
        {L".exe %1%1", L"\n", {L".exe", L"\n\n"}},
        {L"\"C:\\b.exe\" \"a\"%1", L"x y", {L"C:\\b.exe", L"ax y"}},
        // No placeholder, and an open quote at the end.
        {L"\"C:\\b.exe\" \"--x", L"x y", {L"C:\\b.exe", L"--x", L"x y"}},
        // A backslash before the quote that ends the program path.
        {L"\"C:\\b.exe\\\" %1", L"x --evil", {L"C:\\b.exe\\", L"x --evil"}},
        // Two quotes inside a quoted stretch.
        {L"\"C:\\b.exe\" \"a\"\"%1\"", L"x --evil", {L"C:\\b.exe", L"a\"x --evil"}},
    };
    for (const auto& c : cases) {
        auto line = ComposeBrowserCommand(c.command, c.url, kNoFiles);
        ASSERT_TRUE(line) << Show(c.command);
        EXPECT_EQ(SplitEveryWay(*line), c.argv) << Show(c.command) << " -> " << Show(*line);
    }
    // A URL holding U+0000 would be cut where the command line ends: refused.
    EXPECT_FALSE(ComposeBrowserCommand(L"\"C:\\b.exe\" \"%1\"", L"http://a\0 --evil"s, kNoFiles));
    EXPECT_FALSE(ComposeBrowserCommand(L"\"C:\\b.exe\"", std::wstring(1, L'\0'), kNoFiles));
}
