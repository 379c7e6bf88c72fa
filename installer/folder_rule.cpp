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

// Bytes of the text in the code page; a character it lacks counts as its default character.
std::size_t byte_length(const std::wstring& text, UINT code_page) {
    if (text.empty()) return 0;
    return static_cast<std::size_t>(NQuillonWin32::Check([&] {
        return WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    }));
}

std::wstring with_separator(const std::wstring& dir) { return !dir.empty() && dir.back() == L'\\' ? dir : dir + L'\\'; }

// Equal as Windows compares file names: letter by letter, without regard to case.
bool same_path_text(const std::wstring& a, const std::wstring& b) {
    return NQuillonWin32::Check([&] {
               return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                           TRUE);
           }) == CSTR_EQUAL;
}

}  // namespace

std::wstring folder_problem(const std::wstring& install_dir, const std::wstring& jre_version, UINT code_page,
                            const PackagePaths& paths) {
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
    // The launcher's jvm.dll path (both VM folders have names of one length), then the package's
    // longest files; the longest in bytes decides.
    const std::string vm = kClientVm;
    std::wstring longest_relative = jre_version + L"\\bin\\" + std::wstring(vm.begin(), vm.end()) + L"\\jvm.dll";
    std::size_t longest = make_jvm_path(jre_ansi, install_ansi, kClientVm).size();
    const std::wstring base = with_separator(install_dir);
    const std::wstring in_runtime =
        paths.longest_in_runtime.empty() ? std::wstring() : jre_version + L"\\" + paths.longest_in_runtime;
    for (const std::wstring& relative : {paths.longest, in_runtime}) {
        if (relative.empty()) continue;
        const std::size_t length = byte_length(base + relative, code_page);
        if (length > longest) {
            longest = length;
            longest_relative = relative;
        }
    }
    if (longest + 1 > MAX_PATH) {
        const std::size_t excess = longest + 1 - MAX_PATH;
        return L"The installation folder \"" + install_dir + L"\" is too long: the longest path of Zephra Remote's " +
               L"files inside it (" + longest_relative + L") takes " + std::to_wstring(longest) +
               L" bytes as ANSI text, and Windows allows " + std::to_wstring(MAX_PATH - 1) +
               L". Choose a folder at least " + std::to_wstring(excess) + L" characters shorter.";
    }
    return std::wstring();
}

std::wstring runtime_folder_name(const std::wstring& install_dir, const std::wstring& runtime_bin_dir) {
    if (install_dir.empty()) return std::wstring();
    const std::wstring base = with_separator(install_dir);
    const std::wstring bin = with_separator(runtime_bin_dir);
    const std::wstring suffix = L"\\bin\\";
    if (bin.size() <= base.size() + suffix.size()) return std::wstring();
    if (!same_path_text(bin.substr(0, base.size()), base)) return std::wstring();
    if (!same_path_text(bin.substr(bin.size() - suffix.size()), suffix)) return std::wstring();
    const std::wstring name = bin.substr(base.size(), bin.size() - suffix.size() - base.size());
    if (name.find(L'\\') != std::wstring::npos) return std::wstring();
    return name;
}
