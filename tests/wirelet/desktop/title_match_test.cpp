#include "wirelet/desktop/title_match.h"

#include <gtest/gtest.h>

#include "wirelet/desktop/ascii_case.h"

using namespace NWireletDesktop;

TEST(TitleMatch, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(FoldAsciiLower(L"AbZ@[`{\u00c4\u00e4\u0130"), L"abz@[`{\u00c4\u00e4\u0130");
    const std::wstring title = L"Brevant_Zephra_Remote_CommandMonitor::UniqueWindow";
    EXPECT_TRUE(TitleMatches(title, FoldAsciiLower(L"commandmonitor::unique")));
    EXPECT_TRUE(TitleMatches(title, FoldAsciiLower(L"BREVANT_ZEPHRA")));
    EXPECT_FALSE(TitleMatches(title, FoldAsciiLower(L"CommandMonitor ")));
    // Outside ASCII, units must be equal: no folding of A umlaut.
    EXPECT_TRUE(TitleMatches(L"\u00c4rger \u65e5\u672c", FoldAsciiLower(L"\u00c4RGER \u65e5")));
    EXPECT_FALSE(TitleMatches(L"\u00c4rger", FoldAsciiLower(L"\u00e4rger")));
}

TEST(TitleMatch, EmptyTitlesNeverMatchAndEmptyNeedlesAlways) {
    EXPECT_FALSE(TitleMatches(L"", L""));
    EXPECT_FALSE(TitleMatches(L"", L"a"));
    EXPECT_TRUE(TitleMatches(L"x", L""));
}

TEST(TitleMatch, SeesOnlyTheFirst259Units) {
    std::wstring title(250, L'x');
    title += L"ABCDEFGHIJKLMNOP";  // A at index 250, I at 258, J at 259
    EXPECT_TRUE(TitleMatches(title, L"abcdefghi"));
    EXPECT_FALSE(TitleMatches(title, L"abcdefghij"));
    EXPECT_FALSE(TitleMatches(title, L"j"));
}
