#pragma once
// Opening a URL or a local document: through the shell, or by starting the default browser found
// through the program associated with HTML files, else through the registered http command. Both
// ways take only what ClassifyLaunchTarget accepts (launch_target.h): a web address, handed on in its
// URI form, or a local document that is no program, checked against this machine's files, its
// PATHEXT and the system's own list of dangerous types (AssocIsDangerous). Text is UTF-16 and every
// call is a wide one.

#include <windows.h>

#include <string>

namespace NWireletDesktop {

// ShellExecuteW "open" of the web address or local document; true when the shell accepted it
// (result above 32). Anything else (a switch, a bare name, a relative or UNC path, another scheme,
// a program, text holding U+0000) is refused without asking the shell.
bool OpenWithShell(const std::wstring& document);

// Starts the default browser with the web address or local document as its one argument and does
// not wait for it. False when the text is neither (as for OpenWithShell), no browser is found, the
// registered command names no program, or ComposeBrowserCommand refuses the program or the target
// (a script host; where the program is cmd or a batch file, a target that cmd's syntax cannot carry
// there as text); a failed CreateProcessW throws CCheckException. The program found through the
// .html association gets the target by the same rules.
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
