#include "system/stage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "simulator.h"
#include "support/gui_process.h"
#include "support/process.h"

namespace zephra_system {

using namespace zephra_test;

double NowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

namespace {

const char kKey[] = "SOFTWARE\\Brevant\\Zephra Remote";
const wchar_t kRuntimeFolder[] = L"JRE 1.4.2_05";
// Laid out as an installation of this build's architecture would be: a 64-bit one keeps its key in
// the 64-bit registry view, and its 64-bit runtime ships only the server VM.
const bool kIs64Bit = sizeof(void*) == 8;
const REGSAM kKeyView = kIs64Bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
const wchar_t* const kVmFolder = kIs64Bit ? L"server" : L"client";
const wchar_t kBoxTitle[] = L"Brevant Zephra Remote Client";
const char kMonitorClass[] = "Brevant_Zephra_Remote_CommandMonitor::UniqueWindow";
const DWORD kHandleWaitMs = 3000;
const DWORD kSecondLaunchWaitMs = 30000;

std::string Hex(const std::vector<unsigned char>& bytes, std::size_t from) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// The machine-wide configuration key in this architecture's registry view, put back as it was afterwards.
class CMachineKey {
public:
    CMachineKey() {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | kKeyView, &key) == ERROR_SUCCESS) {
            m_Existed = true;
            for (const char* name : {"InstallPath", "JREVersion"}) {
                char data[1024];
                DWORD size = sizeof data;
                if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) ==
                    ERROR_SUCCESS) {
                    m_Saved.push_back({name, std::string(data, size)});
                }
            }
            RegCloseKey(key);
        }
    }
    ~CMachineKey() {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKey, kKeyView, 0);
        if (!m_Existed) return;
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | kKeyView, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            return;
        }
        for (const auto& value : m_Saved) {
            RegSetValueExA(key, value.first.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.second.data()),
                           static_cast<DWORD>(value.second.size()));
        }
        RegCloseKey(key);
    }
    void Set(const char* name, const std::string& text) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | kKeyView, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot create the configuration key");
        }
        LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                     static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
        if (result != ERROR_SUCCESS) throw std::runtime_error(std::string("cannot set ") + name);
    }

private:
    bool m_Existed = false;
    std::vector<std::pair<std::string, std::string>> m_Saved;
};

void Copy(const std::wstring& from, const std::wstring& to) {
    if (!copy_file(from, to)) throw std::runtime_error("cannot copy " + narrow(from) + " to " + narrow(to));
}

BOOL CALLBACK CountMonitorWindow(HWND window, LPARAM param) {
    char name[128];
    if (GetClassNameA(window, name, sizeof name) > 0 && std::string(name) == kMonitorClass) {
        ++*reinterpret_cast<int*>(param);
    }
    return TRUE;
}

int MonitorWindows() {
    int count = 0;
    EnumWindows(CountMonitorWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

}  // namespace

struct CStage::SImpl {
    SStageOptions options;
    CMachineKey key;
    temp_dir root{L"zephra system"};
    std::wstring install;
    std::wstring elsewhere;
    std::wstring pipeName;
    NHidSim::CHidSimulator simulator;
    int remotes[3] = {-1, -1, -1};  // simulator ids of remotes 1 and 2 (index 0 unused)
    int foreign = -1;

    std::mutex mutex;  // guards what the stage thread and the run share below
    SRunResult result;
    struct SChild {
        std::unique_ptr<child_process> process;
        std::wstring record;
        SLaunch* launch;
    };
    std::vector<SChild> children;  // primary first
    std::vector<std::unique_ptr<SLaunch>> secondLaunches;

    HANDLE stop = nullptr;
    std::thread server;

    void Problem(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        result.problems.push_back(text);
    }

    void Layout() {
        install = root / L"Zephra Remote";
        elsewhere = root / L"elsewhere";
        std::wstring runtime = install + L"\\" + kRuntimeFolder;
        for (const std::wstring& dir :
             {install, elsewhere, runtime, runtime + L"\\bin", runtime + L"\\bin\\" + kVmFolder}) {
            if (!CreateDirectoryW(dir.c_str(), nullptr)) throw std::runtime_error("cannot create " + narrow(dir));
        }
        Copy(deliverable(L"ZephraClient.exe"), install + L"\\ZephraClient.exe");
        // Wine loads a DLL from the program's own directory before its built-in one.
        Copy(test_bin_dir() + L"hid.dll", install + L"\\hid.dll");
        Copy(test_bin_dir() + L"setupapi.dll", install + L"\\setupapi.dll");
        Copy(test_bin_dir() + L"jvm.dll", runtime + L"\\bin\\" + kVmFolder + L"\\jvm.dll");
        // By default the library lies in the runtime's bin directory, one of the four search-path directories.
        if (!options.wireletFolder.empty()) {
            std::wstring folder = install + L"\\" + options.wireletFolder;
            CreateDirectoryW(folder.c_str(), nullptr);
            Copy(deliverable(L"Wirelet.dll"), folder + L"\\Wirelet.dll");
        }
        key.Set("InstallPath", narrow(install));
        key.Set("JREVersion", narrow(kRuntimeFolder));
    }

    void PlugDevices() {
        NHidSim::SDeviceSpec foreignSpec;
        foreignSpec.name = "a-foreign-device";  // listed first by the enumeration
        foreignSpec.vendorId = 0x045E;
        foreignSpec.productId = 0x0040;
        foreignSpec.inputReportLength = 9;
        foreignSpec.outputReportLength = 9;
        foreign = simulator.Plug(foreignSpec);

        NHidSim::SDeviceSpec one;
        one.name = "remote-1";
        one.vendorId = 0xE47A;
        one.productId = 0x01F4;
        one.inputReportLength = 65;
        one.outputReportLength = 65;
        remotes[1] = simulator.Plug(one);

        NHidSim::SDeviceSpec two;
        two.name = "remote-2";
        two.vendorId = 0xF3C5;
        two.productId = 0x5E42;
        two.inputReportLength = 33;
        two.outputReportLength = 17;
        remotes[2] = simulator.Plug(two);

        for (int number = 1; number <= 2; ++number) {
            const int device = remotes[number];
            const std::size_t inputSize = static_cast<std::size_t>((number == 1 ? one : two).inputReportLength - 1);
            simulator.OnOutputReport(device, [this, number, device, inputSize](const NHidSim::TReport& report) {
                DevicePacket(number, true, Hex(report, 1));
                std::vector<unsigned char> packet(report.begin() + (report.empty() ? 0 : 1), report.end());
                for (const auto& answer :
                     zephra_stage::RemoteAnswer(packet, zephra_stage::RemoteTag(number), inputSize)) {
                    simulator.SendPacket(device, answer);
                    DevicePacket(number, false, Hex(answer, 0));
                }
            });
        }
        simulator.OnOutputReport(foreign,
                                 [this](const NHidSim::TReport&) { Problem("the foreign device was written"); });
    }

    void DevicePacket(int remote, bool output, const std::string& hex) {
        std::lock_guard<std::mutex> lock(mutex);
        result.devicePackets.push_back({NowMs(), remote, output, hex});
    }

    // ---- Launches ----
    void Launch(SLaunch& launch, const std::wstring& arguments, const std::wstring& record) {
        set_env(L"ZEPHRA_JVM_SCENARIO", widen(zephra_stage::kScenario));
        set_env(L"ZEPHRA_JVM_RECORD", record);
        set_env(zephra_stage::kPipeVariable, pipeName);
        set_env(zephra_stage::kPlanVariable, widen(zephra_stage::FormatPlan(options.plan)));
        std::wstring line = L"\"" + install + L"\\ZephraClient.exe\"";
        if (!arguments.empty()) line += L" " + arguments;
        launch.startMs = NowMs();
        auto process = std::make_unique<child_process>(line, elsewhere);
        launch.started = true;
        std::lock_guard<std::mutex> lock(mutex);
        children.push_back({std::move(process), record, &launch});
    }

    void LaunchSecond(int n) {
        SLaunch* launch;
        {
            std::lock_guard<std::mutex> lock(mutex);
            secondLaunches.push_back(std::make_unique<SLaunch>());
            launch = secondLaunches.back().get();
        }
        try {
            Launch(*launch, options.secondArguments, root / (L"second-" + std::to_wstring(n) + L".txt"));
        } catch (const std::exception& e) {
            Problem(std::string("second launch not started: ") + e.what());
        }
    }

    // Answers fatal-error boxes and notes the ends of the launches; true when all have ended.
    bool Watch() {
        std::lock_guard<std::mutex> lock(mutex);
        bool all = true;
        for (SChild& child : children) {
            SLaunch& launch = *child.launch;
            if (launch.ended) continue;
            if (child.process->wait(0)) {
                launch.ended = true;
                launch.endMs = NowMs();
                launch.exitCode = child.process->exit_code();
                continue;
            }
            all = false;
            if (!top_level_windows(child.process->id(), kBoxTitle).empty()) {
                message_box box = wait_for_message_box(child.process->id(), kBoxTitle, 2000);
                launch.messageBox = narrow(box.text);
                press_button(box.window);
            }
        }
        return all;
    }

    // ---- The checkpoints ----
    int HandlesNow(int device, int expected) {
        simulator.WaitForOpenHandles(device, expected, kHandleWaitMs);
        return simulator.OpenHandles(device);
    }

    std::string Answer(const std::string& request) {
        std::string word = request.substr(0, request.find(' '));
        int number = request.find(' ') == std::string::npos ? 0 : std::atoi(request.c_str() + request.find(' ') + 1);
        if (word == zephra_stage::kListed) {
            // Each attached channel holds the remote open twice (read and write); the probe of the foreign
            // device was closed again.
            int attached = 0;
            for (int remote = 1; remote <= 2; ++remote) {
                int handles = HandlesNow(remotes[remote], 2);
                attached += handles;
                if (handles != 2)
                    Problem("remote " + std::to_string(remote) + " is open " + std::to_string(handles) +
                            " times while attached");
            }
            int foreignHandles = HandlesNow(foreign, 0);
            if (foreignHandles != 0) Problem("the foreign device was left open");
            std::lock_guard<std::mutex> lock(mutex);
            result.handlesWhileAttached = attached;
        } else if (word == zephra_stage::kUnplug && number >= 1 && number <= 2) {
            simulator.Unplug(remotes[number]);
        } else if (word == zephra_stage::kReplug && number >= 1 && number <= 2) {
            int left = HandlesNow(remotes[number], 0);
            if (left != 0)
                Problem("remote " + std::to_string(number) + " still open " + std::to_string(left) +
                        " times after its channel was detached");
            simulator.Replug(remotes[number]);
            std::lock_guard<std::mutex> lock(mutex);
            result.leakedHandles += left;
            ++result.cycles;
        } else if (word == zephra_stage::kDetached) {
            int left = HandlesNow(remotes[1], 0) + HandlesNow(remotes[2], 0) + HandlesNow(foreign, 0);
            if (left != 0) Problem(std::to_string(left) + " device handle(s) open after every channel was detached");
            std::lock_guard<std::mutex> lock(mutex);
            result.leakedHandles += left;
        } else if (word == zephra_stage::kAwaitingCommand) {
            LaunchSecond(number);
        } else {
            Problem("unknown checkpoint: " + request);
            return "unknown";
        }
        return zephra_stage::kGo;
    }

    // ---- The stage's pipe ----
    // Waits for an overlapped operation or the stop event; false on stop or failure.
    bool Complete(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD* bytes) {
        if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_PIPE_CONNECTED) return false;
        if (!started && GetLastError() == ERROR_PIPE_CONNECTED) return true;
        HANDLE waits[2] = {overlapped.hEvent, stop};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            DWORD ignored;
            GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
            return false;
        }
        DWORD transferred = 0;
        if (!GetOverlappedResult(pipe, &overlapped, &transferred, FALSE)) return false;
        if (bytes != nullptr) *bytes = transferred;
        return true;
    }

    void Serve() {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
            HANDLE pipe =
                CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
            if (pipe == INVALID_HANDLE_VALUE) {
                Problem("cannot create the stage's pipe");
                break;
            }
            OVERLAPPED overlapped{};
            overlapped.hEvent = event;
            ResetEvent(event);
            if (Complete(pipe, overlapped, ConnectNamedPipe(pipe, &overlapped), nullptr)) {
                for (;;) {
                    char buffer[512];
                    DWORD got = 0;
                    ResetEvent(event);
                    if (!Complete(pipe, overlapped, ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped), &got))
                        break;
                    std::string answer = Answer(std::string(buffer, got));
                    ResetEvent(event);
                    if (!Complete(
                            pipe, overlapped,
                            WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), nullptr, &overlapped),
                            nullptr))
                        break;
                }
            }
            DisconnectNamedPipe(pipe);
            CloseHandle(pipe);
        }
        CloseHandle(event);
    }

    std::vector<SEvent> ReadEvents(const std::wstring& record) { return ParseRecord(read_file(record)); }
};

CStage::CStage(const SStageOptions& options) : m_Impl(new SImpl) {
    m_Impl->options = options;
    static LONG counter = 0;
    m_Impl->pipeName = L"\\\\.\\pipe\\zephra-stage-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(InterlockedIncrement(&counter));
    m_Impl->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CStage::~CStage() {
    if (m_Impl->server.joinable()) {
        SetEvent(m_Impl->stop);
        m_Impl->server.join();
    }
    CloseHandle(m_Impl->stop);
    m_Impl->children.clear();  // ends (terminates) what is still running
}

std::wstring CStage::InstallDirectory() const { return m_Impl->install; }
std::wstring CStage::RuntimeFolder() const { return kRuntimeFolder; }
std::wstring CStage::VmFolder() const { return kVmFolder; }
std::wstring CStage::WireletPath() const {
    if (m_Impl->options.wireletFolder.empty()) return L"";
    return m_Impl->install + L"\\" + m_Impl->options.wireletFolder + L"\\Wirelet.dll";
}

SRunResult CStage::Run() {
    SImpl& s = *m_Impl;
    s.Layout();
    s.PlugDevices();
    s.server = std::thread([&s] { s.Serve(); });
    s.result.startMs = NowMs();
    const DWORD start = GetTickCount();
    s.Launch(s.result.primary, s.options.primaryArguments, s.root / L"primary.txt");

    // The primary first; the second launches it asked for end on their own soon after their command.
    while (!s.result.primary.ended && GetTickCount() - start < s.options.runTimeoutMs) {
        s.Watch();
        Sleep(20);
    }
    const DWORD primaryEnd = GetTickCount();
    while (!s.Watch() && GetTickCount() - primaryEnd < kSecondLaunchWaitMs) Sleep(20);
    SetEvent(s.stop);
    s.server.join();

    std::lock_guard<std::mutex> lock(s.mutex);
    for (SImpl::SChild& child : s.children) {
        if (!child.launch->ended) s.result.problems.push_back("a launch did not end in time and was ended");
        child.launch->events = s.ReadEvents(child.record);
    }
    s.children.clear();
    for (auto& launch : s.secondLaunches) s.result.seconds.push_back(*launch);
    s.result.monitorWindowsLeft = MonitorWindows();
    if (s.result.monitorWindowsLeft != 0) s.result.problems.push_back("a command monitor window was left behind");
    for (const std::string& problem : s.simulator.Problems()) s.result.problems.push_back("simulator: " + problem);
    return s.result;
}

}  // namespace zephra_system
