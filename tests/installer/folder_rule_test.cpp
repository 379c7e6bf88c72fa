// The installation folders the package accepts: what the launcher can read through the ANSI code
// page and load within MAX_PATH, counted in bytes of that code page.

#include "installer/folder_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::wstring kJre = L"JRE 1.4.2_05";
// "<folder>JRE 1.4.2_05\bin\client\jvm.dll" is 31 bytes longer than the folder.
const std::size_t kLongestFolder = MAX_PATH - 1 - kJre.size() - 19;

// A folder "C:\aaa...\" of `length` characters, trailing backslash included.
std::wstring folder_of_length(std::size_t length, wchar_t fill = L'a') {
    return L"C:\\" + std::wstring(length - 4, fill) + L"\\";
}

TEST(FolderRule, AcceptsBlanksAndLettersOfTheCodePage) {
    EXPECT_EQ(folder_problem(L"C:\\Z\x00E9phyr \x00C9"
                             L"ditions\\Zephra Remote\\",
                             kJre, 1252),
              L"");
    EXPECT_EQ(folder_problem(L"C:\\Program Files (x86)\\Brevant\\Zephra Remote\\", kJre, 1252), L"");
}

TEST(FolderRule, RefusesCharactersOutsideTheCodePageAndBestFitSubstitutes) {
    // Greek has no counterpart in 1252; U+0100 would be read as a plain 'A', another folder.
    for (const std::wstring& folder :
         {std::wstring(L"C:\\\x0396\x03AD\x03C6\x03C5\x03C1\x03BF\x03C2\\"), std::wstring(L"C:\\\x0100rea\\")}) {
        const std::wstring problem = folder_problem(folder, kJre, 1252);
        EXPECT_NE(problem.find(L"cannot be used"), std::wstring::npos) << problem;
        EXPECT_NE(problem.find(L"code page 1252"), std::wstring::npos) << problem;
    }
    EXPECT_NE(folder_problem(L"C:\\Zephra\\", L"JRE \x03B1", 1252), L"");
    // Under a UTF-8 ANSI code page every character has its bytes.
    EXPECT_EQ(folder_problem(L"C:\\\x0396\x03AD\x03C6\x03C5\x03C1\x03BF\x03C2\\", kJre, CP_UTF8), L"");
}

TEST(FolderRule, LongestJvmPathFitsMaxPathExactly) {
    EXPECT_EQ(folder_problem(folder_of_length(kLongestFolder), kJre, 1252), L"");
    const std::wstring problem = folder_problem(folder_of_length(kLongestFolder + 1), kJre, 1252);
    EXPECT_NE(problem.find(L"too long"), std::wstring::npos) << problem;
    EXPECT_NE(problem.find(L"at least 1 characters shorter"), std::wstring::npos) << problem;
    // The runtime folder's name counts too.
    EXPECT_NE(folder_problem(folder_of_length(kLongestFolder), kJre + L"x", 1252), L"");
}

TEST(FolderRule, LengthCountsBytesOfTheCodePage) {
    // Kanji take two bytes each in code page 932: a folder that fits by characters does not by bytes.
    const std::wstring kanji = folder_of_length(kLongestFolder / 2 + 4, L'\x65E5');
    EXPECT_EQ(folder_problem(folder_of_length(kLongestFolder / 2 + 4), kJre, 932), L"");
    EXPECT_NE(folder_problem(kanji, kJre, 932).find(L"too long"), std::wstring::npos);
}

}  // namespace
