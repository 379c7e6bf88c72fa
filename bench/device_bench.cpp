// Device benchmarks: serves simulated remote controls, runs device_bench_client against them and
// prints one "name value" line per figure. Figures never make the program fail; only a broken
// set-up does (exit code 2).

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_protocol.h"
#include "simulator.h"
#include "support/process.h"

using namespace zephra_test;

namespace {

typedef std::map<std::string, double> TResults;

struct SClient {
    HANDLE process = nullptr;
};

SClient StartClient(const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> line = {test_bin_dir() + L"device_bench_client.exe"};
    line.insert(line.end(), arguments.begin(), arguments.end());
    std::wstring command = make_command_line(line);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    SClient client;
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        client.process = info.hProcess;
    }
    return client;
}

// Waits for the client and reads its result file; empty when it failed.
TResults FinishClient(SClient& client, const std::wstring& resultFile, DWORD timeoutMs) {
    TResults results;
    if (client.process == nullptr) return results;
    DWORD code = 1;
    if (WaitForSingleObject(client.process, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(client.process, &code);
    } else {
        TerminateProcess(client.process, 99);
    }
    CloseHandle(client.process);
    client.process = nullptr;
    if (code != 0) {
        std::fprintf(stderr, "device_bench_client ended with %lu\n", code);
        return results;
    }
    std::istringstream lines(read_file(resultFile));
    std::string name;
    double value = 0;
    while (lines >> name >> value) results[name] = value;
    DeleteFileW(resultFile.c_str());
    return results;
}

void Print(const char* name, double value) { std::printf("%s %.6g\n", name, value); }

void PrintAll(const TResults& results, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        auto it = results.find(name);
        if (it != results.end()) Print(name, it->second);
    }
}

std::wstring ResultPath() { return test_bin_dir() + NDeviceBench::kResultFile; }

NHidSim::SDeviceSpec Remote(const std::string& name, unsigned short vendor = 0xE47A, unsigned short product = 1) {
    NHidSim::SDeviceSpec spec;
    spec.name = name;
    spec.vendorId = vendor;
    spec.productId = product;
    return spec;
}

// Key presses at about 250 Hz on the device from a thread of its own while it lives.
class CSteadyInput {
public:
    CSteadyInput(NHidSim::CHidSimulator& sim, int device)
        : m_Sim(sim), m_Device(device), m_Thread([this] {
              for (unsigned long n = 0; !m_Stop; ++n) {
                  m_Sim.SendPacket(m_Device, {0x4B, static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8)});
                  Sleep(4);
              }
          }) {}
    ~CSteadyInput() {
        m_Stop = true;
        m_Thread.join();
    }

private:
    NHidSim::CHidSimulator& m_Sim;
    int m_Device;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// The transaction round trip on an idle device against the same exchange made straight on the
// device; then the transaction under steady input, where the driver flushes and where it cannot
// (Wine's own HID stack), against the same baseline.
bool RoundTrips(NHidSim::CHidSimulator& sim) {
    double baselineUs = 0;
    for (int round = 0; round < 3; ++round) {
        const bool steady = round > 0;
        const bool flushes = round < 2;
        int device = sim.Plug(Remote(round == 0 ? "rtt" : flushes ? "rtt-steady" : "rtt-steady-noflush"));
        // Answers every output report at once with one input report.
        const NHidSim::TReport answer(65, 0x11);
        sim.OnOutputReport(device, [&sim, device, answer](const NHidSim::TReport&) { sim.SendInput(device, answer); });
        sim.SetFlushSupported(flushes);
        std::unique_ptr<CSteadyInput> keys(steady ? new CSteadyInput(sim, device) : nullptr);
        std::vector<std::wstring> arguments = {L"rtt", widen(sim.DevicePath(device)), steady ? L"3" : L"6",
                                               steady ? L"200" : L"400", ResultPath()};
        if (steady) arguments.push_back(L"channel-only");
        SClient client = StartClient(arguments);
        TResults results = FinishClient(client, ResultPath(), 300000);
        keys.reset();
        sim.SetFlushSupported(true);
        sim.OnOutputReport(device, nullptr);
        sim.Unplug(device);
        if (results.empty()) return false;
        if (!steady) {
            baselineUs = results["baseline_rtt_median_us"];
            PrintAll(results, {"transaction_rtt_ratio", "transaction_rtt_median_us", "transaction_rtt_p99_us",
                               "baseline_rtt_median_us", "baseline_rtt_p99_us", "transaction_failures",
                               "allocations_per_transaction"});
            continue;
        }
        const std::string prefix = flushes ? "transaction_rtt_steady250_" : "transaction_rtt_steady250_noflush_";
        const double median = results["transaction_rtt_median_us"];
        Print((prefix + "ratio").c_str(), baselineUs > 0 ? median / baselineUs : 0);
        Print((prefix + "median_us").c_str(), median);
        Print((prefix + "p99_us").c_str(), results["transaction_rtt_p99_us"]);
        Print((prefix + "max_us").c_str(), results["transaction_rtt_max_us"]);
        Print((prefix + "failures").c_str(), results["transaction_failures"]);
    }
    return true;
}

bool Continuous(NHidSim::CHidSimulator& sim, int rateHz, bool direct, double* allocationsPerPacket) {
    int device = sim.Plug(Remote((direct ? "direct" : "stream") + std::to_string(rateHz)));
    HANDLE ready = NDeviceBench::SessionEvent(sim.Session(), L"ready", true);
    HANDLE done = NDeviceBench::SessionEvent(sim.Session(), L"done", true);
    ResetEvent(ready);
    ResetEvent(done);
    SClient client =
        StartClient({direct ? L"continuous-direct" : L"continuous", widen(sim.DevicePath(device)), ResultPath()});
    bool started = client.process != nullptr && WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0;
    const unsigned long count = static_cast<unsigned long>(rateHz) * 10;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (started) sim.SendSequence(device, 0, count, rateHz);
    QueryPerformanceCounter(&end);
    SetEvent(done);
    TResults results = FinishClient(client, ResultPath(), 60000);
    CloseHandle(ready);
    CloseHandle(done);
    if (!started || results.empty()) {
        sim.Unplug(device);
        return false;
    }
    const std::string suffix = std::string(direct ? "baseline_" : "") + std::to_string(rateHz) + "hz";
    double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    Print(("continuous_lost_" + suffix).c_str(), static_cast<double>(count) - results["received"]);
    Print(("continuous_sent_rate_" + suffix).c_str(), static_cast<double>(count) / seconds);
    Print(("continuous_out_of_order_" + suffix).c_str(), results["disorder"]);
    Print(("continuous_driver_overruns_" + suffix).c_str(), static_cast<double>(sim.Overruns(device)));
    sim.Unplug(device);
    if (results["window_packets"] > 0) {
        double perPacket = results["window_allocations"] / results["window_packets"];
        if (perPacket > *allocationsPerPacket) *allocationsPerPacket = perPacket;
    }
    return true;
}

bool Refresh(NHidSim::CHidSimulator& sim) {
    const int rounds = 20;
    std::vector<int> accepted, foreign;
    for (int i = 0; i < 64; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "hid%02d", i);
        // Every eighth device is a remote control; the rest belong to other makers.
        if (i % 8 == 3) {
            accepted.push_back(sim.Plug(Remote(name, 0xE47A, static_cast<unsigned short>(1 + i))));
        } else {
            foreign.push_back(sim.Plug(Remote(name, 0x1234, static_cast<unsigned short>(i))));
        }
    }
    HANDLE ready = NDeviceBench::SessionEvent(sim.Session(), L"ready", true);
    HANDLE go = NDeviceBench::SessionEvent(sim.Session(), L"go", true);
    ResetEvent(ready);
    ResetEvent(go);
    SClient client = StartClient({L"refresh", std::to_wstring(rounds), ResultPath()});
    bool started = client.process != nullptr && WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0;
    std::map<int, int> before;
    for (int device : accepted) before[device] = sim.OpenCount(device);
    for (int device : foreign) before[device] = sim.OpenCount(device);
    SetEvent(go);
    TResults results = FinishClient(client, ResultPath(), 300000);
    CloseHandle(ready);
    CloseHandle(go);
    if (!started || results.empty()) return false;
    // Each Refresh probes every device once; opening a channel takes two more opens.
    int reopened = 0, extraProbes = 0;
    for (int device : accepted) reopened += (sim.OpenCount(device) - before[device] - rounds) / 2;
    for (int device : foreign) extraProbes += sim.OpenCount(device) - before[device] - rounds;
    Print("refresh_reopened", reopened);
    Print("refresh_ms", results["refresh_median_ms"]);
    Print("refresh_p99_ms", results["refresh_p99_ms"]);
    Print("refresh_candidates", results["candidates"]);
    Print("refresh_tokens_changed", results["tokens_changed"]);
    Print("refresh_unexpected_opens", extraProbes);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string only = argc > 1 ? argv[1] : "";
    bool ok = true;
    NHidSim::CHidSimulator sim;
    if (only.empty() || only == "rtt") ok = RoundTrips(sim) && ok;
    if (only.empty() || only == "continuous") {
        double allocationsPerPacket = 0;
        // Each rate first with a plain reader on the device, then with the channel.
        for (int rate : {1000, 8000}) {
            ok = Continuous(sim, rate, true, &allocationsPerPacket) && ok;
            ok = Continuous(sim, rate, false, &allocationsPerPacket) && ok;
        }
        Print("allocations_per_packet", allocationsPerPacket);
    }
    if (only.empty() || only == "refresh") ok = Refresh(sim) && ok;
    std::fflush(stdout);
    for (const std::string& problem : sim.Problems()) std::fprintf(stderr, "simulator: %s\n", problem.c_str());
    return ok ? 0 : 2;
}
