#include "wirelet/monitor/modified_utf8.h"

#include <gtest/gtest.h>

#include <random>

using NWireletMonitor::DecodeModifiedUtf8;
using NWireletMonitor::EncodeModifiedUtf8;
using NWireletMonitor::IsValidModifiedUtf8;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

}  // namespace

TEST(ModifiedUtf8, EncodesTheJavaForms) {
    EXPECT_EQ(EncodeModifiedUtf8(L"Open"), "Open");
    // U+0000 takes two bytes, so encoded text never holds a zero byte.
    EXPECT_EQ(EncodeModifiedUtf8(std::wstring(1, L'\0')), Bytes({0xC0, 0x80}));
    EXPECT_EQ(EncodeModifiedUtf8(L"\u00e9"), Bytes({0xC3, 0xA9}));
    EXPECT_EQ(EncodeModifiedUtf8(L"\u65e5"), Bytes({0xE6, 0x97, 0xA5}));
    // A supplementary character is its two surrogates, three bytes each.
    const wchar_t pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(EncodeModifiedUtf8(pair, 2), Bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}));
}

TEST(ModifiedUtf8, EveryUtf16UnitRoundTrips) {
    std::wstring all;
    for (unsigned long u = 0; u <= 0xFFFF; ++u) all.push_back(static_cast<wchar_t>(u));
    std::string encoded = EncodeModifiedUtf8(all);
    EXPECT_EQ(encoded.find('\0'), std::string::npos);
    EXPECT_TRUE(IsValidModifiedUtf8(encoded));
    EXPECT_EQ(DecodeModifiedUtf8(encoded), all);
}

TEST(ModifiedUtf8, StandardFourByteFormDecodesToASurrogatePairButIsNotModified) {
    std::string grinning = Bytes({0xF0, 0x9F, 0x98, 0x80});
    const wchar_t pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(DecodeModifiedUtf8(grinning), std::wstring(pair, 2));
    EXPECT_FALSE(IsValidModifiedUtf8(grinning));
}

TEST(ModifiedUtf8, MalformedBytesBecomeReplacementCharactersOneByOne) {
    const std::wstring R(1, wchar_t(0xFFFD));
    struct SCase {
        std::string bytes;
        std::wstring expected;
    } cases[] = {
        {Bytes({0x80, 'a'}), R + L"a"},                    // stray continuation byte
        {Bytes({'a', 0xE6, 0x97}), L"a" + R + R},          // truncated at the end
        {Bytes({0xE6, 'x', 0xA5}), R + L"x" + R},          // interrupted sequence
        {Bytes({0xC1, 0x81}), R + R},                      // overlong 'A'
        {Bytes({0xE0, 0x80, 0x80}), R + R + R},            // overlong U+0000 in three bytes
        {Bytes({0xFF, 0xFE, 'z'}), R + R + L"z"},          // bytes that never start anything
        {Bytes({0xF4, 0x90, 0x80, 0x80}), R + R + R + R},  // beyond U+10FFFF
        {std::string(1, '\0'), R},                         // a raw zero byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeModifiedUtf8(c.bytes), c.expected) << "case of " << c.bytes.size() << " bytes";
        EXPECT_FALSE(IsValidModifiedUtf8(c.bytes));
    }
    EXPECT_TRUE(DecodeModifiedUtf8(nullptr, 5).empty());
}

TEST(ModifiedUtf8, RandomBytesDecodeSafelyAndValidOnesRoundTrip) {
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 40, '\0');
        for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 0xC0 | random() % 64 : random() % 256);
        std::wstring units = DecodeModifiedUtf8(bytes);
        EXPECT_LE(units.size(), bytes.size());
        if (IsValidModifiedUtf8(bytes)) {
            EXPECT_EQ(EncodeModifiedUtf8(units), bytes);
        }
    }
}
