// The launcher's plain logic and its configuration functions, called directly.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/config.h"
#include "launcher/exceptions.h"
#include "launcher/paths.h"
#include "support/process.h"

namespace {

using strings = std::vector<std::string>;

std::vector<std::wstring> widen_all(const strings& in) {
    std::vector<std::wstring> out;
    for (const auto& s : in) out.push_back(zephra_test::widen(s));
    return out;
}

// Checks one text with the narrow splitter, and that the wide one gives the same split.
void expect_split(const std::string& text, const strings& expected) {
    EXPECT_EQ(split_command_line(text.c_str()), expected) << "text [" << text << "]";
    EXPECT_EQ(split_command_line(zephra_test::widen(text).c_str()), widen_all(expected)) << "wide [" << text << "]";
}

TEST(SplitCommandLine, SpacesAloneSeparateAndEachOneCounts) {
    expect_split("", {});
    expect_split("a b", {"a", "b"});
    expect_split("a  b", {"a", "", "b"});
    expect_split("a ", {"a"});
    expect_split("a  ", {"a", ""});
    expect_split(" a", {"", "a"});
    expect_split(" ", {""});
    expect_split("a\tb", {"a\tb"});
}

TEST(SplitCommandLine, QuotesGroupWithoutEscapes) {
    expect_split("\"x y\"", {"x y"});
    expect_split("ab\"c d\"e f", {"abc de", "f"});
    expect_split("\"\"", {""});
    expect_split("\"\" \"\"", {"", ""});
    expect_split("a\\\"b c\"", {"a\\b c"});
    expect_split("C:\\dir\\ \"C:\\Program Files\\\\\"", {"C:\\dir\\", "C:\\Program Files\\\\"});
}

TEST(SplitCommandLine, UnclosedQuoteTakesTheRestAndEnds) {
    expect_split("a \"b c", {"a", "b c"});
    expect_split("\"open  with  spaces ", {"open  with  spaces "});
    expect_split("x\"", {"x"});
}

TEST(SplitCommandLine, NonAsciiCharactersPassUnchanged) {
    std::wstring text = L"\x0395\x03BB\x03BB\x03B7\x03BD\x03B9\x03BA\x03AC \"\x4E2D\x6587 \x5B57\"";
    std::vector<std::wstring> expected = {L"\x0395\x03BB\x03BB\x03B7\x03BD\x03B9\x03BA\x03AC", L"\x4E2D\x6587 \x5B57"};
    EXPECT_EQ(split_command_line(text.c_str()), expected);
    EXPECT_EQ(split_command_line("\xE9t\xE9 \xFC"), (strings{"\xE9t\xE9", "\xFC"}));
}

TEST(SkipProgramName, AsTheGuiStartUpCodeDoes) {
    EXPECT_STREQ(skip_program_name(L"\"C:\\Program Files\\Z\\ZephraClient.exe\" a b"), L"a b");
    EXPECT_STREQ(skip_program_name(L"ZephraClient.exe  \t a"), L"a");
    EXPECT_STREQ(skip_program_name(L"ZephraClient.exe"), L"");
    EXPECT_STREQ(skip_program_name(L"\"unterminated name"), L"");
    EXPECT_STREQ(skip_program_name(L"prog\"x y\" z"), L"y\" z");
    // An empty first argument stays an argument once the name is skipped: only blanks are skipped.
    EXPECT_STREQ(skip_program_name(L"prog \"\" a"), L"\"\" a");
    EXPECT_STREQ(skip_program_name("prog\xE9 a"), "a");
}

TEST(Paths, InstallDirectoryWithAndWithoutTrailingBackslash) {
    const std::string jvm = "C:\\Apps\\Remote\\JRE 1.4.2_05\\bin\\client\\jvm.dll";
    const std::string search =
        "C:\\Apps\\Remote;C:\\Apps\\Remote\\JRE 1.4.2_05\\bin;C:\\Apps\\Remote\\JRE 1.4.2_05\\bin\\client;"
        "C:\\Apps\\Remote\\gre";
    for (const char* install : {"C:\\Apps\\Remote", "C:\\Apps\\Remote\\"}) {
        EXPECT_EQ(make_jvm_path("JRE 1.4.2_05", install), jvm) << install;
        EXPECT_EQ(make_search_path("JRE 1.4.2_05", install), search) << install;
    }
    EXPECT_EQ(make_jvm_path("jre142", "C:\\Apps\\Remote"), "C:\\Apps\\Remote\\jre142\\bin\\client\\jvm.dll");
    EXPECT_EQ(make_search_path("jre142", "C:\\Apps\\Remote\\"),
              "C:\\Apps\\Remote;C:\\Apps\\Remote\\jre142\\bin;C:\\Apps\\Remote\\jre142\\bin\\client;"
              "C:\\Apps\\Remote\\gre");
    // Only one trailing backslash is removed; an empty directory still gets its separator.
    EXPECT_EQ(base_directory("C:\\A\\\\"), "C:\\A\\");
    EXPECT_EQ(make_jvm_path("J", ""), "\\J\\bin\\client\\jvm.dll");
    EXPECT_EQ(make_search_path("J", ""), ";\\J\\bin;\\J\\bin\\client;\\gre");
    // A server VM takes the client folder's place in both.
    EXPECT_EQ(make_jvm_path("J", "C:\\A\\", kServerVm), "C:\\A\\J\\bin\\server\\jvm.dll");
    EXPECT_EQ(make_search_path("J", "C:\\A\\", kServerVm), "C:\\A;C:\\A\\J\\bin;C:\\A\\J\\bin\\server;C:\\A\\gre");
}

TEST(Paths, RegistryTextStopsAtTheFirstNulAndNeverPassesTheData) {
    EXPECT_EQ(registry_value_text("abc\0def", 7), "abc");
    EXPECT_EQ(registry_value_text("abc", 3), "abc");  // no terminator in the data
    EXPECT_EQ(registry_value_text("abcdef", 2), "ab");
    EXPECT_EQ(registry_value_text("", 0), "");
}

// A registry key of its own under HKCU, removed afterwards.
class RegistryConfig : public ::testing::Test {
protected:
    void SetUp() override {
        key_path_ = "Software\\ZephraLauncherTest\\" + std::to_string(GetCurrentProcessId()) + "\\" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key_path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER,
                       ("Software\\ZephraLauncherTest\\" + std::to_string(GetCurrentProcessId())).c_str());
    }
    void set(const char* name, const std::string& bytes, DWORD type = REG_SZ) {
        ASSERT_EQ(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    std::string jre() { return read_jre_version(HKEY_CURRENT_USER, key_path_.c_str()); }
    std::string install() { return read_install_path(HKEY_CURRENT_USER, key_path_.c_str()); }
    std::string install_error() {
        try {
            install();
        } catch (const system_exception& e) {
            return e.what();
        }
        return "(no exception)";
    }

    std::string key_path_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryConfig, ValuesAreReadUpToTheirTerminator) {
    set("JREVersion", std::string("jre142\0", 7));
    set("InstallPath", std::string("C:\\Apps\\Remote\\\0", 16));
    EXPECT_EQ(jre(), "jre142");
    EXPECT_EQ(install(), "C:\\Apps\\Remote\\");
    // The type is ignored and environment references are not expanded.
    set("InstallPath", std::string("%TEMP%\\x\0", 10), REG_EXPAND_SZ);
    EXPECT_EQ(install(), "%TEMP%\\x");
}

TEST_F(RegistryConfig, MissingValues) {
    EXPECT_EQ(jre(), "JRE 1.4.2_05");
    EXPECT_EQ(install_error(), "Couldn't read value from value: InstallPath");
}

TEST_F(RegistryConfig, TwoHundredSixtyByteLimitOfBothValues) {
    const std::string fits(259, 'j');
    set("JREVersion", fits + '\0');
    set("InstallPath", fits + '\0');
    EXPECT_EQ(jre(), fits);
    EXPECT_EQ(install(), fits);

    // 260 bytes without a terminator fill the buffer exactly: the text stops at the buffer's end.
    const std::string full(260, 'k');
    set("JREVersion", full, REG_BINARY);
    set("InstallPath", full, REG_BINARY);
    EXPECT_EQ(jre(), full);
    EXPECT_EQ(install(), full);

    // 260 characters and the terminator do not fit: unreadable.
    set("JREVersion", full + '\0');
    set("InstallPath", full + '\0');
    EXPECT_EQ(jre(), "JRE 1.4.2_05");
    EXPECT_EQ(install_error(), "Couldn't read value from value: InstallPath");
}

// Runs `body` with the current directory set to `dir`, then restores it.
template <typename Body>
void in_directory(const std::wstring& dir, Body body) {
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    body();
    SetCurrentDirectoryW(saved);
}

TEST(RegistryFallback, WithoutTheKeyTheLauncherDirectoryServes) {
    const char* missing = "Software\\ZephraLauncherTest\\NoSuchKey";
    zephra_test::temp_dir dir(L"zephra-fallback");
    in_directory(dir.path(), [&] {
        try {
            read_install_path(HKEY_CURRENT_USER, missing);
            ADD_FAILURE() << "no exception without ZephraClient.exe";
        } catch (const system_exception& e) {
            EXPECT_STREQ(e.what(), "Couldn't find registry key: Software\\ZephraLauncherTest\\NoSuchKey");
        }
        zephra_test::write_file(dir / L"ZephraClient.exe", "MZ");
        std::string expected = zephra_test::narrow(dir.path().substr(0, dir.path().size() - 1));
        EXPECT_EQ(read_install_path(HKEY_CURRENT_USER, missing), expected);
        EXPECT_EQ(read_jre_version(HKEY_CURRENT_USER, missing), "JRE 1.4.2_05");
    });
}

TEST(ProcessEnvironment, WorkingDirectoryAndPath) {
    zephra_test::temp_dir dir(L"zephra-cwd");
    std::string target = zephra_test::narrow(dir.path());  // with its trailing backslash, as read
    in_directory(L"C:\\", [&] {
        set_working_directory(target);
        wchar_t now[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, now);
        EXPECT_EQ(zephra_test::narrow(now) + "\\", target);
        try {
            set_working_directory(target + "missing");
            ADD_FAILURE() << "no exception";
        } catch (const system_exception& e) {
            EXPECT_EQ(std::string(e.what()), "Failed to set working directory to: " + target + "missing");
        }
    });

    char saved[32768];
    DWORD n = GetEnvironmentVariableA("PATH", saved, sizeof saved);
    set_search_path("C:\\A;C:\\A\\J\\bin");
    char now[64];
    EXPECT_EQ(GetEnvironmentVariableA("PATH", now, sizeof now), 15u);
    EXPECT_STREQ(now, "C:\\A;C:\\A\\J\\bin");
    if (n > 0 && n < sizeof saved) SetEnvironmentVariableA("PATH", saved);
}

}  // namespace
