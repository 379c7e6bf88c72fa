#pragma once
// Matching a window title against part of a title. Titles are read with a buffer of 260 UTF-16
// units, so at most the first 259 units of a title take part; ASCII letters match in any case,
// every other unit must be equal.

#include <cstddef>
#include <string>

namespace NWireletDesktop {

constexpr std::size_t kTitleBufferUnits = 260;

// needle must already be folded (FoldAsciiLower). An empty title never matches; an empty needle
// matches every non-empty title.
bool TitleMatches(const std::wstring& title, const std::wstring& foldedNeedle);

}  // namespace NWireletDesktop
