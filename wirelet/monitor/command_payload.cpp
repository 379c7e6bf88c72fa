#include "wirelet/monitor/command_payload.h"

#include <cstring>

#include "wirelet/monitor/modified_utf8.h"

namespace NWireletMonitor {

std::vector<char> BuildCommandPayload(const std::string& name, const std::string& argument) {
    const std::size_t nameLength = std::strlen(name.c_str());
    const std::size_t argumentLength = std::strlen(argument.c_str());
    std::vector<char> payload;
    payload.reserve(nameLength + argumentLength + 2);
    payload.insert(payload.end(), name.data(), name.data() + nameLength);
    payload.push_back('\0');
    payload.insert(payload.end(), argument.data(), argument.data() + argumentLength);
    payload.push_back('\0');
    return payload;
}

SCommand ParseCommandPayload(const void* data, std::size_t size) {
    SCommand command;
    if (data == nullptr || size == 0) return command;
    const char* bytes = static_cast<const char*>(data);
    const char* end = bytes + size;
    const char* firstZero = static_cast<const char*>(std::memchr(bytes, 0, size));
    if (firstZero == nullptr) {
        command.name.assign(bytes, end);
        return command;
    }
    command.name.assign(bytes, firstZero);
    const char* argument = firstZero + 1;
    const char* secondZero =
        static_cast<const char*>(std::memchr(argument, 0, static_cast<std::size_t>(end - argument)));
    command.argument.assign(argument, secondZero != nullptr ? secondZero : end);
    return command;
}

bool IsAcceptableMethodName(const std::string& name) {
    if (name.empty() || !IsValidModifiedUtf8(name)) return false;
    return name.find_first_of(".;[/<>") == std::string::npos;
}

}  // namespace NWireletMonitor
