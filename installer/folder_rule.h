#pragma once
// Which installation folders the launcher and the package's files can work with.
//
// ZephraClient.exe reads InstallPath and JREVersion with the ANSI registry functions into buffers of
// 260 bytes and loads <InstallPath>\<JREVersion>\bin\<vm>\jvm.dll through the ANSI file functions,
// whose paths end at MAX_PATH (259 characters and the NUL); the Java runtime opens its own files
// (under the runtime folder) and the client's archives through those functions too. A folder is
// usable when both values convert to the ANSI code page without loss and the longest path of the
// package's files inside it fits; the jvm.dll path is among them, so the two values fit their
// buffers too.

#include <windows.h>

#include <string>

// The package's longest file paths (in characters), as the build measured them: relative to the
// installation folder outside the runtime folder, and relative to the runtime folder, whose name
// is chosen at installation. Either may be empty (a package without such files).
struct PackagePaths {
    std::wstring longest;
    std::wstring longest_in_runtime;
};

// Empty when the launcher and the package's files can use the installation folder (the InstallPath
// value the installer writes, with its trailing backslash) and runtime folder name under the ANSI
// code page `code_page`; else the message that tells the user why not.
std::wstring folder_problem(const std::wstring& install_dir, const std::wstring& jre_version, UINT code_page,
                            const PackagePaths& paths = PackagePaths());

// The runtime folder's name J where `runtime_bin_dir` is <install_dir>J\bin\ (the folder in which an
// installation keeps Wirelet.dll), letters compared without regard to case; empty where it is not
// of that form.
std::wstring runtime_folder_name(const std::wstring& install_dir, const std::wstring& runtime_bin_dir);
