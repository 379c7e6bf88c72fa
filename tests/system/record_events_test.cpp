// Reading the client's record: the system test's verdicts rest on it, so a misread line must show here.

#include "system/record_events.h"

#include <gtest/gtest.h>

namespace {

using namespace zephra_system;

TEST(RecordEvents, TimedAndUntimedLinesAndEscapes) {
    std::vector<SEvent> events = ParseRecord(
        "create-cwd C:\\x\r\n"
        "main-thread 1234\n"
        "tx 1005.250 00a1b2c3 remote 1 ok 0.731 0001 -\n"
        "command-received 77.000 thread 9 HandleCommandLine a%0Ab\n"
        "role 12.500\n"
        "odd 12.50 not a time\n"
        "\n"
        "loaded");
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].name, "create-cwd");
    EXPECT_EQ(events[0].text, "C:\\x");
    EXPECT_FALSE(events[0].timed);
    // A number without a decimal point (a thread id) is not a time.
    EXPECT_FALSE(events[1].timed);
    EXPECT_EQ(events[1].text, "1234");
    EXPECT_TRUE(events[2].timed);
    EXPECT_DOUBLE_EQ(events[2].ms, 1005.25);
    EXPECT_EQ(events[2].text, "00a1b2c3 remote 1 ok 0.731 0001 -");
    EXPECT_EQ(events[3].text, "thread 9 HandleCommandLine a\nb");
    EXPECT_TRUE(events[4].timed);
    EXPECT_EQ(events[4].text, "");
    EXPECT_FALSE(events[5].timed);
    EXPECT_EQ(events[5].text, "12.50 not a time");
    EXPECT_EQ(events[6].name, "loaded");
    EXPECT_EQ(events[6].text, "");
}

TEST(RecordEvents, LookupsBySummaryKeyNameAndPrefix) {
    EXPECT_EQ(ValueOf("transactions=18 failures=0 longest_ms=3.5", "failures"), "0");
    EXPECT_EQ(ValueOf("transactions=18 failures=0", "transaction"), "");
    EXPECT_EQ(ValueOf("xfailures=1 failures=2", "failures"), "2");
    EXPECT_EQ(ValueOf("", "failures"), "");

    std::vector<SEvent> events = ParseRecord("a 1.000 x1\nb 2.000 y\na 3.000 x2\na 4.000 z\n");
    EXPECT_EQ(IndexOf(events, "a", "x"), 0);
    EXPECT_EQ(IndexOf(events, "a", "z"), 3);
    EXPECT_EQ(IndexOf(events, "c"), -1);
    EXPECT_EQ(CountOf(events, "a", "x"), 2);
    EXPECT_EQ(TextsOf(events, "a"), (std::vector<std::string>{"x1", "x2", "z"}));
}

}  // namespace
