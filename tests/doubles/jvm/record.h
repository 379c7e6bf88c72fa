#pragma once
// The record a jvm.dll process leaves for its test: UTF-8 text, one event per line, "<event> <text>".
// Text that could break the line format (control characters, '%') is written as %XX of its UTF-8 bytes.
// Each line is written through at once, so the record survives a process that is killed.

#include <mutex>
#include <string>

namespace jvm_double {

// Escapes control characters and '%' as %XX.
std::string escape_record_text(const std::string& utf8);
std::string unescape_record_text(const std::string& text);

class Record {
public:
    // Opens (appending) the file named by the environment variable ZEPHRA_JVM_RECORD; without it the
    // record goes nowhere.
    Record();
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    // Writes "<event> <escaped text>".
    void write(const std::string& event, const std::string& utf8_text = "");

private:
    std::mutex mutex_;
    void* file_ = nullptr;  // HANDLE
};

}  // namespace jvm_double
