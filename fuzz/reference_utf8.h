#pragma once
// A reference decoder of modified UTF-8 for the fuzz targets' oracles, written from the format's
// definition rather than from the library's decoder.
//
// Modified UTF-8 (what GetStringUTFChars gives): each UTF-16 unit on its own as one byte
// (U+0001..U+007F), two bytes (U+0080..U+07FF, and U+0000 as C0 80) or three bytes (U+0800..U+FFFF,
// surrogates included). The library also accepts a standard four-byte sequence, as a surrogate
// pair. Whatever does not start such a sequence becomes U+FFFD, one byte at a time.

#include <cstddef>
#include <string>

namespace zephra_fuzz {

struct SReferenceUtf8 {
    std::wstring units;
    bool modified = true;  // every byte belonged to a sequence of the modified form
};

inline SReferenceUtf8 ReferenceDecode(const std::string& text) {
    static const unsigned long kSmallest[5] = {0, 0x01, 0x80, 0x800, 0x10000};
    SReferenceUtf8 out;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned long value = 0;
        if (lead < 0x80) {
            length = 1, value = lead;
        } else if (lead >> 5 == 0x6) {
            length = 2, value = lead & 0x1F;
        } else if (lead >> 4 == 0xE) {
            length = 3, value = lead & 0x0F;
        } else if (lead >> 3 == 0x1E) {
            length = 4, value = lead & 0x07;
        }
        bool ok = length > 0 && i + length <= n;
        for (std::size_t k = 1; ok && k < length; ++k) {
            const unsigned next = static_cast<unsigned char>(text[i + k]);
            ok = next >> 6 == 0x2;
            value = value << 6 | (next & 0x3F);
        }
        // The one short form allowed: U+0000 as C0 80. A raw zero byte is not allowed.
        const bool javaZero = length == 2 && value == 0;
        ok = ok && (value >= kSmallest[length] || javaZero) && value <= 0x10FFFF;
        if (!ok) {
            out.units += static_cast<wchar_t>(0xFFFD);
            out.modified = false;
            ++i;
            continue;
        }
        if (length == 4) {
            out.units += static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10));
            out.units += static_cast<wchar_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
            out.modified = false;
        } else {
            out.units += static_cast<wchar_t>(value);
        }
        i += length;
    }
    return out;
}

}  // namespace zephra_fuzz
