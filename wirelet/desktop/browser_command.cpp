#include "wirelet/desktop/browser_command.h"

#include "wirelet/desktop/ascii_case.h"

namespace NWireletDesktop {
namespace {

// The text with every quote escaped (and the backslashes before it doubled), for use between
// quotes that are already there. Trailing backslashes are left for the caller to handle.
std::wstring EscapeQuotes(const std::wstring& text) {
    std::wstring out;
    std::size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"') out.append(backslashes + 1, L'\\');
            backslashes = 0;
        }
        out.push_back(c);
    }
    return out;
}

std::size_t TrailingBackslashes(const std::wstring& text) {
    std::size_t n = 0;
    while (n < text.size() && text[text.size() - 1 - n] == L'\\') ++n;
    return n;
}

// Whether the text starts with a run of backslashes (possibly empty) and then a quote: such a
// text changes the meaning of backslashes that stand right before it.
bool StartsWithQuoteAfterBackslashes(const std::wstring& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == L'\\') ++i;
    return i < text.size() && text[i] == L'"';
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"" + EscapeQuotes(argument);
    quoted.append(TrailingBackslashes(argument), L'\\');  // doubled: the closing quote follows
    quoted.push_back(L'"');
    return quoted;
}

std::wstring QuoteProgramPath(const std::wstring& path) {
    if (!path.empty() && path.front() == L'"') return path;
    return L"\"" + path + L"\"";
}

bool ContainsExe(const std::wstring& text) { return !text.empty() && ContainsFoldingAscii(text, L".exe"); }

std::wstring QuoteLeadingProgram(const std::wstring& command) {
    if (command.empty() || command.front() == L'"') return command;
    const std::wstring folded = FoldAsciiLower(command);
    for (std::size_t at = folded.find(L".exe"); at != std::wstring::npos; at = folded.find(L".exe", at + 1)) {
        std::size_t end = at + 4;
        if (end < command.size() && !IsBlank(command[end])) continue;  // ".exec..." is not the end of a path
        std::wstring program = command.substr(0, end);
        if (program.find_first_of(L" \t") == std::wstring::npos) return command;
        return L"\"" + program + L"\"" + command.substr(end);
    }
    return command;
}

std::wstring ComposeBrowserCommand(const std::wstring& command, const std::wstring& url) {
    std::wstring out;
    bool inQuotes = false;
    bool placed = false;
    std::size_t backslashes = 0;  // the run of backslashes just written
    for (std::size_t i = 0; i < command.size(); ++i) {
        wchar_t c = command[i];
        if (c == L'%' && i + 1 < command.size() && command[i + 1] == L'1') {
            // Inside quotes the URL only needs its quotes escaped; outside, it is quoted as one
            // argument. A quoted "%1" thus becomes exactly the URL quoted by the argv rules.
            std::wstring inserted = inQuotes ? EscapeQuotes(url) : QuoteArgument(url);
            if (StartsWithQuoteAfterBackslashes(inserted)) out.append(backslashes, L'\\');
            out += inserted;
            // Backslashes that now stand before the template's next quote (the URL's own, or the
            // template's when the URL is empty) are doubled so that they stay literal.
            if (i + 2 < command.size() && command[i + 2] == L'"') out.append(TrailingBackslashes(out), L'\\');
            placed = true;
            backslashes = 0;
            ++i;
            continue;
        }
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"' && backslashes % 2 == 0) inQuotes = !inQuotes;
            backslashes = 0;
        }
        out.push_back(c);
    }
    if (!placed) out = command + L" " + QuoteArgument(url);
    return out;
}

}  // namespace NWireletDesktop
