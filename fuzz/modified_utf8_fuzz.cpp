// Modified UTF-8: any bytes decode as the reference decoder decodes them and are judged valid
// exactly when the reference finds only modified forms; any UTF-16 sequence (lone surrogates and
// U+0000 included) encodes to valid bytes without a zero byte that decode back to it.
//
// Input: bytes to decode; the same bytes, read as little-endian UTF-16 units, to encode.
#include "fuzz_support.h"
#include "reference_utf8.h"
#include "wirelet/monitor/modified_utf8.h"

using namespace NWireletMonitor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const zephra_fuzz::SReferenceUtf8 reference = zephra_fuzz::ReferenceDecode(bytes);
    const std::wstring decoded = DecodeModifiedUtf8(bytes);
    FUZZ_CHECK(decoded == reference.units);
    FUZZ_CHECK(IsValidModifiedUtf8(bytes) == reference.modified);
    if (reference.modified) FUZZ_CHECK(EncodeModifiedUtf8(decoded) == bytes);

    std::wstring units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units += static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    const std::string encoded = EncodeModifiedUtf8(units);
    FUZZ_CHECK(encoded.find('\0') == std::string::npos);
    FUZZ_CHECK(IsValidModifiedUtf8(encoded));
    FUZZ_CHECK(DecodeModifiedUtf8(encoded) == units);
    const zephra_fuzz::SReferenceUtf8 again = zephra_fuzz::ReferenceDecode(encoded);
    FUZZ_CHECK(again.modified && again.units == units);
    return 0;
}
