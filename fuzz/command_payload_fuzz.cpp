// The monitor's command payload: any bytes parse as the payload's definition reads them (name up to
// the first zero byte, argument up to the second, the rest ignored), and the name check lets
// through exactly the names a JVM method can have: non-empty modified UTF-8 without . ; [ / < >.
// A payload built from any two strings parses back to them.
#include "fuzz_support.h"
#include "reference_utf8.h"
#include "wirelet/monitor/command_payload.h"

using namespace NWireletMonitor;

namespace {

bool ModelAcceptable(const std::string& name) {
    if (name.empty() || !zephra_fuzz::ReferenceDecode(name).modified) return false;
    for (char c : name) {
        if (c == '.' || c == ';' || c == '[' || c == '/' || c == '<' || c == '>') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string name, argument;
    int zeros = 0;
    for (std::size_t i = 0; i < size && zeros < 2; ++i) {
        if (data[i] == 0) {
            ++zeros;
        } else {
            (zeros == 0 ? name : argument) += static_cast<char>(data[i]);
        }
    }
    const SCommand command = ParseCommandPayload(data, size);
    FUZZ_CHECK(command.name == name && command.argument == argument);
    FUZZ_CHECK(IsAcceptableMethodName(command.name) == ModelAcceptable(command.name));

    const std::vector<char> payload = BuildCommandPayload(command.argument, command.name);
    const SCommand swapped = ParseCommandPayload(payload.data(), payload.size());
    FUZZ_CHECK(swapped.name == command.argument && swapped.argument == command.name);
    FUZZ_CHECK(payload.size() == name.size() + argument.size() + 2);
    return 0;
}
