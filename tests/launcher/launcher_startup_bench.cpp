// Start-up cost of ZephraClient.exe: from CreateProcess until the Java main of the jvm.dll double is
// called, next to the same span of a trivial program (this one, started with --probe) in the same run.
// Prints "name value" lines (milliseconds, medians of the runs). Usage: launcher_startup_bench [runs]

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/gui_process.h"
#include "support/process.h"

namespace {

using namespace zephra_test;

const char kKey[] = "SOFTWARE\\Brevant\\Zephra Remote";

long long counter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double to_ms(long long ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

// The counter value that a started program wrote after `tag` into the file; 0 when absent.
long long read_counter(const std::wstring& file, const std::string& tag) {
    std::istringstream lines(read_file(file));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, tag.size() + 1, tag + " ") == 0) return std::atoll(line.c_str() + tag.size() + 1);
    }
    return 0;
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct span {
    double to_main = -1;
    double to_exit = -1;
};

// Starts a program and measures until it writes its counter and until it ends.
span measure(const std::wstring& command_line, const std::wstring& cwd, const std::wstring& record,
             const std::string& tag) {
    DeleteFileW(record.c_str());
    span s;
    long long start = counter();
    child_process program(command_line, cwd);
    if (!program.wait(60000)) return s;
    long long end = counter();
    long long main_called = read_counter(record, tag);
    if (main_called != 0) s.to_main = to_ms(main_called - start);
    s.to_exit = to_ms(end - start);
    return s;
}

int probe(const wchar_t* file) {
    long long now = counter();
    write_file(file, "main-qpc " + std::to_string(now) + "\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--probe") return probe(argv[2]);
    int runs = argc > 1 ? _wtoi(argv[1]) : 10;
    if (runs <= 0) runs = 10;

    temp_dir root(L"zephra startup bench");
    std::wstring install = root / L"install";
    CreateDirectoryW(install.c_str(), nullptr);
    std::wstring runtime = install + L"\\JRE 1.4.2_05";
    for (const wchar_t* part : {L"", L"\\bin", L"\\bin\\client"}) CreateDirectoryW((runtime + part).c_str(), nullptr);
    if (!copy_file(deliverable(L"ZephraClient.exe"), install + L"\\ZephraClient.exe") ||
        !copy_file(test_bin_dir() + L"jvm.dll", runtime + L"\\bin\\client\\jvm.dll")) {
        std::fprintf(stderr, "cannot lay out the installation\n");
        return 1;
    }
    // The launcher finds its installation through the machine key (32-bit view), removed afterwards.
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot write the registry key\n");
        return 1;
    }
    std::string path = narrow(install) + '\0';
    RegSetValueExA(key, "InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.data()),
                   static_cast<DWORD>(path.size()));
    RegCloseKey(key);

    std::wstring record = root / L"record.txt";
    set_env(L"ZEPHRA_JVM_SCENARIO", L"startup_probe");
    set_env(L"ZEPHRA_JVM_RECORD", record);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);

    std::vector<double> launcher_main, launcher_exit, trivial_main, trivial_exit;
    // One warm-up of each, not counted: the first start pays for loading files into the cache.
    measure(L"\"" + install + L"\\ZephraClient.exe\"", root.path(), record, "main-qpc");
    measure(L"\"" + std::wstring(self) + L"\" --probe \"" + record + L"\"", root.path(), record, "main-qpc");
    for (int i = 0; i < runs; ++i) {
        span l = measure(L"\"" + install + L"\\ZephraClient.exe\"", root.path(), record, "main-qpc");
        span t =
            measure(L"\"" + std::wstring(self) + L"\" --probe \"" + record + L"\"", root.path(), record, "main-qpc");
        if (l.to_main >= 0) launcher_main.push_back(l.to_main);
        launcher_exit.push_back(l.to_exit);
        if (t.to_main >= 0) trivial_main.push_back(t.to_main);
        trivial_exit.push_back(t.to_exit);
    }
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY, 0);

    std::printf("launcher_runs %d\n", static_cast<int>(launcher_main.size()));
    std::printf("launcher_start_to_java_main_ms %.2f\n", median(launcher_main));
    std::printf("trivial_start_to_main_ms %.2f\n", median(trivial_main));
    std::printf("launcher_overhead_to_java_main_ms %.2f\n", median(launcher_main) - median(trivial_main));
    std::printf("launcher_start_to_exit_ms %.2f\n", median(launcher_exit));
    std::printf("trivial_start_to_exit_ms %.2f\n", median(trivial_exit));
    return launcher_main.size() == static_cast<std::size_t>(runs) ? 0 : 1;
}
