#include "wirelet/desktop/browser_command.h"

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <random>
#include <vector>

#include "support/process.h"

using namespace NWireletDesktop;

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
        auto argv = zephra_test::split_like_runtime(L"prog " + QuoteArgument(text));
        ASSERT_EQ(argv.size(), 2u) << "for [" << text.size() << " units]";
        EXPECT_EQ(argv[1], text);
    }
}

TEST(BrowserCommand, ProgramPathsAreQuotedOnce) {
    EXPECT_EQ(QuoteProgramPath(kProgram), L"\"" + kProgram + L"\"");
    EXPECT_EQ(QuoteProgramPath(L"\"C:\\b.exe\""), L"\"C:\\b.exe\"");
    EXPECT_EQ(zephra_test::split_like_runtime(QuoteProgramPath(kProgram) + L" x")[0], kProgram);

    EXPECT_EQ(QuoteLeadingProgram(L"C:\\Program Files\\B\\b.exe -url %1"), L"\"C:\\Program Files\\B\\b.exe\" -url %1");
    EXPECT_EQ(QuoteLeadingProgram(L"C:\\Program Files\\B\\B.EXE"), L"\"C:\\Program Files\\B\\B.EXE\"");
    EXPECT_EQ(QuoteLeadingProgram(L"C:\\My Dir.exec\\b.exe %1"), L"\"C:\\My Dir.exec\\b.exe\" %1");
    EXPECT_EQ(QuoteLeadingProgram(L"C:\\B\\b.exe -url %1"), L"C:\\B\\b.exe -url %1");
    EXPECT_EQ(QuoteLeadingProgram(L"\"C:\\Program Files\\b.exe\" %1"), L"\"C:\\Program Files\\b.exe\" %1");
    EXPECT_EQ(QuoteLeadingProgram(L"no program here"), L"no program here");
}

TEST(BrowserCommand, ContainsExeIgnoresAsciiCase) {
    EXPECT_TRUE(ContainsExe(L"C:\\B\\BROWSER.EXE"));
    EXPECT_TRUE(ContainsExe(L"\"C:\\b.Exe\" \"%1\""));
    EXPECT_FALSE(ContainsExe(L""));
    EXPECT_FALSE(ContainsExe(L"C:\\b.ex"));
    EXPECT_FALSE(ContainsExe(L"exe"));
}

TEST(BrowserCommand, PlaceholdersTakeTheUrlAsExactlyOneArgument) {
    const std::wstring q = QuoteProgramPath(kProgram);
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
    };
    for (const auto& t : templates) {
        for (const auto& url : kHostileUrls) {
            std::wstring line = ComposeBrowserCommand(t.command, url);
            auto argv = zephra_test::split_like_runtime(line);
            ASSERT_EQ(argv.size(), t.before.size() + 2) << std::string(line.begin(), line.end());
            EXPECT_EQ(argv[0], kProgram);
            for (std::size_t i = 0; i < t.before.size(); ++i) EXPECT_EQ(argv[i + 1], t.before[i]);
            EXPECT_EQ(argv.back(), t.prefix + url) << std::string(line.begin(), line.end());
        }
    }
}

TEST(BrowserCommand, ComposesTheExpectedText) {
    const std::wstring q = L"\"C:\\b.exe\"";
    EXPECT_EQ(ComposeBrowserCommand(q + L" \"%1\"", L"http://a b"), q + L" \"http://a b\"");
    EXPECT_EQ(ComposeBrowserCommand(q + L" \"%1\"", L"http://a"), q + L" \"http://a\"");
    EXPECT_EQ(ComposeBrowserCommand(q + L" %1", L"http://a"), q + L" http://a");
    EXPECT_EQ(ComposeBrowserCommand(q + L" %1", L"http://a b"), q + L" \"http://a b\"");
    EXPECT_EQ(ComposeBrowserCommand(q, L"http://a"), q + L" http://a");
    EXPECT_EQ(ComposeBrowserCommand(q + L" -a \"%1\" -b %1", L"u"), q + L" -a \"u\" -b u");
}
