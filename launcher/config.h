#pragma once
// The launcher's configuration: the registry values, the process environment and the launch constants.

#include <windows.h>

#include <string>

#include "common/java_names.h"

namespace launch {

// Class path of the client, relative to the working directory (the installation directory).
inline constexpr const char kClassPath[] =
    "zephraclient.jar;jrex.jar;dom4j-1.4.jar;log4j-1.2.8.jar;commons-logging-1.0.4.jar;"
    "commons-httpclient-2.0.2.jar;md5.jar;registry.jar";
inline constexpr const char* kMainClass = zephra_java::kMainClassDotted;
inline constexpr const char kTitle[] = "Brevant Zephra Remote Client";
inline constexpr const char kLauncherFileName[] = "ZephraClient.exe";

inline constexpr const char kRegistryKey[] = "SOFTWARE\\Brevant\\Zephra Remote";
inline constexpr const char kJreVersionValue[] = "JREVersion";
inline constexpr const char kInstallPathValue[] = "InstallPath";
inline constexpr const char kDefaultJreVersion[] = "JRE 1.4.2_05";
// Both values are read into a buffer of this many bytes; data that does not fit is unreadable.
inline constexpr DWORD kValueBufferSize = 260;

// A 64-bit launcher pairs with a 64-bit Java runtime.
inline constexpr bool kIs64Bit = sizeof(void*) == 8;

}  // namespace launch

// The configuration key is opened for reading (KEY_READ) in the registry view of the launcher: a
// 32-bit launcher reads its own view; a 64-bit one reads the 64-bit view and, where the key is not
// there, the 32-bit view that a 32-bit installation wrote.

// The runtime folder name: the JREVersion value, or "JRE 1.4.2_05" when it cannot be read.
std::string read_jre_version(HKEY root = HKEY_LOCAL_MACHINE, const char* key_path = launch::kRegistryKey);

// The installation directory: the InstallPath value. Without the key, the current directory when it
// holds the launcher's own file. Throws system_exception.
std::string read_install_path(HKEY root = HKEY_LOCAL_MACHINE, const char* key_path = launch::kRegistryKey);

// The folder of the VM library under the runtime's bin: "client" for the 32-bit launcher. The 64-bit
// launcher takes "client" when R\bin\client\jvm.dll exists, else "server" when R\bin\server\jvm.dll
// does (64-bit runtimes ship only the server VM), else "client", so that a missing VM is reported
// by its client path.
std::string choose_vm_folder(const std::string& jre_version, const std::string& install_path);

// Makes the installation directory (as read) the working directory. Throws system_exception.
void set_working_directory(const std::string& install_path);

// Replaces the whole PATH of the process with the search path. Throws system_exception.
void set_search_path(const std::string& search_path);
