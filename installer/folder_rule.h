#pragma once
// Which installation folders the launcher can work with.
//
// ZephraClient.exe reads InstallPath and JREVersion with the ANSI registry functions into buffers of
// 260 bytes and loads <InstallPath>\<JREVersion>\bin\<vm>\jvm.dll through the ANSI file functions,
// whose paths end at MAX_PATH (259 characters and the NUL). A folder is usable when both values
// convert to the ANSI code page without loss and that path fits; it is the longest the launcher
// builds, so the two values fit their buffers too.

#include <windows.h>

#include <string>

// Empty when the launcher can use the installation folder (the InstallPath value the installer
// writes, with its trailing backslash) and runtime folder name under the ANSI code page
// `code_page`; else the message that tells the user why not.
std::wstring folder_problem(const std::wstring& install_dir, const std::wstring& jre_version, UINT code_page);
