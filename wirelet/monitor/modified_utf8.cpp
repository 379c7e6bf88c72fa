#include "wirelet/monitor/modified_utf8.h"

namespace NWireletMonitor {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// One step of the decoder at bytes[at]: how many bytes were used, the code point, and whether
// the sequence is well formed and whether it is one that modified UTF-8 itself uses.
struct SStep {
    std::size_t length;
    unsigned long codePoint;
    bool wellFormed;
    bool modifiedForm;
};

SStep DecodeOne(const unsigned char* bytes, std::size_t size, std::size_t at) {
    const SStep invalid{1, kReplacement, false, false};
    unsigned char lead = bytes[at];
    std::size_t left = size - at;
    if (lead < 0x80) {
        // A raw zero byte is not modified UTF-8 (U+0000 is C0 80) but decodes harmlessly.
        return {1, lead, lead != 0, lead != 0};
    }
    if ((lead & 0xE0) == 0xC0) {
        if (left < 2 || !IsContinuation(bytes[at + 1])) return invalid;
        unsigned long cp = ((lead & 0x1FUL) << 6) | (bytes[at + 1] & 0x3FUL);
        if (cp < 0x80 && !(lead == 0xC0 && bytes[at + 1] == 0x80)) return invalid;  // overlong
        return {2, cp, true, true};
    }
    if ((lead & 0xF0) == 0xE0) {
        if (left < 3 || !IsContinuation(bytes[at + 1]) || !IsContinuation(bytes[at + 2])) return invalid;
        unsigned long cp = ((lead & 0x0FUL) << 12) | ((bytes[at + 1] & 0x3FUL) << 6) | (bytes[at + 2] & 0x3FUL);
        if (cp < 0x800) return invalid;  // overlong
        return {3, cp, true, true};      // surrogates included: that is how modified UTF-8 carries them
    }
    if ((lead & 0xF8) == 0xF0) {
        if (left < 4 || !IsContinuation(bytes[at + 1]) || !IsContinuation(bytes[at + 2]) ||
            !IsContinuation(bytes[at + 3])) {
            return invalid;
        }
        unsigned long cp = ((lead & 0x07UL) << 18) | ((bytes[at + 1] & 0x3FUL) << 12) |
                           ((bytes[at + 2] & 0x3FUL) << 6) | (bytes[at + 3] & 0x3FUL);
        if (cp < 0x10000 || cp > 0x10FFFF) return invalid;
        return {4, cp, true, false};
    }
    return invalid;
}

}  // namespace

std::wstring DecodeModifiedUtf8(const char* bytes, std::size_t size) {
    std::wstring units;
    if (bytes == nullptr) return units;
    units.reserve(size);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t at = 0; at < size;) {
        SStep step = DecodeOne(data, size, at);
        if (!step.wellFormed) {
            units.push_back(kReplacement);
        } else if (step.codePoint >= 0x10000) {
            unsigned long v = step.codePoint - 0x10000;
            units.push_back(static_cast<wchar_t>(0xD800 + (v >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(step.codePoint));
        }
        at += step.length;
    }
    return units;
}

std::string EncodeModifiedUtf8(const wchar_t* units, std::size_t count) {
    std::string bytes;
    bytes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned long unit = static_cast<unsigned long>(units[i]) & 0xFFFF;
        if (unit != 0 && unit < 0x80) {
            bytes.push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (unit >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return bytes;
}

bool IsValidModifiedUtf8(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t at = 0; at < bytes.size();) {
        SStep step = DecodeOne(data, bytes.size(), at);
        if (!step.wellFormed || !step.modifiedForm) return false;
        at += step.length;
    }
    return true;
}

}  // namespace NWireletMonitor
