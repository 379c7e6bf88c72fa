// The client side of the device benchmark: runs the channel, the manager or the direct baseline
// against the simulated devices served by device_bench, counting its own heap allocations.
//
//   device_bench_client rtt PATH BLOCKS BLOCK_SIZE RESULT_FILE [channel-only]
//   device_bench_client continuous PATH RESULT_FILE
//   device_bench_client refresh ROUNDS RESULT_FILE

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench_protocol.h"
#include "wirelet/device/hid_wirelet.h"
#include "wirelet/device/manager.h"

namespace {

volatile LONG g_Allocations = 0;

}  // namespace

// Every heap allocation of this process through operator new is counted.
void* operator new(std::size_t size) {
    InterlockedIncrement(&g_Allocations);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    InterlockedIncrement(&g_Allocations);
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

LONG Allocations() { return InterlockedCompareExchange(&g_Allocations, 0, 0); }

double NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

std::wstring Session() {
    wchar_t buffer[256];
    DWORD n = GetEnvironmentVariableW(L"ZEPHRA_HIDSIM_SESSION", buffer, 256);
    return std::wstring(buffer, n < 256 ? n : 0);
}

int RunRoundTrips(const std::string& path, int blocks, int blockSize, bool baseline, std::ofstream& out) {
    std::vector<double> channelUs, directUs;
    channelUs.reserve(static_cast<std::size_t>(blocks * blockSize));
    directUs.reserve(static_cast<std::size_t>(blocks * blockSize));
    std::vector<unsigned char> packet(64, 0x5A), reply(64, 0), report(65, 0), input(65, 0);
    const TPacketPointers outPackets = {packet.data()};
    const TPacketPointers replyPackets = {reply.data()};
    LONG allocations = 0;
    int failures = 0;

    // Blocks of each kind alternate, so that drift of the machine affects both alike.
    for (int block = 0; block < blocks; ++block) {
        {
            std::unique_ptr<CHidWirelet> channel(new CHidWirelet);
            if (!channel->Open(path)) return 2;
            int received = 0;
            for (int i = 0; i < 20; ++i) channel->WriteReadPackets(outPackets, replyPackets, &received, 2000);
            LONG before = Allocations();
            for (int i = 0; i < blockSize; ++i) {
                double start = NowUs();
                bool ok = channel->WriteReadPackets(outPackets, replyPackets, &received, 2000);
                channelUs.push_back(NowUs() - start);
                if (!ok || received != 1) ++failures;
            }
            allocations += Allocations() - before;
        }
        if (baseline) {
            // The same exchange straight on the device: one write, one read, same pipe.
            HANDLE read = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            HANDLE write = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            if (read == INVALID_HANDLE_VALUE || write == INVALID_HANDLE_VALUE) return 2;
            DWORD done = 0;
            for (int i = 0; i < 20 + blockSize; ++i) {
                double start = NowUs();
                WriteFile(write, report.data(), 65, &done, nullptr);
                ReadFile(read, input.data(), 65, &done, nullptr);
                if (i >= 20) directUs.push_back(NowUs() - start);
            }
            CloseHandle(read);
            CloseHandle(write);
        }
    }
    double channelMedian = Percentile(channelUs, 0.5), directMedian = Percentile(directUs, 0.5);
    out << "transaction_rtt_ratio " << (directMedian > 0 ? channelMedian / directMedian : 0) << "\n";
    out << "transaction_rtt_median_us " << channelMedian << "\n";
    out << "transaction_rtt_p99_us " << Percentile(channelUs, 0.99) << "\n";
    out << "transaction_rtt_max_us " << Percentile(channelUs, 1.0) << "\n";
    out << "baseline_rtt_median_us " << directMedian << "\n";
    out << "baseline_rtt_p99_us " << Percentile(directUs, 0.99) << "\n";
    out << "transaction_failures " << failures << "\n";
    out << "allocations_per_transaction " << static_cast<double>(allocations) / channelUs.size() << "\n";
    return 0;
}

int RunContinuous(const std::string& path, std::ofstream& out) {
    const std::wstring session = Session();
    HANDLE ready = NDeviceBench::SessionEvent(session, L"ready", false);
    HANDLE done = NDeviceBench::SessionEvent(session, L"done", false);
    if (ready == nullptr || done == nullptr) return 3;
    std::unique_ptr<CHidWirelet> channel(new CHidWirelet);
    if (!channel->Open(path) || !channel->StartContinuousRead()) return 2;
    std::vector<unsigned char> packet(64, 0);
    unsigned long received = 0, expected = 0, gaps = 0, disorder = 0;
    LONG windowAllocations = 0;
    unsigned long windowPackets = 0;
    LONG windowStart = 0;
    unsigned long windowFirst = 0;
    bool inWindow = false;
    SetEvent(ready);

    DWORD drainUntil = 0;
    for (;;) {
        while (channel->ContinuousRead(packet.data())) {
            unsigned long sequence =
                packet[0] | (packet[1] << 8) | (packet[2] << 16) | (static_cast<unsigned long>(packet[3]) << 24);
            if (sequence > expected) gaps += sequence - expected;
            if (sequence < expected) ++disorder;
            expected = sequence + 1;
            ++received;
        }
        // Steady state: after the first thousand packets, until the sender is done.
        if (!inWindow && received >= 1000 && drainUntil == 0) {
            inWindow = true;
            windowStart = Allocations();
            windowFirst = received;
        }
        if (drainUntil == 0 && WaitForSingleObject(done, 0) == WAIT_OBJECT_0) {
            if (inWindow) {
                windowAllocations = Allocations() - windowStart;
                windowPackets = received - windowFirst;
                inWindow = false;
            }
            drainUntil = GetTickCount() + 1000;
        }
        if (drainUntil != 0 && static_cast<LONG>(GetTickCount() - drainUntil) >= 0) break;
        Sleep(1);
    }
    out << "received " << received << "\n";
    out << "gaps " << gaps << "\n";
    out << "disorder " << disorder << "\n";
    out << "window_packets " << windowPackets << "\n";
    out << "window_allocations " << windowAllocations << "\n";
    return 0;
}

struct SDirectReader {
    HANDLE device;
    volatile LONG received;
    volatile LONG stop;
};

DWORD WINAPI DirectRead(void* p) {
    SDirectReader* state = static_cast<SDirectReader*>(p);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    unsigned char report[65];
    DWORD got = 0;
    while (!state->stop && ReadFile(state->device, report, 65, &got, nullptr)) InterlockedIncrement(&state->received);
    return 0;
}

// The baseline: one thread reading the device directly, as fast as it can, nothing else.
int RunContinuousDirect(const std::string& path, std::ofstream& out) {
    const std::wstring session = Session();
    HANDLE ready = NDeviceBench::SessionEvent(session, L"ready", false);
    HANDLE done = NDeviceBench::SessionEvent(session, L"done", false);
    if (ready == nullptr || done == nullptr) return 3;
    HANDLE device =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return 2;
    SDirectReader state{device, 0, 0};
    HANDLE reader = CreateThread(nullptr, 0, &DirectRead, &state, 0, nullptr);
    SetEvent(ready);
    WaitForSingleObject(done, INFINITE);
    Sleep(1000);
    InterlockedExchange(&state.stop, 1);
    while (WaitForSingleObject(reader, 1) != WAIT_OBJECT_0) CancelSynchronousIo(reader);
    CloseHandle(reader);
    CloseHandle(device);
    out << "received " << state.received << "\n";
    return 0;
}

int RunRefresh(int rounds, std::ofstream& out) {
    const std::wstring session = Session();
    HANDLE first = NDeviceBench::SessionEvent(session, L"ready", false);
    HANDLE go = NDeviceBench::SessionEvent(session, L"go", false);
    if (first == nullptr || go == nullptr) return 3;
    CHidWireletManager manager;
    manager.Refresh();
    std::vector<TWireletToken> tokens;
    for (const TWireletPtr& channel : manager.GetCandidates()) tokens.push_back(manager.GetToken(channel.Get()));
    SetEvent(first);
    WaitForSingleObject(go, 60000);
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        double start = NowUs();
        manager.Refresh();
        ms.push_back((NowUs() - start) / 1000.0);
    }
    int changed = 0;
    std::vector<TWireletPtr> candidates = manager.GetCandidates();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i >= tokens.size() || manager.GetToken(candidates[i].Get()) != tokens[i]) ++changed;
    }
    out << "candidates " << candidates.size() << "\n";
    out << "tokens_changed " << changed << "\n";
    out << "refresh_median_ms " << Percentile(ms, 0.5) << "\n";
    out << "refresh_p99_ms " << Percentile(ms, 0.99) << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const std::string mode = argv[1];
    int status = 64;
    std::string resultFile;
    std::ofstream out;
    auto open = [&](const char* file) {
        resultFile = file;
        out.open(resultFile + ".part");
    };
    if (mode == "rtt" && (argc == 6 || (argc == 7 && std::string(argv[6]) == "channel-only"))) {
        open(argv[5]);
        status = RunRoundTrips(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argc == 6, out);
    } else if (mode == "continuous" && argc == 4) {
        open(argv[3]);
        status = RunContinuous(argv[2], out);
    } else if (mode == "continuous-direct" && argc == 4) {
        open(argv[3]);
        status = RunContinuousDirect(argv[2], out);
    } else if (mode == "refresh" && argc == 4) {
        open(argv[3]);
        status = RunRefresh(std::atoi(argv[2]), out);
    }
    if (!resultFile.empty()) {
        out.close();
        MoveFileExA((resultFile + ".part").c_str(), resultFile.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return status;
}
