#pragma once
// What the fuzz targets share: turning the fuzzer's bytes into text, and failing an oracle.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A failed oracle: says which and aborts, so that libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: oracle failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace zephra_fuzz {

using Bytes = std::basic_string<std::uint8_t>;

// The fields of an input, separated by 0xFF bytes (a template and a URL, a title and a needle).
// One field at least and `count` at most: the last one takes the rest, 0xFF bytes included.
inline std::vector<Bytes> Fields(const std::uint8_t* data, std::size_t size, std::size_t count) {
    std::vector<Bytes> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && fields.size() < count) {
            fields.emplace_back();
        } else {
            fields.back().push_back(data[i]);
        }
    }
    return fields;
}

// UTF-16 units from bytes. ASCII bytes stand for themselves, so that seed files stay readable
// text; every other byte stands for one of a few units the code must carry through untouched:
// blanks that are no separators, letters, surrogates, the highest unit.
inline std::wstring Units(const Bytes& bytes) {
    static const wchar_t kOutsideAscii[8] = {0x00A0, 0x00E9, 0x3000, 0x2028, 0xD800, 0xDC00, 0xFEFF, 0xFFFF};
    std::wstring units;
    for (std::uint8_t b : bytes) units.push_back(b < 0x80 ? static_cast<wchar_t>(b) : kOutsideAscii[b & 7]);
    return units;
}

inline wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace zephra_fuzz
