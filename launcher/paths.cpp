#include "launcher/paths.h"

#include <cstring>

std::string base_directory(const std::string& install_path) {
    if (!install_path.empty() && install_path.back() == '\\') return install_path.substr(0, install_path.size() - 1);
    return install_path;
}

std::string make_jvm_path(const std::string& jre_version, const std::string& install_path,
                          const std::string& vm_folder) {
    std::string path = install_path;
    if (path.empty() || path.back() != '\\') path += '\\';
    return path + jre_version + "\\bin\\" + vm_folder + "\\jvm.dll";
}

std::string make_search_path(const std::string& jre_version, const std::string& install_path,
                             const std::string& vm_folder) {
    const std::string base = base_directory(install_path);
    const std::string runtime = base + "\\" + jre_version;
    return base + ";" + runtime + "\\bin;" + runtime + "\\bin\\" + vm_folder + ";" + base + "\\gre";
}

std::string registry_value_text(const char* data, unsigned long size) {
    const void* nul = std::memchr(data, '\0', size);
    return std::string(data, nul != nullptr ? static_cast<const char*>(nul) - data : size);
}
