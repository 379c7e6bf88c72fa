#include <gtest/gtest.h>

#include "shelllaunch/parameters.h"
#include "support/process.h"

using namespace zephra_test;

namespace {

TEST(JoinParameters, JoinsWithSingleSpacesAndAddsNoQuotes) {
    using shelllaunch::join_parameters;
    EXPECT_EQ(join_parameters({}), L"");
    EXPECT_EQ(join_parameters({L"one"}), L"one");
    EXPECT_EQ(join_parameters({L"a", L"b c", L"d"}), L"a b c d");
    // An empty argument keeps its separating space: two spaces stand where it was.
    EXPECT_EQ(join_parameters({L"a", L"", L"b"}), L"a  b");
    EXPECT_EQ(join_parameters({L"", L"x"}), L" x");
    EXPECT_EQ(join_parameters({L"x", L""}), L"x ");
    EXPECT_EQ(join_parameters({L"\"q\""}), L"\"q\"");
}

TEST(JoinParameters, ShellResultAbove32MeansStarted) {
    using namespace shelllaunch;
    EXPECT_EQ(exit_code_for_shell_result(33), exit_started);
    EXPECT_EQ(exit_code_for_shell_result(42), exit_started);
    EXPECT_EQ(exit_code_for_shell_result(32), exit_shell_refused);
    EXPECT_EQ(exit_code_for_shell_result(2), exit_shell_refused);
    EXPECT_EQ(exit_code_for_shell_result(0), exit_shell_refused);
}

// The real shelllaunch.exe, started as a process, handing a recorder program to the shell.
class ShellLaunchTool : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = dir_ / L"record.txt";
        set_env(L"ZEPHRA_RECORD_FILE", record_);
    }

    process_result launch(std::vector<std::wstring> arguments) {
        arguments.insert(arguments.begin(), deliverable(L"shelllaunch.exe"));
        return run_process(arguments, 30000);
    }

    std::wstring install_recorder(const std::wstring& name) {
        std::wstring path = dir_ / name;
        EXPECT_TRUE(copy_file(test_bin_dir() + L"cmdline_recorder.exe", path));
        return path;
    }

    // The parameters the recorder was started with: its command line after the program name
    // (quoted or not) and the single separating space.
    std::wstring recorded_parameters() {
        EXPECT_TRUE(wait_for_file(record_, 20000)) << "the recorder was not started";
        std::wstring line = widen(read_file(record_));
        std::size_t end = line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find(L' ');
        if (end == std::wstring::npos || end >= line.size()) return L"";
        EXPECT_EQ(line[end], L' ');
        return line.substr(end + 1);
    }

    temp_dir dir_{L"shelllaunch"};
    std::wstring record_;
};

TEST_F(ShellLaunchTool, ExitCodesForMissingAndUnknownDocuments) {
    process_result none = launch({});
    ASSERT_TRUE(none.finished);
    EXPECT_EQ(none.exit_code, 1u);

    process_result missing = launch({dir_ / L"no-such-document.zzz"});
    ASSERT_TRUE(missing.finished);
    EXPECT_EQ(missing.exit_code, 2u);

    std::wstring unassociated = dir_ / L"data.unassociated-extension";
    write_file(unassociated, "x");
    process_result no_handler = launch({unassociated});
    ASSERT_TRUE(no_handler.finished);
    EXPECT_EQ(no_handler.exit_code, 2u);
    EXPECT_FALSE(file_exists(record_));
}

TEST_F(ShellLaunchTool, DocumentAloneIsOpenedWithEmptyParameters) {
    std::wstring recorder = install_recorder(L"recorder.exe");
    process_result result = launch({recorder});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(recorded_parameters(), L"");
}

TEST_F(ShellLaunchTool, FurtherArgumentsAreJoinedWithSingleSpacesWithoutQuotes) {
    std::wstring recorder = install_recorder(L"recorder.exe");
    process_result result = launch({recorder, L"first", L"two words", L"", L"last"});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 0u);
    // The quoted argument loses its quotes; the empty one leaves two spaces.
    EXPECT_EQ(recorded_parameters(), L"first two words  last");
}

TEST_F(ShellLaunchTool, WholeParameterStringPassedAsOneQuotedArgument) {
    std::wstring recorder = install_recorder(L"recorder.exe");
    process_result result = launch({recorder, L"-url \"http://example.test/a b\" -new"});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(recorded_parameters(), L"-url \"http://example.test/a b\" -new");
}

TEST_F(ShellLaunchTool, NamesOutsideTheAnsiCodePageReachTheShellIntact) {
    // Greek and CJK characters are not in code page 1252.
    std::wstring recorder = install_recorder(L"\u03b1\u03c1\u03c7\u03b5\u03af\u03bf-\u6587\u4ef6.exe");
    process_result result = launch({recorder, L"\u03a9\u03bc\u03ad\u03b3\u03b1", L"\u6771\u4eac"});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(recorded_parameters(), L"\u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac");
}

}  // namespace
