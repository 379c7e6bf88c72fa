#pragma once
// Reading the record that the jvm.dll double leaves: one "<event> <text>" line per event; the scripted
// client's events carry their time first ("<event> <milliseconds> <details>").

#include <string>
#include <vector>

namespace zephra_system {

struct SEvent {
    std::string name;
    std::string text;  // unescaped; for timed events without the time
    bool timed = false;
    double ms = 0;
};

// Parses the record's text (lines may end in CR LF; a last line without its end is kept).
std::vector<SEvent> ParseRecord(const std::string& text);

// Texts of every event of that name, in order.
std::vector<std::string> TextsOf(const std::vector<SEvent>& events, const std::string& name);
// Index of the first event with that name whose text starts with `prefix`; -1 when none.
int IndexOf(const std::vector<SEvent>& events, const std::string& name, const std::string& prefix = "");
// Number of events with that name whose text starts with `prefix`.
int CountOf(const std::vector<SEvent>& events, const std::string& name, const std::string& prefix = "");

// "key=value" items of a summary line, e.g. ValueOf("transactions=5 failures=0", "failures") == "0";
// empty when absent.
std::string ValueOf(const std::string& summary, const std::string& key);

}  // namespace zephra_system
