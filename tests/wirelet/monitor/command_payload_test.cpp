#include "wirelet/monitor/command_payload.h"

#include <gtest/gtest.h>

#include "wirelet/monitor/modified_utf8.h"

using NWireletMonitor::BuildCommandPayload;
using NWireletMonitor::IsAcceptableMethodName;
using NWireletMonitor::ParseCommandPayload;

namespace {

std::string AsString(const std::vector<char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

TEST(CommandPayload, BuildsNameZeroArgumentZero) {
    EXPECT_EQ(AsString(BuildCommandPayload("OpenFile", "C:\\a b.txt")), std::string("OpenFile\0C:\\a b.txt\0", 20));
    EXPECT_EQ(AsString(BuildCommandPayload("", "")), std::string("\0\0", 2));
    // A zero byte inside a string would shift the fields; each string ends at its first one.
    EXPECT_EQ(AsString(BuildCommandPayload(std::string("Op\0x", 4), std::string("a\0b", 3))),
              std::string("Op\0a\0", 5));
}

TEST(CommandPayload, ParsesWhatItBuilds) {
    std::string name = NWireletMonitor::EncodeModifiedUtf8(L"\u00d6ffnen");
    std::string argument = NWireletMonitor::EncodeModifiedUtf8(L"\u65e5\u672c \"x\"");
    auto payload = BuildCommandPayload(name, argument);
    auto command = ParseCommandPayload(payload.data(), payload.size());
    EXPECT_EQ(command.name, name);
    EXPECT_EQ(command.argument, argument);
}

TEST(CommandPayload, ParsesHostileShapes) {
    struct SCase {
        std::string bytes;
        std::string name;
        std::string argument;
    } cases[] = {
        {"", "", ""},
        {"NoZeroAtAll", "NoZeroAtAll", ""},
        {std::string("Name\0", 5), "Name", ""},
        {std::string("Name\0Arg", 8), "Name", "Arg"},                // no second zero
        {std::string("Name\0Arg\0Extra\0More", 19), "Name", "Arg"},  // tail ignored
        {std::string("\0\0", 2), "", ""},
        {std::string("\0Arg\0", 5), "", "Arg"},
        {std::string("\xff\xfe\0\x80\0", 5), "\xff\xfe", "\x80"},  // bytes are kept as they came
    };
    for (const auto& c : cases) {
        auto command = ParseCommandPayload(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(command.name, c.name);
        EXPECT_EQ(command.argument, c.argument);
    }
    // Only size bytes are read, even when more follow in memory.
    auto command = ParseCommandPayload("Name\0Arg\0", 6);
    EXPECT_EQ(command.name, "Name");
    EXPECT_EQ(command.argument, "A");
    auto none = ParseCommandPayload(nullptr, 100);
    EXPECT_TRUE(none.name.empty());
    EXPECT_TRUE(none.argument.empty());
}

TEST(CommandPayload, AcceptsOnlyNamesAMethodCanHave) {
    EXPECT_TRUE(IsAcceptableMethodName("OpenFile"));
    EXPECT_TRUE(IsAcceptableMethodName("$handle_1"));
    EXPECT_TRUE(IsAcceptableMethodName(NWireletMonitor::EncodeModifiedUtf8(L"\u00f6ffne")));
    EXPECT_FALSE(IsAcceptableMethodName(""));
    EXPECT_FALSE(IsAcceptableMethodName("<init>"));
    EXPECT_FALSE(IsAcceptableMethodName("<clinit>"));
    EXPECT_FALSE(IsAcceptableMethodName("java.lang.Object"));
    EXPECT_FALSE(IsAcceptableMethodName("a/b"));
    EXPECT_FALSE(IsAcceptableMethodName("a;b"));
    EXPECT_FALSE(IsAcceptableMethodName("[a"));
    EXPECT_FALSE(IsAcceptableMethodName("bad\xff"));
    EXPECT_FALSE(IsAcceptableMethodName("\xf0\x9f\x98\x80"));  // standard 4-byte form
}
