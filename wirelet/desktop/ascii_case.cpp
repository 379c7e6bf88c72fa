#include "wirelet/desktop/ascii_case.h"

namespace NWireletDesktop {

std::wstring FoldAsciiLower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

bool ContainsFoldingAscii(const std::wstring& text, const std::wstring& needle) {
    return FoldAsciiLower(text).find(FoldAsciiLower(needle)) != std::wstring::npos;
}

}  // namespace NWireletDesktop
