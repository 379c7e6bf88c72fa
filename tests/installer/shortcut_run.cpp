// Opens a shortcut the way the shell does and starts what it points at: prints the link's target,
// arguments, working folder and icon (UTF-8, one "name value" line each), starts the target with
// those arguments in that folder, answers a message box of the launcher should one show (printing
// its text) and exits with the program's exit code; 124 when it did not end within a minute.
//   shortcut_run.exe LINK.lnk
#include <windows.h>
// clang-format off
#include <objbase.h>
#include <shlobj.h>
// clang-format on

#include <string>

#include "support/gui_process.h"
#include "support/process.h"

namespace {

using namespace zephra_test;

void print(const std::string& name, const std::wstring& value) {
    const std::string line = name + " " + narrow(value) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 64;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 70;
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[MAX_PATH * 2] = L"", arguments[1024] = L"", directory[MAX_PATH * 2] = L"", icon[MAX_PATH * 2] = L"";
    int icon_index = 0;
    bool loaded = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                             reinterpret_cast<void**>(&link))) &&
                  SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                  SUCCEEDED(file->Load(argv[1], STGM_READ)) &&
                  SUCCEEDED(link->GetPath(target, MAX_PATH * 2, nullptr, SLGP_RAWPATH)) &&
                  SUCCEEDED(link->GetArguments(arguments, 1024)) &&
                  SUCCEEDED(link->GetWorkingDirectory(directory, MAX_PATH * 2)) &&
                  SUCCEEDED(link->GetIconLocation(icon, MAX_PATH * 2, &icon_index));
    if (file != nullptr) file->Release();
    if (link != nullptr) link->Release();
    CoUninitialize();
    if (!loaded) return 66;
    print("target", target);
    print("arguments", arguments);
    print("directory", directory);
    print("icon", std::wstring(icon) + L"," + std::to_wstring(icon_index));

    std::wstring line = quote_argument(target);
    if (arguments[0] != L'\0') line += std::wstring(L" ") + arguments;
    child_process program(line, directory);
    const wchar_t title[] = L"Brevant Zephra Remote Client";
    for (int waited = 0; !program.wait(100); waited += 100) {
        if (waited >= 60000) return 124;
        if (!top_level_windows(program.id(), title).empty()) {
            message_box box = wait_for_message_box(program.id(), title, 5000);
            print("box", box.text);
            press_button(box.window);
        }
    }
    return static_cast<int>(program.exit_code());
}
