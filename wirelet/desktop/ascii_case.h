#pragma once
// Case folding that changes only the ASCII letters A to Z, as tolower does in the "C" locale.
// Every other UTF-16 unit is compared exactly.

#include <string>

namespace NWireletDesktop {

std::wstring FoldAsciiLower(std::wstring text);

// Whether needle occurs in text when both are folded.
bool ContainsFoldingAscii(const std::wstring& text, const std::wstring& needle);

}  // namespace NWireletDesktop
