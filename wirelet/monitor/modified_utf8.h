#pragma once
// Modified UTF-8, the encoding JNI's GetStringUTFChars gives and GetMethodID takes: UTF-8 with
// U+0000 written as C0 80 and each UTF-16 surrogate written on its own as three bytes. Any Java
// string round-trips through it unchanged.

#include <cstddef>
#include <string>

namespace NWireletMonitor {

// Decodes to UTF-16 code units (wchar_t holds one unit on Windows). Never fails: every byte that
// does not start a well-formed sequence becomes U+FFFD and decoding goes on with the next byte.
// Besides the modified forms, a well-formed standard 4-byte sequence becomes its surrogate pair,
// so text from a plain UTF-8 sender arrives intact too.
std::wstring DecodeModifiedUtf8(const char* bytes, std::size_t size);
inline std::wstring DecodeModifiedUtf8(const std::string& bytes) {
    return DecodeModifiedUtf8(bytes.data(), bytes.size());
}

// Encodes UTF-16 code units; the result holds no zero byte.
std::string EncodeModifiedUtf8(const wchar_t* units, std::size_t count);
inline std::string EncodeModifiedUtf8(const std::wstring& units) {
    return EncodeModifiedUtf8(units.data(), units.size());
}

// True when the bytes are exactly what GetStringUTFChars could have produced: no raw zero byte,
// no overlong form, no 4-byte form, no truncated or stray continuation byte.
bool IsValidModifiedUtf8(const std::string& bytes);

}  // namespace NWireletMonitor
