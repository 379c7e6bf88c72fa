// Browser launch against a registry arranged in the test's Wine prefix: the .html association
// and the http command point at a recorder program in a directory with spaces, which writes down
// the command line it was started with. HKEY_CLASSES_ROOT is shared by the whole prefix, so these
// cases hold a ctest resource lock and put every value they touch back.
#include "wirelet/desktop/browser_launch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "wirelet/desktop/browser_command.h"
#include "wirelet/desktop/launch_target.h"
// after windows.h
#include <shellapi.h>

#include <memory>
#include <vector>

#include "classes_root.h"
#include "support/process.h"
#include "wirelet/support/check.h"

using namespace NWireletDesktop;
using namespace std::string_literals;
using namespace zephra_test;

namespace {

const wchar_t kProgId[] = L"ZephraTest.BrowserHtml";
const wchar_t kMissingProgId[] = L"ZephraTest.NoHandler";

// Paths compare without regard to case (8.3 or long forms are not expected here).
std::wstring FoldPath(std::wstring path) {
    CharLowerBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

// Web addresses that reach the browser in their URI form.
const std::vector<std::wstring> kHostileUrls = {
    L"http://example.com/page?a=1&b=2",
    L"http://example.com/a b --incognito",
    L"HTTPS://example.com/\"x\" \"y\\",
    L"http://\u65e5\u672c.example/\u00e9\u00df \u20ac\uff02 \u00a5\u3000",
};
std::wstring UriForm(const std::wstring& url) { return ToUriForm(url).value(); }

class BrowserLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        m_Dir = std::make_unique<temp_dir>(L"browser launch");
        m_BrowserDir = *m_Dir / L"Web Browser Files\\";
        ASSERT_TRUE(CreateDirectoryW(m_BrowserDir.c_str(), nullptr));
        m_Recorder = m_BrowserDir + L"Recording Browser.EXE";
        ASSERT_TRUE(copy_file(test_bin_dir() + L"cmdline_recorder.exe", m_Recorder));
        m_Record = *m_Dir / L"record.txt";
        set_env(L"ZEPHRA_RECORD_FILE", m_Record);
    }
    void TearDown() override {
        // The recorder may still be finishing; give it the time to let go of its directory.
        wait_for_file(m_Record, 2000);
        m_Dir.reset();
    }

    // .html opens with the recorder, through a ProgID of the test's own.
    void AssociateHtmlWithRecorder() {
        m_ProgId.Set(L"Recording browser");
        m_ProgIdCommand.Set(L"\"" + m_Recorder + L"\" \"%1\"");
        m_Html.Set(kProgId);
    }
    void RemoveHtmlAssociation() { m_Html.Set(kMissingProgId); }

    // The command line the recorder was started with ("" when it was not started).
    std::wstring RecordedLine() {
        if (!wait_for_file(m_Record, 10000)) return {};
        std::wstring line = widen(read_file(m_Record));
        DeleteFileW(m_Record.c_str());
        return line;
    }
    // The same, split as the recorder's runtime splits it.
    std::vector<std::wstring> RecordedArgv() { return zephra_test::split_like_runtime(RecordedLine()); }
    bool NothingRecorded() { return !wait_for_file(m_Record, 1000); }

    std::unique_ptr<temp_dir> m_Dir;
    std::wstring m_BrowserDir, m_Recorder, m_Record;
    CSavedClassesRootValue m_Html{L".html"};
    CSavedClassesRootValue m_ProgId{kProgId};
    CSavedClassesRootValue m_ProgIdCommand{std::wstring(kProgId) + L"\\shell\\open\\command"};
    CSavedClassesRootValue m_MissingProgId{kMissingProgId};
    CSavedClassesRootValue m_Http{L"http\\shell\\open\\command"};
};

}  // namespace

TEST_F(BrowserLaunch, AssociatedProgramGetsTheUrlAsOneArgumentBehindItsQuotedPath) {
    AssociateHtmlWithRecorder();
    ASSERT_TRUE(ContainsExe(FindBrowserByFileAssociation()));
    for (const auto& url : kHostileUrls) {
        ASSERT_TRUE(LaunchDefaultBrowser(url));
        auto argv = RecordedArgv();
        ASSERT_EQ(argv.size(), 2u) << narrow(url);
        EXPECT_EQ(FoldPath(argv[0]), FoldPath(m_Recorder));
        EXPECT_EQ(argv[1], UriForm(url));
    }
}

TEST_F(BrowserLaunch, HttpCommandPlaceholdersTakeTheUrl) {
    RemoveHtmlAssociation();
    ASSERT_EQ(FindBrowserByFileAssociation(), L"");
    const std::wstring program = L"\"" + m_Recorder + L"\"";
    struct SCase {
        std::wstring command;
        std::vector<std::wstring> switches;
        std::wstring prefix;  // the template's text before the URL in its argument
    } cases[] = {
        {program + L" \"%1\"", {}, L""},
        {program + L" -osint -url %1", {L"-osint", L"-url"}, L""},
        {program + L" --new-tab", {L"--new-tab"}, L""},  // no placeholder: appended
        {m_Recorder + L" -url \"%1\"", {L"-url"}, L""},  // unquoted path with spaces
        {program + L" \"--x", {L"--x"}, L""},            // an open quote at the end
        {program + L" \"a\"\"%1\"", {}, L"a\""},         // "" inside quotes
    };
    for (const auto& c : cases) {
        m_Http.Set(c.command);
        for (const auto& url : kHostileUrls) {
            ASSERT_TRUE(LaunchDefaultBrowser(url));
            auto argv = RecordedArgv();
            ASSERT_EQ(argv.size(), c.switches.size() + 2) << narrow(c.command) << " / " << narrow(url);
            EXPECT_EQ(FoldPath(argv[0]), FoldPath(m_Recorder));
            for (std::size_t i = 0; i < c.switches.size(); ++i) EXPECT_EQ(argv[i + 1], c.switches[i]);
            EXPECT_EQ(argv.back(), c.prefix + UriForm(url));
        }
    }
}

// Two forms of registered command that need more than splitting and quoting. An unquoted program
// is what CreateProcess starts: here cmd.exe, found in the system directory, not "cmd /c start
// ...exe". cmd reads & | < > ( ) ^ % and quotes as its own syntax: the URL's argument comes escaped
// for it, so that it reaches the browser whole and nothing else runs; a URL holding "!" is refused.
// (A URL holding %NAME% is left to the text tests: Wine's cmd expands %P^ATH% as PATH, where
// Windows takes the caret for part of the name, so no caret keeps %PATH% literal under Wine.) A batch
// file, which CreateProcess runs through cmd, gets plain URLs only. A browser registered with
// --single-argument %1 takes the rest of its command line after that switch and one space as the
// URL, verbatim. A wrapper written for cmd's quote rule after /S /C reaches a program whose path
// holds blanks.
TEST_F(BrowserLaunch, CmdStartAndSingleArgumentCommandsReachTheBrowser) {
    RemoveHtmlAssociation();
    const std::wstring recorder = test_bin_dir() + L"cmdline_recorder.exe";
    ASSERT_EQ(recorder.find_first_of(L" \t"), std::wstring::npos) << "an unquoted path needs no blanks";
    const std::wstring injected = test_bin_dir() + L"injected.txt";  // written only if cmd ran the URL's echo
    DeleteFileW(injected.c_str());
    m_Http.Set(L"cmd /c start " + recorder + L" %1");
    for (const std::wstring& url :
         {L"http://example.com/page?a=1"s, L"http://example.com/a b --incognito"s,
          L"http://\u65e5\u672c.example/\u00e9\u00df \u20ac"s, L"http://example.com/?a=1&b=2|c^d(e)f<g>h%41%"s,
          L"http://example.com/&echo>"s + injected, L"http://example.com/a b&echo>"s + injected + L"&(x)|"s}) {
        ASSERT_TRUE(LaunchDefaultBrowser(url));
        auto argv = RecordedArgv();
        ASSERT_EQ(argv.size(), 2u) << narrow(url);
        EXPECT_EQ(FoldPath(argv[0]), FoldPath(recorder));
        EXPECT_EQ(argv[1], UriForm(url));
    }
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://example.com/!x!&echo>" + injected));
    EXPECT_TRUE(NothingRecorded());
    EXPECT_FALSE(file_exists(injected));

    const std::wstring batch = m_BrowserDir + L"open url.exe.bat";  // the launch takes commands naming an .exe
    write_file(batch, "@\"" + narrow(recorder) + "\" %1\r\n");
    m_Http.Set(L"\"" + batch + L"\" \"%1\"");
    for (const std::wstring url : {L"http://example.com/page?a=1", L"http://example.com/a,b;c"}) {
        ASSERT_TRUE(LaunchDefaultBrowser(url));
        auto argv = RecordedArgv();
        ASSERT_EQ(argv.size(), 2u) << narrow(url);
        EXPECT_EQ(argv[1], url);
    }
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://example.com/?a=1&echo>" + injected));
    EXPECT_TRUE(NothingRecorded());
    EXPECT_FALSE(file_exists(injected));

    for (const std::wstring& wrapper :
         {L"cmd.exe /s /c \"\"" + m_Recorder + L"\" \"%1\"\"", L"cmd.exe /c \"\"" + m_Recorder + L"\" %1\"",
          L"cmd.exe /c \"" + m_Recorder + L"\" %1"}) {
        m_Http.Set(wrapper);
        const std::wstring document = m_BrowserDir + L"read me (1).html";
        write_file(document, "<html></html>");
        for (const std::wstring& url : {L"http://example.com/a b&echo>"s + injected, document}) {
            ASSERT_TRUE(LaunchDefaultBrowser(url)) << narrow(wrapper);
            auto argv = RecordedArgv();
            ASSERT_EQ(argv.size(), 2u) << narrow(wrapper) << " / " << narrow(url);
            EXPECT_EQ(FoldPath(argv[0]), FoldPath(m_Recorder));
            EXPECT_EQ(argv[1], url == document ? url : UriForm(url));
        }
    }
    EXPECT_FALSE(file_exists(injected));

    const std::wstring program = L"\"" + m_Recorder + L"\"";
    for (const std::wstring& switches : {L" --single-argument %1"s, L" --new-window --single-argument \"%1\""s}) {
        m_Http.Set(program + switches);
        const std::wstring head = program + switches.substr(0, switches.rfind(L' '));
        for (const auto& url : kHostileUrls) {
            ASSERT_TRUE(LaunchDefaultBrowser(url));
            EXPECT_EQ(RecordedLine(), head + L" " + UriForm(url));
        }
    }
}

TEST_F(BrowserLaunch, NoBrowserFoundStartsNothing) {
    RemoveHtmlAssociation();
    m_Http.Set(L"no program here %1");
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://example.com/"));
    m_Http.Remove();
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://example.com/"));
    AssociateHtmlWithRecorder();
    EXPECT_FALSE(LaunchDefaultBrowser(L""));  // an empty URL is not opened
    // Nor one holding U+0000, which would end the command line and cut the URL.
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://a/\0 --evil"s));
    EXPECT_FALSE(OpenWithShell(L"http://a/\0 --evil"s));
    EXPECT_TRUE(NothingRecorded());

    // A script host reads its arguments as script: found by either lookup, it is not started.
    const std::wstring host = m_BrowserDir + L"MSHTA.exe";
    ASSERT_TRUE(copy_file(m_Recorder, host));
    m_ProgIdCommand.Set(L"\"" + host + L"\" \"%1\"");
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://example.com/"));
    RemoveHtmlAssociation();
    m_Http.Set(L"\"" + host + L"\" -Command \"Start-Process '%1'\"");
    EXPECT_FALSE(LaunchDefaultBrowser(L"http://example.com/';calc;'"));
    EXPECT_TRUE(NothingRecorded());
}

TEST_F(BrowserLaunch, ProcessThatCannotStartThrowsTheError) {
    RemoveHtmlAssociation();
    m_Http.Set(L"\"" + m_BrowserDir + L"missing.exe\" \"%1\"");
    try {
        LaunchDefaultBrowser(L"http://example.com/");
        ADD_FAILURE() << "no exception";
    } catch (const NQuillonWin32::CCheckException& e) {
        EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST_F(BrowserLaunch, DetectionFileIsGoneAfterwardsWhetherOrNotItWasThere) {
    AssociateHtmlWithRecorder();
    const std::wstring detection = GetTempDirectory() + L"BrowserDetection.html";
    DeleteFileW(detection.c_str());
    EXPECT_TRUE(ContainsExe(FindBrowserByFileAssociation()));
    EXPECT_FALSE(file_exists(detection));

    write_file(detection, "<html>left over</html>");
    EXPECT_TRUE(ContainsExe(FindBrowserByFileAssociation()));
    EXPECT_FALSE(file_exists(detection));

    RemoveHtmlAssociation();
    write_file(detection, "<html>left over</html>");
    EXPECT_EQ(FindBrowserByFileAssociation(), L"");
    EXPECT_FALSE(file_exists(detection));
}

// Local documents open by every path: the shell, the program associated with .html files and the
// http command; programs, by path or file: URL, and everything that is neither a web address nor a
// local document, by none (the recorder is a program itself: started, it would write its record).
TEST_F(BrowserLaunch, LocalDocumentsOpenByEveryPathAndProgramsByNone) {
    CSavedClassesRootValue pdf{L".pdf"};
    pdf.Set(kProgId);
    AssociateHtmlWithRecorder();
    const std::wstring page = m_BrowserDir + L"help p\u00e4ge.html";
    const std::wstring manual = m_BrowserDir + L"Manual (EN).PDF";
    write_file(page, "<html></html>");
    write_file(manual, "%PDF-1.4");
    std::wstring pageUrl = L"file:///" + page;
    for (wchar_t& c : pageUrl) c = c == L'\\' ? L'/' : c;
    const std::wstring pageUri = UriForm(pageUrl);
    for (int path = 0; path < 3; ++path) {
        if (path == 2) {
            RemoveHtmlAssociation();
            m_Http.Set(L"\"" + m_Recorder + L"\" -url \"%1\"");
        }
        for (const std::wstring& document : {page, manual, pageUrl}) {
            if (path == 0 && document == pageUrl) continue;  // the shell's file: handler is Wine's browser
            const bool opened = path == 0 ? OpenWithShell(document) : LaunchDefaultBrowser(document);
            ASSERT_TRUE(opened) << path << ": " << narrow(document);
            auto argv = RecordedArgv();
            ASSERT_GE(argv.size(), 2u) << narrow(document);
            EXPECT_EQ(FoldPath(argv[0]), FoldPath(m_Recorder));
            EXPECT_EQ(FoldPath(argv.back()), FoldPath(document == pageUrl ? pageUri : document)) << path;
        }
    }
    AssociateHtmlWithRecorder();
    const std::wstring batch = m_BrowserDir + L"tool.bat";
    write_file(batch, "@echo started > \"" + narrow(m_Record) + "\"\r\n");
    std::wstring recorderUrl = L"file:///" + m_Recorder;
    for (wchar_t& c : recorderUrl) c = c == L'\\' ? L'/' : c;
    for (const std::wstring& refused :
         {m_Recorder, recorderUrl, batch, m_BrowserDir, m_BrowserDir + L"missing.html", L"cmdline_recorder.exe"s,
          L"-new-window"s, L"\\\\localhost\\C$\\windows\\notepad.exe"s, L"ms-msdt:/id PCWDiagnostic"s}) {
        EXPECT_FALSE(OpenWithShell(refused)) << narrow(refused);
        EXPECT_FALSE(LaunchDefaultBrowser(refused)) << narrow(refused);
    }
    EXPECT_TRUE(NothingRecorded());
}

TEST_F(BrowserLaunch, ShellOpensWhatItCanAndRefusesTheRest) {
    AssociateHtmlWithRecorder();
    const std::wstring page = m_BrowserDir + L"p\u00e4ge one.html";
    write_file(page, "<html></html>");
    EXPECT_TRUE(OpenWithShell(page));
    auto argv = RecordedArgv();
    ASSERT_EQ(argv.size(), 2u);
    EXPECT_EQ(FoldPath(argv[1]), FoldPath(page));

    EXPECT_FALSE(OpenWithShell(m_BrowserDir + L"no such file.html"));
    EXPECT_FALSE(OpenWithShell(L"zephra-no-such-scheme:whatever"));
    EXPECT_FALSE(OpenWithShell(L""));
}

TEST(ClassesRootString, MissingKeysAndValuesGiveTheDefault) {
    EXPECT_EQ(ReadClassesRootString(L"ZephraTest.Never\\There", L"", L"fallback"), L"fallback");
    EXPECT_EQ(ReadClassesRootString(L".html", L"ZephraNoSuchValue", L"fallback"), L"fallback");
}
