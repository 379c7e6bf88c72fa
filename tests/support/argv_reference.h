#pragma once
// Reference splitters of Windows command lines, transcribed from the C runtime's start-up code, and
// a model of how cmd reads a command line, to check composed command lines against in the tests and
// the fuzz targets. Plain C++, no Windows headers, so the host fuzz build uses them too.
//
// The two generations of the runtime's rules:
//   pre-2008 (msvcrt.dll, VC6 to VC2005): a quoted program name runs to the next quote and the
//     arguments start right after it; an unquoted one runs to the first blank. Inside a quoted
//     stretch two quotes give one literal quote and end the stretch.
//   post-2008 (VC2008 and later, the UCRT): quotes in the program name open and close stretches and
//     the name ends at a blank outside one. Inside a quoted stretch two quotes give one literal quote
//     and the stretch goes on.
// Common to both: only space and tab separate; 2N backslashes and a quote give N backslashes and a
// quote that opens or closes a stretch; 2N+1 backslashes and a quote give N backslashes and a
// literal quote; backslashes before anything else are literal. The line ends at its first U+0000.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zephra_test {

enum class argv_rules { pre2008, post2008 };

const char* rules_name(argv_rules rules);

// argv as the runtime builds it from a whole command line: the program name first.
std::vector<std::wstring> split_msvcrt(const std::wstring& command_line, argv_rules rules);

// The arguments only, from the text that follows the program name.
std::vector<std::wstring> split_msvcrt_arguments(const std::wstring& text, argv_rules rules);

// The text that cmd (reading the line after /c, delayed expansion off) hands to the command it runs,
// modelled on Windows' cmd in three steps. First the quote rule for the text after its /C or /K
// switch (cmd /?): where /S is not among the switches before it and that text holds exactly two
// quotes, with no & < > ( ) @ ^ | and at least one blank between them, and the text between names
// an executable file (names_executable, asked with ".exe" appended where its last component has
// no "."; none without it), it stays as it is; otherwise, where it
// starts with a quote, that quote and the text's last quote are dropped. Then expansion: from each
// "%" to the next, %NAME% and %NAME:...% are replaced by a variable's value where NAME is one;
// elsewhere the text stays and the closing "%" may open the next name. Then, outside quotes, a
// caret is removed and the character after it taken as it is, and a quote starts quote mode;
// inside, everything is taken as it is and a quote ends quote mode. Empty where the line is not
// passed on whole: where a name could be a variable (any name before its ":" that is not empty,
// holds no caret and does not start with a blank counts as one), where & | < > ( or ) stands
// outside quotes without a caret, and where the line holds CR or LF. The line is returned whole
// (cmd's program and switches included). Wine's cmd differs: it expands %P^ATH% as PATH.
std::optional<std::wstring> read_like_cmd(const std::wstring& line,
                                          const std::function<bool(const std::wstring&)>& names_executable = {});

// The quote rule alone: the command cmd runs from the text after its /C or /K.
std::wstring cmd_command_as_read(const std::wstring& command, bool slash_s,
                                 const std::function<bool(const std::wstring&)>& names_executable);

}  // namespace zephra_test
