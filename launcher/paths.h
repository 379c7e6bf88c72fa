#pragma once
// Composition of the runtime paths from the installation directory I and the runtime folder name J.

#include <string>

// I with one trailing backslash removed, if it has one.
std::string base_directory(const std::string& install_path);
// I, a backslash unless I already ends with one, J, then "\bin\client\jvm.dll".
std::string make_jvm_path(const std::string& jre_version, const std::string& install_path);
// "B;R\bin;R\bin\client;B\gre" with B the base directory and R = B\J.
std::string make_search_path(const std::string& jre_version, const std::string& install_path);
// The text of a registry value read into a buffer: the bytes up to the first NUL, never past `size`.
std::string registry_value_text(const char* data, unsigned long size);
