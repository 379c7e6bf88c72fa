#pragma once
// Opening a URL: through the shell, or by starting the default browser found through the program
// associated with HTML files, else through the registered http command. Text is UTF-16 and every
// call is a wide one, so URLs and paths outside the ANSI code page pass intact.

#include <windows.h>

#include <string>

namespace NWireletDesktop {

// ShellExecuteW "open" of the document; true when the shell accepted it (result above 32).
// An empty document, or one holding U+0000, is refused without asking the shell.
bool OpenWithShell(const std::wstring& document);

// Starts the default browser with the URL as its one argument and does not wait for it. False
// when no browser is found, the URL is empty or holds U+0000 (a command line would end there), the
// registered command names no program, or ComposeBrowserCommand refuses the URL for the program
// (a quote where the command takes it verbatim after --single-argument; where the program is cmd or
// a batch file, a URL that cmd's syntax cannot carry there as text); a failed CreateProcessW throws
// CCheckException. The program found through the .html association gets the URL by the same rules.
bool LaunchDefaultBrowser(const std::wstring& url);

// The program associated with .html files, found with FindExecutableW on a temporary
// "BrowserDetection.html" that is deleted afterwards (also when it was there before); "" if none.
std::wstring FindBrowserByFileAssociation();

// A string value under HKEY_CLASSES_ROOT (REG_EXPAND_SZ expanded), or the default when the key
// or value is missing, unreadable or not a string.
std::wstring ReadClassesRootString(const std::wstring& keyPath, const std::wstring& valueName,
                                   const std::wstring& defaultValue);

// CreateProcessW with the command line; throws CCheckException when it fails. Waits for the
// process only when asked. An empty working directory means the caller's.
void RunProcess(const std::wstring& commandLine, const std::wstring& workingDirectory, bool wait);

// GetTempPathW, with its trailing backslash.
std::wstring GetTempDirectory();

}  // namespace NWireletDesktop
