// A stand-in for a program that the system starts (a document handler, a browser): it writes
// the command line it was started with, as UTF-8, to the file named by ZEPHRA_RECORD_FILE and
// exits with 0. The file appears atomically (written beside it, then renamed), so a test can
// poll for it.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t target[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(L"ZEPHRA_RECORD_FILE", target, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) return 3;
    const wchar_t* line = GetCommandLineW();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, &utf8[0], bytes, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);  // no terminator in the file

    std::wstring partial = std::wstring(target) + L".partial";
    HANDLE file =
        CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
    return MoveFileExW(partial.c_str(), target, MOVEFILE_REPLACE_EXISTING) ? 0 : 5;
}
