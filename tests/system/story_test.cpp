// The soak's verdicts come from these figures: a leak or a hang that is miscounted here goes unseen.

#include "system/story.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace zephra_system;

std::map<std::string, std::string> Figures(const SRunResult& run) {
    std::map<std::string, std::string> figures;
    for (const auto& figure : SoakFigures(run, 1.0)) figures[figure.first] = figure.second;
    return figures;
}

SLaunch CleanLaunch(const std::string& record) {
    SLaunch launch;
    launch.started = launch.ended = true;
    launch.exitCode = 0;
    launch.events = ParseRecord(record);
    return launch;
}

TEST(SoakFigures, ACleanRunCountsNothingAgainstIt) {
    SRunResult run;
    run.primary = CleanLaunch(
        "threads 1.000 baseline 3\nthreads 2.000 cycle 1 5\nthreads 3.000 detached 3\nthreads 4.000 end 1\n"
        "summary 5.000 transactions=12 failures=0 unplugged_failures=1 longest_ms=2.500 total_ms=6.000 commands=1\n");
    run.seconds.push_back(CleanLaunch("command-sent 4.500\n"));
    auto f = Figures(run);
    EXPECT_EQ(f["transactions"], "12");
    EXPECT_EQ(f["failures"], "0");
    EXPECT_EQ(f["leaked_threads"], "0");
    EXPECT_EQ(f["hung_processes"], "0");
    EXPECT_EQ(f["commands_sent"], "1");
    EXPECT_EQ(f["commands_received"], "1");
    EXPECT_EQ(f["longest_transaction_ms"], "2.500");
    EXPECT_EQ(f["mean_transaction_ms"], "0.500");
}

TEST(SoakFigures, LeftoverThreadsHungLaunchesAndAMissingSummaryShow) {
    SRunResult run;
    // A read thread left after detaching, one more during a cycle, the monitor's two threads never ended.
    run.primary = CleanLaunch(
        "threads 1.000 baseline 3\nthreads 2.000 cycle 7 6\nthreads 3.000 detached 4\nthreads 4.000 end 4\n");
    SLaunch hung;
    hung.started = true;
    run.seconds.push_back(hung);
    SLaunch failed = CleanLaunch("violation DeleteLocalRef of a dead reference\n");
    failed.exitCode = 3;
    run.seconds.push_back(failed);
    auto f = Figures(run);
    EXPECT_EQ(f["leaked_threads"], "5");  // 1 after detaching + 3 beyond the monitor's end + 1 in the cycle
    EXPECT_EQ(f["hung_processes"], "1");
    EXPECT_EQ(f["nonzero_exits"], "1");
    EXPECT_EQ(f["jni_violations"], "1");
    EXPECT_EQ(f["transactions"], "-1");
    EXPECT_EQ(f["failures"], "-1") << "a run without its summary must not read as failure-free";

    SRunResult unmeasured;
    unmeasured.primary = CleanLaunch("threads 1.000 baseline 3\n");
    EXPECT_EQ(Figures(unmeasured)["leaked_threads"], "-1");
}

TEST(ShortHex, LongPacketsAreCutWithTheirLength) {
    EXPECT_EQ(ShortHex("0102"), "0102");
    EXPECT_EQ(ShortHex(std::string(24, 'a')), std::string(24, 'a'));
    EXPECT_EQ(ShortHex(std::string(128, 'b')), std::string(24, 'b') + "... (64 bytes)");
}

}  // namespace
