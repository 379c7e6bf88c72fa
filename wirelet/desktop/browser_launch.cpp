#include "wirelet/desktop/browser_launch.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <optional>
#include <vector>

#include "wirelet/desktop/browser_command.h"
#include "wirelet/desktop/launch_target.h"
#include "wirelet/support/check.h"
#include "wirelet/support/handle.h"

namespace NWireletDesktop {
namespace {

const wchar_t kDetectionFileName[] = L"BrowserDetection.html";
const wchar_t kHttpCommandKey[] = L"http\\shell\\open\\command";
// Longer registry strings are not browser commands worth starting.
constexpr DWORD kMaxRegistryStringBytes = 64 * 1024;

// Owns an open registry key.
class CRegistryKey {
public:
    CRegistryKey() = default;
    ~CRegistryKey() {
        if (m_Key != nullptr) RegCloseKey(m_Key);
    }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;
    HKEY* Receive() { return &m_Key; }
    HKEY Get() const { return m_Key; }

private:
    HKEY m_Key = nullptr;
};

// Deletes a file when it goes out of scope, whatever happened in between.
class CDeleteFileOnExit {
public:
    explicit CDeleteFileOnExit(std::wstring path) : m_Path(std::move(path)) {}
    ~CDeleteFileOnExit() { DeleteFileW(m_Path.c_str()); }
    CDeleteFileOnExit(const CDeleteFileOnExit&) = delete;
    CDeleteFileOnExit& operator=(const CDeleteFileOnExit&) = delete;

private:
    std::wstring m_Path;
};

// Whether CreateProcess, reading this name as the program of a command line, finds a file to start
// (the caller has appended ".exe" where the name has no extension). SearchPathW without a search
// path of its own looks in the places CreateProcess searches for a name without a full path: the
// calling program's directory, the current directory, the system directories, the Windows
// directory, PATH; a full path is taken as it is. Safe search mode moves the current directory
// behind the system directories, which changes which file is found first but not whether one is.
// A directory is no program to start, so it does not count. Not finding a file is an answer, not an
// error: no CCheckException here.
bool NamesProgramFile(const std::wstring& fileName) {
    if (fileName.empty() || fileName.find(L'\0') != std::wstring::npos) return false;
    std::vector<wchar_t> found(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            SearchPathW(nullptr, fileName.c_str(), nullptr, static_cast<DWORD>(found.size()), found.data(), nullptr);
        if (length == 0) return false;
        if (length < found.size()) break;
        found.assign(length, L'\0');  // too small: the length asked for counts the terminator
    }
    DWORD attributes = GetFileAttributesW(found.data());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The value of an environment variable, "" where it is not set.
std::wstring EnvironmentValue(const wchar_t* name) {
    std::vector<wchar_t> value(256, L'\0');
    for (;;) {
        DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) return std::wstring(value.data(), length);
        value.assign(length, L'\0');  // too small: the length asked for counts the terminator
    }
}

// The type of a file name as the shell's association functions take it: ".ext" of its last part.
std::wstring ExtensionOf(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (separator != std::wstring::npos && dot < separator)) return {};
    return path.substr(dot);
}

// Whether a checked local path names an existing file that is no directory and whose type neither
// the list of program types nor the system's own (AssocIsDangerous) counts as code, under its long
// name as well where the path is written with short 8.3 names. Not finding the file is an answer,
// not an error: no CCheckException here.
bool IsOpenableDocument(const std::wstring& path, const std::wstring& pathExt) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    std::vector<std::wstring> names{path};
    std::vector<wchar_t> longPath(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetLongPathNameW(path.c_str(), longPath.data(), static_cast<DWORD>(longPath.size()));
        if (length == 0) return false;  // the file is gone, or its name cannot be read: nothing to open
        if (length < longPath.size()) {
            names.emplace_back(longPath.data(), length);
            break;
        }
        longPath.assign(length, L'\0');
    }
    for (const auto& name : names) {
        const std::wstring extension = ExtensionOf(name);
        if (extension.empty() || IsProgramFileType(name, pathExt) || AssocIsDangerous(extension.c_str())) {
            return false;
        }
    }
    return true;
}

// The web address or local document that the text names, checked against this machine's files
// and program types; empty when it is neither.
std::optional<CLaunchTarget> LaunchTargetOf(const std::wstring& text) {
    const std::wstring pathExt = EnvironmentValue(L"PATHEXT");
    return ClassifyLaunchTarget(text, pathExt,
                                [&pathExt](const std::wstring& path) { return IsOpenableDocument(path, pathExt); });
}

}  // namespace

bool OpenWithShell(const std::wstring& document) {
    std::optional<CLaunchTarget> target = LaunchTargetOf(document);
    if (!target) return false;
    HINSTANCE result = ShellExecuteW(nullptr, L"open", target->Text().c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool LaunchDefaultBrowser(const std::wstring& url) {
    std::optional<CLaunchTarget> target = LaunchTargetOf(url);
    if (!target) return false;
    std::optional<std::wstring> commandLine;
    std::wstring browser = FindBrowserByFileAssociation();
    if (ContainsExe(browser)) {
        commandLine = ComposeBrowserCommand(SCommandTemplate{browser, {}, L""}, *target, NamesProgramFile);
    } else {
        std::wstring command = ReadClassesRootString(kHttpCommandKey, L"", L"");
        if (!ContainsExe(command)) return false;
        commandLine = ComposeBrowserCommand(command, *target, NamesProgramFile);
    }
    if (!commandLine) return false;  // no program to start, or none that may get this target
    RunProcess(*commandLine, L"", false);
    return true;
}

std::wstring FindBrowserByFileAssociation() {
    const std::wstring directory = GetTempDirectory();
    CDeleteFileOnExit detectionFile(directory + kDetectionFileName);
    HANDLE created = CreateFileW((directory + kDetectionFileName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
        // A file that is already there (an earlier run's) serves just as well.
        NQuillonWin32::CHandle file;
        file.Reset(created);
        file.Close();
    }
    wchar_t result[MAX_PATH] = {};
    HINSTANCE found = FindExecutableW(kDetectionFileName, directory.c_str(), result);
    if (reinterpret_cast<INT_PTR>(found) <= 32) return {};
    result[MAX_PATH - 1] = L'\0';
    return result;
}

std::wstring ReadClassesRootString(const std::wstring& keyPath, const std::wstring& valueName,
                                   const std::wstring& defaultValue) {
    CRegistryKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) {
        return defaultValue;
    }
    DWORD type = REG_SZ;
    DWORD size = 0;
    if (RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxRegistryStringBytes) {
        return defaultValue;
    }
    // Room for a terminator that the stored value may lack.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    DWORD bytes = size;
    if (RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes > size) {
        return defaultValue;
    }
    std::wstring text(buffer.data());  // up to the first zero unit
    if (type == REG_EXPAND_SZ) {
        DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) return defaultValue;
        std::vector<wchar_t> expanded(needed + 1, L'\0');
        if (ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed + 1) == 0) return defaultValue;
        text = expanded.data();
    }
    return text;
}

void RunProcess(const std::wstring& commandLine, const std::wstring& workingDirectory, bool wait) {
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');  // CreateProcessW may write into the command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    NQuillonWin32::Check([&] {
        return CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process);
    });
    NQuillonWin32::CHandle processHandle(process.hProcess);
    NQuillonWin32::CHandle threadHandle(process.hThread);
    if (wait) WaitForSingleObject(processHandle.Get(), INFINITE);
}

std::wstring GetTempDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = NQuillonWin32::Check([&] { return GetTempPathW(MAX_PATH + 1, buffer); });
    if (length > MAX_PATH) throw NQuillonWin32::CCheckException(ERROR_INSUFFICIENT_BUFFER);
    return std::wstring(buffer, length);
}

}  // namespace NWireletDesktop
