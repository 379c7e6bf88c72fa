// The record file of a jvm.dll process.

#include "doubles/jvm/record.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace jvm_double {

std::string escape_record_text(const std::string& utf8) {
    std::string out;
    for (unsigned char c : utf8) {
        if (c < 0x20 || c == 0x7F || c == '%') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string unescape_record_text(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

Record::Record() {
    wchar_t path[1024];
    DWORD n = GetEnvironmentVariableW(L"ZEPHRA_JVM_RECORD", path, 1024);
    if (n == 0 || n >= 1024) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) file_ = file;
}

Record::~Record() {
    if (file_ != nullptr) CloseHandle(static_cast<HANDLE>(file_));
}

void Record::write(const std::string& event, const std::string& utf8_text) {
    std::string line = event;
    if (!utf8_text.empty()) line += " " + escape_record_text(utf8_text);
    line += "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return;
    DWORD written = 0;
    WriteFile(static_cast<HANDLE>(file_), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace jvm_double
