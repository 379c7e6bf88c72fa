// ZephraClient.exe: starts the Java client in a VM hosted in this process. Any failure ends in one
// message box; the exit code is 0 either way.

#include <windows.h>

#include <exception>
#include <string>

#include "launcher/command_line.h"
#include "launcher/config.h"
#include "launcher/jvm_instance.h"
#include "launcher/paths.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string title = launch::kTitle;
    const std::string main_class = launch::kMainClass;
    const std::string class_path = launch::kClassPath;
    try {
        // The wide command line, split by the same rules as the narrow one, keeps characters outside
        // the ANSI code page.
        std::vector<std::wstring> args = split_command_line(skip_program_name(GetCommandLineW()));
        const std::string jre_version = read_jre_version();
        const std::string install_path = read_install_path();
        set_working_directory(install_path);
        // Looked for from the installation directory, where the VM library is loaded from.
        const std::string vm_folder = choose_vm_folder(jre_version, install_path);
        const std::string jvm_path = make_jvm_path(jre_version, install_path, vm_folder);
        const std::string search_path = make_search_path(jre_version, install_path, vm_folder);
        set_search_path(search_path);
        jvm_instance jvm;
        jvm.create(jvm_path, class_path, search_path);
        jvm.run_main(main_class, args);
        jvm.destroy();
    } catch (const std::exception& e) {
        const std::string text = std::string("Fatal exception caught executing JVM runtime:\n") + e.what();
        MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK);
    }
    return 0;
}
