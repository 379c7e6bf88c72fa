#pragma once
// Composing the command line that starts the browser with one URL. The URL comes from outside,
// so it must reach the browser as exactly one argument, however many spaces, quotes or
// backslashes it holds; and the browser's own path must be quoted so that CreateProcess does not
// try "C:\Program.exe" for "C:\Program Files\...".

#include <string>

namespace NWireletDesktop {

// One argument quoted by the Windows argv rules (CommandLineToArgvW and the C runtime): left as
// it is when it holds no space, tab, newline, vertical tab or quote and is not empty; otherwise
// put in quotes, with backslashes doubled where they precede a quote and every quote escaped.
std::wstring QuoteArgument(const std::wstring& argument);

// A program path as the first token of a command line: in quotes, unless already quoted.
// (The first token has no backslash escapes, so the path is taken as it is.)
std::wstring QuoteProgramPath(const std::wstring& path);

// Whether ".exe" occurs anywhere in the text, ASCII letters in any case. False for "".
bool ContainsExe(const std::wstring& text);

// A registered command whose program path is not quoted but holds spaces before its ".exe"
// (C:\Program Files\B\b.exe -url %1) gets that path quoted; any other command is unchanged.
std::wstring QuoteLeadingProgram(const std::wstring& command);

// The browser command with the URL in it: each %1 placeholder is replaced by the URL as one
// argument (a quoted "%1" as a whole, a bare %1 quoted where needed, a %1 inside a quoted
// stretch escaped for it); with no placeholder the URL is appended after one space.
std::wstring ComposeBrowserCommand(const std::wstring& command, const std::wstring& url);

}  // namespace NWireletDesktop
