// Text conversions of the JVM double: standard UTF-8, modified UTF-8 and UTF-16, without Win32.

#include <cstdint>

#include "doubles/jvm/jvm_double.h"

namespace jvm_double {

std::string utf16_to_utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string utf8_to_utf16(const std::string& text) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        std::uint32_t c = p[i];
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 99;
        if (extra == 99 || i + extra >= n) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        c = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

bool decode_modified_utf8(const char* bytes, std::u16string& out) {
    out.clear();
    bool valid = true;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    while (*p) {
        unsigned char b = *p;
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++p;
        } else if ((b & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
            std::uint32_t c = ((b & 0x1F) << 6) | (p[1] & 0x3F);
            // Overlong two-byte forms are invalid, except C0 80, modified UTF-8's NUL.
            if (c < 0x80 && c != 0) valid = false;
            out += static_cast<char16_t>(c);
            p += 2;
        } else if ((b & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
            std::uint32_t c = ((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if (c < 0x800) valid = false;
            out += static_cast<char16_t>(c);  // surrogates come as two 3-byte groups
            p += 3;
        } else {
            // A four-byte form, a stray continuation byte, a truncated sequence or a byte 0xF8+.
            valid = false;
            out += u'\uFFFD';
            ++p;
        }
    }
    return valid;
}

std::string encode_modified_utf8(const std::u16string& text) {
    std::string out;
    for (char16_t ch : text) {
        std::uint32_t c = ch;
        if (c != 0 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace jvm_double
