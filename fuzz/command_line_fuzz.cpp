// The launcher's command-line splitting: split_command_line (narrow and wide) and
// skip_program_name, against models written from their rules, and split again after joining.
#include "fuzz_support.h"
#include "launcher/command_line.h"

namespace {

using zephra_fuzz::Bytes;

// The arguments as fields: the text is cut at every space outside quotes, quotes are dropped, and
// a last field that took no character of the text at all is no argument (a trailing space ends
// the argument before it; "" is still an empty argument).
std::vector<std::wstring> ModelSplit(const std::wstring& text) {
    std::vector<std::wstring> fields(1);
    std::vector<std::size_t> taken(1, 0);
    bool quoted = false;
    for (wchar_t c : text) {
        if (c == L'\0') break;
        if (c == L' ' && !quoted) {
            fields.emplace_back();
            taken.push_back(0);
            continue;
        }
        ++taken.back();
        if (c == L'"') {
            quoted = !quoted;
        } else {
            fields.back() += c;
        }
    }
    if (taken.back() == 0) fields.pop_back();
    return fields;
}

// Where the text after the program name starts: a quoted name runs to its closing quote, an
// unquoted one to the first unit at or below the space; then units at or below the space are skipped.
std::size_t ModelSkip(const std::wstring& line) {
    std::size_t end = line.find(L'\0');
    if (end == std::wstring::npos) end = line.size();
    std::size_t p;
    if (end > 0 && line[0] == L'"') {
        std::size_t close = line.find(L'"', 1);
        p = close < end ? close + 1 : end;
    } else {
        for (p = 0; p<end&& static_cast<unsigned long>(line[p])> 0x20; ++p) {
        }
    }
    while (p < end && static_cast<unsigned long>(line[p]) <= 0x20) ++p;
    return p;
}

// Arguments (which never hold a quote) written back as a text the splitter reads the same way.
std::wstring Join(const std::vector<std::wstring>& args) {
    std::wstring text;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += L' ';
        bool quote = args[i].empty() || args[i].find(L' ') != std::wstring::npos;
        text += quote ? L"\"" + args[i] + L"\"" : args[i];
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes bytes(data, size);
    // The narrow form reads bytes, the wide form units; the same bytes give the same arguments.
    const std::string narrow(bytes.begin(), bytes.end());
    const std::wstring byteUnits(bytes.begin(), bytes.end());
    const std::wstring units = zephra_fuzz::Units(bytes);

    auto narrowArgs = split_command_line(narrow.c_str());
    auto wideArgs = split_command_line(byteUnits.c_str());
    FUZZ_CHECK(narrowArgs.size() == wideArgs.size());
    for (std::size_t i = 0; i < narrowArgs.size(); ++i) {
        const auto& a = narrowArgs[i];
        FUZZ_CHECK(Bytes(a.begin(), a.end()) == Bytes(wideArgs[i].begin(), wideArgs[i].end()));
    }

    auto args = split_command_line(units.c_str());
    FUZZ_CHECK(args == ModelSplit(units));
    FUZZ_CHECK(split_command_line(Join(args).c_str()) == args);

    const wchar_t* rest = skip_program_name(units.c_str());
    FUZZ_CHECK(rest == units.c_str() + ModelSkip(units));
    FUZZ_CHECK(skip_program_name(narrow.c_str()) == narrow.c_str() + ModelSkip(byteUnits));
    return 0;
}
