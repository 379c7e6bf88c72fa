// The installation folders the package accepts: what the launcher can read through the ANSI code
// page, and whose longest path (the launcher's jvm.dll or a file of the package) fits within
// MAX_PATH, counted in bytes of that code page; and the runtime folder's name read back from where
// an installation keeps Wirelet.dll.

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

TEST(FolderRule, LongestFileOfThePackageDecides) {
    // A runtime's own files lie deeper than its jvm.dll; the runtime folder's name is part of them.
    PackagePaths paths;
    paths.longest_in_runtime = L"lib\\zi\\America\\Indiana\\Indianapolis";  // 17 longer than bin\client\jvm.dll
    EXPECT_NE(folder_problem(folder_of_length(kLongestFolder), kJre, 1252, paths), L"");
    EXPECT_EQ(folder_problem(folder_of_length(kLongestFolder - 17), kJre, 1252, paths), L"");
    const std::wstring problem = folder_problem(folder_of_length(kLongestFolder - 16), kJre, 1252, paths);
    EXPECT_NE(problem.find(L"(JRE 1.4.2_05\\lib\\zi\\America\\Indiana\\Indianapolis)"), std::wstring::npos) << problem;
    EXPECT_NE(problem.find(L"at least 1 characters shorter"), std::wstring::npos) << problem;
    EXPECT_NE(folder_problem(folder_of_length(kLongestFolder - 17), kJre + L"x", 1252, paths), L"");

    // A file outside the runtime folder, 41 characters, longer than "JRE 1.4.2_05\bin\client\jvm.dll" by 10.
    PackagePaths outside;
    outside.longest = L"docs\\" + std::wstring(36, L'd');
    EXPECT_EQ(folder_problem(folder_of_length(kLongestFolder - 10), kJre, 1252, outside), L"");
    EXPECT_NE(folder_problem(folder_of_length(kLongestFolder - 9), kJre, 1252, outside).find(L"too long"),
              std::wstring::npos);
    // Shorter files leave the launcher's path to decide.
    PackagePaths shorter;
    shorter.longest = L"md5.jar";
    shorter.longest_in_runtime = L"bin\\x.dll";
    EXPECT_EQ(folder_problem(folder_of_length(kLongestFolder), kJre, 1252, shorter), L"");
    EXPECT_NE(folder_problem(folder_of_length(kLongestFolder + 1), kJre, 1252, shorter), L"");
}

TEST(FolderRule, RuntimeFolderNameFromWhereWireletLies) {
    const std::wstring dir = L"C:\\Z\x00E9phyr\\Zephra Remote\\";
    EXPECT_EQ(runtime_folder_name(dir, dir + L"Java Runtime 1.4\\bin\\"), L"Java Runtime 1.4");
    // Letters of another case, the installation folder without its final backslash.
    EXPECT_EQ(
        runtime_folder_name(L"C:\\Z\x00E9phyr\\Zephra Remote", L"c:\\z\x00C9PHYR\\zephra remote\\JRE 1.4.2_05\\BIN\\"),
        L"JRE 1.4.2_05");
    // Not directly under the installation folder, not a bin folder, or elsewhere: no name.
    EXPECT_EQ(runtime_folder_name(dir, dir + L"a\\b\\bin\\"), L"");
    EXPECT_EQ(runtime_folder_name(dir, dir + L"JRE\\lib\\"), L"");
    EXPECT_EQ(runtime_folder_name(dir, dir + L"bin\\"), L"");
    EXPECT_EQ(runtime_folder_name(dir, L"D:\\Other\\JRE\\bin\\"), L"");
    EXPECT_EQ(runtime_folder_name(dir, L""), L"");
    EXPECT_EQ(runtime_folder_name(L"", L"JRE\\bin\\"), L"");
}

}  // namespace
