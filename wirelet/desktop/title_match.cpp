#include "wirelet/desktop/title_match.h"

#include "wirelet/desktop/ascii_case.h"

namespace NWireletDesktop {

bool TitleMatches(const std::wstring& title, const std::wstring& foldedNeedle) {
    if (title.empty()) return false;
    std::wstring seen = FoldAsciiLower(title.substr(0, kTitleBufferUnits - 1));
    return seen.find(foldedNeedle) != std::wstring::npos;
}

}  // namespace NWireletDesktop
