// Registry configuration and the process environment of the launcher.

#include "launcher/config.h"

#include "launcher/exceptions.h"
#include "launcher/paths.h"
#include "wirelet/support/check.h"

namespace {

// Owns an open registry key.
class registry_key {
public:
    registry_key() = default;
    ~registry_key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;

    // Opens the key for reading in the first view that has it; false when none does.
    bool open(HKEY root, const char* key_path) {
        if constexpr (launch::kIs64Bit) {
            return open_in_view(root, key_path, KEY_WOW64_64KEY) || open_in_view(root, key_path, KEY_WOW64_32KEY);
        } else {
            return open_in_view(root, key_path, 0);  // the process's own view
        }
    }

    // Reads a value into a buffer of kValueBufferSize bytes. False when the query fails, the data
    // among them that does not fit. The text ends at the first NUL, and never past the data read.
    bool read_text(const char* name, std::string& text) const {
        char buffer[launch::kValueBufferSize];
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(key_, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
            return false;
        }
        text = registry_value_text(buffer, size <= sizeof buffer ? size : sizeof buffer);
        return true;
    }

private:
    bool open_in_view(HKEY root, const char* key_path, REGSAM view) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, key_path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
        key_ = key;
        return true;
    }

    HKEY key_ = nullptr;
};

}  // namespace

std::string read_jre_version(HKEY root, const char* key_path) {
    registry_key key;
    std::string text;
    if (!key.open(root, key_path) || !key.read_text(launch::kJreVersionValue, text)) {
        return launch::kDefaultJreVersion;
    }
    return text;
}

std::string read_install_path(HKEY root, const char* key_path) {
    registry_key key;
    if (!key.open(root, key_path)) {
        // A launcher started from its own directory runs without the registry entries.
        char directory[launch::kValueBufferSize];
        DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
        if (length == 0 || length >= sizeof directory ||
            GetFileAttributesA(launch::kLauncherFileName) == INVALID_FILE_ATTRIBUTES) {
            throw system_exception(std::string("Couldn't find registry key: ") + key_path);
        }
        return std::string(directory, length);
    }
    std::string text;
    if (!key.read_text(launch::kInstallPathValue, text)) {
        throw system_exception(std::string("Couldn't read value from value: ") + launch::kInstallPathValue);
    }
    return text;
}

std::string choose_vm_folder(const std::string& jre_version, const std::string& install_path) {
    if constexpr (launch::kIs64Bit) {
        for (const char* folder : {kClientVm, kServerVm}) {
            const std::string path = make_jvm_path(jre_version, install_path, folder);
            if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return folder;
        }
    }
    return kClientVm;
}

void set_working_directory(const std::string& install_path) {
    try {
        NQuillonWin32::Check([&] { return SetCurrentDirectoryA(install_path.c_str()); });
    } catch (const NQuillonWin32::CCheckException&) {
        throw system_exception("Failed to set working directory to: " + install_path);
    }
}

void set_search_path(const std::string& search_path) {
    try {
        NQuillonWin32::Check([&] { return SetEnvironmentVariableA("PATH", search_path.c_str()); });
    } catch (const NQuillonWin32::CCheckException&) {
        throw system_exception("Failed to set PATH to: " + search_path);
    }
}
