// Window title matching, against a plain search: a title matches when the needle occurs, ASCII
// letters in any case and every other unit exactly, within the title's first 259 units.
//
// Input: the title, a 0xFF byte, the needle.
#include "fuzz_support.h"
#include "wirelet/desktop/ascii_case.h"
#include "wirelet/desktop/title_match.h"

using namespace NWireletDesktop;

namespace {

bool ModelMatch(const std::wstring& title, const std::wstring& needle) {
    if (title.empty()) return false;
    const std::size_t seen = title.size() < 259 ? title.size() : 259;
    for (std::size_t at = 0; at + needle.size() <= seen; ++at) {
        std::size_t i = 0;
        while (i < needle.size() && zephra_fuzz::FoldAscii(title[at + i]) == zephra_fuzz::FoldAscii(needle[i])) ++i;
        if (i == needle.size()) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto fields = zephra_fuzz::Fields(data, size, 2);
    fields.resize(2);
    const std::wstring title = zephra_fuzz::Units(fields[0]);
    const std::wstring needle = zephra_fuzz::Units(fields[1]);
    const bool expected = ModelMatch(title, needle);
    FUZZ_CHECK(TitleMatches(title, FoldAsciiLower(needle)) == expected);
    FUZZ_CHECK(ContainsFoldingAscii(title.substr(0, 259), needle) == (expected || (title.empty() && needle.empty())));
    return 0;
}
