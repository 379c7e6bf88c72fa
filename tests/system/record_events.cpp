#include "system/record_events.h"

#include <cctype>
#include <cstdlib>

#include "doubles/jvm/record.h"

namespace zephra_system {

namespace {

// A time is digits, a point and three digits, then the end or a space.
bool LeadingTime(const std::string& text, double& ms, std::size_t& length) {
    std::size_t i = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == 0 || i + 4 > text.size() || text[i] != '.') return false;
    for (std::size_t k = i + 1; k < i + 4; ++k) {
        if (!std::isdigit(static_cast<unsigned char>(text[k]))) return false;
    }
    std::size_t end = i + 4;
    if (end < text.size() && text[end] != ' ') return false;
    ms = std::strtod(text.substr(0, end).c_str(), nullptr);
    length = end < text.size() ? end + 1 : end;
    return true;
}

}  // namespace

std::vector<SEvent> ParseRecord(const std::string& text) {
    std::vector<SEvent> events;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        SEvent event;
        std::size_t space = line.find(' ');
        event.name = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        std::size_t length = 0;
        if (LeadingTime(rest, event.ms, length)) {
            event.timed = true;
            rest = rest.substr(length);
        }
        event.text = jvm_double::unescape_record_text(rest);
        events.push_back(event);
    }
    return events;
}

std::vector<std::string> TextsOf(const std::vector<SEvent>& events, const std::string& name) {
    std::vector<std::string> texts;
    for (const SEvent& event : events) {
        if (event.name == name) texts.push_back(event.text);
    }
    return texts;
}

int IndexOf(const std::vector<SEvent>& events, const std::string& name, const std::string& prefix) {
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].name == name && events[i].text.compare(0, prefix.size(), prefix) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CountOf(const std::vector<SEvent>& events, const std::string& name, const std::string& prefix) {
    int count = 0;
    for (const SEvent& event : events) {
        if (event.name == name && event.text.compare(0, prefix.size(), prefix) == 0) ++count;
    }
    return count;
}

std::string ValueOf(const std::string& summary, const std::string& key) {
    std::size_t start = 0;
    while (start < summary.size()) {
        std::size_t end = summary.find(' ', start);
        if (end == std::string::npos) end = summary.size();
        std::string item = summary.substr(start, end - start);
        if (item.size() > key.size() && item.compare(0, key.size(), key) == 0 && item[key.size()] == '=') {
            return item.substr(key.size() + 1);
        }
        start = end + 1;
    }
    return "";
}

}  // namespace zephra_system
