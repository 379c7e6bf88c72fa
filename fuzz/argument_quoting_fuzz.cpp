// Argument quoting: any list of arguments, quoted and joined behind a program, splits back to
// exactly that list under both generations of the C runtime's rules, and under the library's own
// splitter.
#include "fuzz_support.h"
#include "support/argv_reference.h"
#include "wirelet/desktop/browser_command.h"

using namespace NWireletDesktop;
using zephra_test::argv_rules;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // First field: the program; each further field one argument. U+0000 cannot stand in a
    // command line (JoinCommandLine refuses it), so it is left out here.
    auto fields = zephra_fuzz::Fields(data, size, 1 + size);
    std::vector<std::wstring> texts;
    for (const auto& field : fields) {
        std::wstring units = zephra_fuzz::Units(field);
        std::wstring kept;
        for (wchar_t c : units) {
            if (c != L'\0') kept += c;
        }
        texts.push_back(kept);
    }
    std::wstring program = texts[0];
    std::vector<std::wstring> arguments(texts.begin() + 1, texts.end());

    auto line = JoinCommandLine(program, arguments);
    if (program.empty() || program.find(L'"') != std::wstring::npos) {
        FUZZ_CHECK(!line);
        program = L"C:\\Program Files\\B\\b.exe";
        line = JoinCommandLine(program, arguments);
    }
    FUZZ_CHECK(line);

    std::vector<std::wstring> expected{program};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    for (argv_rules rules : {argv_rules::pre2008, argv_rules::post2008}) {
        FUZZ_CHECK(zephra_test::split_msvcrt(*line, rules) == expected);
    }
    std::wstring quoted;
    for (const auto& argument : arguments) quoted += L" " + QuoteArgument(argument);
    FUZZ_CHECK(SplitArguments(quoted) == arguments);
    return 0;
}
