#pragma once
// The command that a later launch hands to the running monitor inside WM_COPYDATA: the method
// name's bytes, one zero byte, the argument's bytes, one zero byte. Both strings travel as
// modified UTF-8 (what GetStringUTFChars gives), which never holds a zero byte.

#include <cstddef>
#include <string>
#include <vector>

namespace NWireletMonitor {

// COPYDATASTRUCT.dwData of a command; any other value is ignored by the monitor.
constexpr unsigned long kCommandDataTag = 1;

struct SCommand {
    std::string name;
    std::string argument;
};

// name, 0, argument, 0. Each string contributes its bytes up to its first zero byte, so the
// payload always parses back into the same two strings.
std::vector<char> BuildCommandPayload(const std::string& name, const std::string& argument);

// Reads a payload from any sender, hostile ones included: bytes before the first zero byte
// are the name, bytes between the first and the second zero byte the argument, and whatever
// follows the second zero byte is ignored. No zero byte at all: everything is the name. A null
// or empty payload gives two empty strings.
SCommand ParseCommandPayload(const void* data, std::size_t size);

// Whether a received name may be handed to GetMethodID: non-empty, well-formed modified UTF-8,
// and free of the characters a JVM method name cannot hold (. ; [ / < >). The last rule also
// keeps a sender from reaching constructors ("<init>") through the receiver.
bool IsAcceptableMethodName(const std::string& name);

}  // namespace NWireletMonitor
