// The custom action DLL of the Windows Installer package (in its Binary table). CheckInstallFolder
// runs once the folders are resolved on a first installation and stops it, with a message, when
// the launcher or the package's files could not work from the chosen folder (see folder_rule.h).
// UseInstalledRuntime names the runtime folder after the one the installed product keeps
// Wirelet.dll in, for repair and removal.

#include <windows.h>
// clang-format off
#include <msi.h>
#include <msiquery.h>
// clang-format on

#include <string>

#include "installer/folder_rule.h"

namespace {

std::wstring property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) return std::wstring();
    value.resize(size);
    return value;
}

// Shows the text as an error (a message box with full UI, the log when quiet).
void report_error(MSIHANDLE install, const std::wstring& text) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) return;
    // Field 0 is a template: the text goes in field 1, so brackets in a path stay as they are.
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record);
    MsiCloseHandle(record);
}

}  // namespace

extern "C" UINT WINAPI CheckInstallFolder(MSIHANDLE install) {
    try {
        // The package's longest file paths, measured by the build.
        PackagePaths paths;
        paths.longest = property(install, L"ZephraLongestPath");
        paths.longest_in_runtime = property(install, L"ZephraLongestRuntimePath");
        const std::wstring problem =
            folder_problem(property(install, L"INSTALLDIR"), property(install, L"JREVERSION"), GetACP(), paths);
        if (problem.empty()) return ERROR_SUCCESS;
        report_error(install, problem);
    } catch (...) {
        report_error(install, L"The installation folder could not be checked.");
    }
    return ERROR_INSTALL_FAILURE;
}

// ZEPHRA_INSTALLED_RUNTIME is the folder of the installed Wirelet.dll (a component search). Where it
// lies in the installation folder as <INSTALLDIR><name>\bin\, JREVERSION becomes that name;
// otherwise JREVERSION stays as it is. Never stops the installation.
extern "C" UINT WINAPI UseInstalledRuntime(MSIHANDLE install) {
    try {
        const std::wstring name =
            runtime_folder_name(property(install, L"INSTALLDIR"), property(install, L"ZEPHRA_INSTALLED_RUNTIME"));
        if (!name.empty()) MsiSetPropertyW(install, L"JREVERSION", name.c_str());
    } catch (...) {
    }
    return ERROR_SUCCESS;
}
