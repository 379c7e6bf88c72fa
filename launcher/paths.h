#pragma once
// Composition of the runtime paths from the installation directory I and the runtime folder name J.

#include <string>

// I with one trailing backslash removed, if it has one.
std::string base_directory(const std::string& install_path);
// The folder under the runtime's bin that holds the VM library: a 32-bit runtime's client VM, or
// the server VM, the only one a 64-bit runtime ships.
inline constexpr const char kClientVm[] = "client";
inline constexpr const char kServerVm[] = "server";

// I, a backslash unless I already ends with one, J, then "\bin\<vm_folder>\jvm.dll".
std::string make_jvm_path(const std::string& jre_version, const std::string& install_path,
                          const std::string& vm_folder = kClientVm);
// "B;R\bin;R\bin\<vm_folder>;B\gre" with B the base directory and R = B\J.
std::string make_search_path(const std::string& jre_version, const std::string& install_path,
                             const std::string& vm_folder = kClientVm);
// The text of a registry value read into a buffer: the bytes up to the first NUL, never past `size`.
std::string registry_value_text(const char* data, unsigned long size);
