#include "installer/folder_rule.h"

#include "launcher/paths.h"
#include "wirelet/support/check.h"

namespace {

// The text in the code page, or false when a character has no exact counterpart there (a best-fit
// substitute such as 'A' for U+0100 counts as none: the launcher would read another folder).
bool to_code_page(const std::wstring& text, UINT code_page, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    // UTF-8 represents every character and takes neither flag nor default-character report.
    const bool utf8 = code_page == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used_default_ptr = utf8 ? nullptr : &used_default;
    const int length = static_cast<int>(text.size());
    const int size = NQuillonWin32::Check([&] {
        return WideCharToMultiByte(code_page, flags, text.data(), length, nullptr, 0, nullptr, used_default_ptr);
    });
    out.resize(static_cast<std::size_t>(size));
    NQuillonWin32::Check([&] {
        return WideCharToMultiByte(code_page, flags, text.data(), length, &out[0], size, nullptr, used_default_ptr);
    });
    return !used_default;
}

}  // namespace

std::wstring folder_problem(const std::wstring& install_dir, const std::wstring& jre_version, UINT code_page) {
    const std::wstring page = std::to_wstring(code_page);
    std::string install_ansi;
    if (!to_code_page(install_dir, code_page, install_ansi)) {
        return L"The installation folder \"" + install_dir +
               L"\" cannot be used: Zephra Remote reads it as ANSI text (code page " + page +
               L"), which lacks some of its characters. Choose a folder whose path uses only characters of "
               L"that code page.";
    }
    std::string jre_ansi;
    if (!to_code_page(jre_version, code_page, jre_ansi)) {
        return L"The runtime folder name \"" + jre_version +
               L"\" cannot be used: Zephra Remote reads it as ANSI text (code page " + page +
               L"), which lacks some of its characters.";
    }
    // Both VM folders have names of one length.
    const std::size_t longest = make_jvm_path(jre_ansi, install_ansi, kClientVm).size();
    if (longest + 1 > MAX_PATH) {
        const std::size_t excess = longest + 1 - MAX_PATH;
        return L"The installation folder \"" + install_dir +
               L"\" is too long: Zephra Remote loads its Java runtime from a path inside it that takes " +
               std::to_wstring(longest) + L" bytes as ANSI text, and Windows allows " + std::to_wstring(MAX_PATH - 1) +
               L". Choose a folder at least " + std::to_wstring(excess) + L" characters shorter.";
    }
    return std::wstring();
}
