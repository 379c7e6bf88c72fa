#include "simulator.h"

#include <chrono>
#include <deque>
#include <stdexcept>

namespace NHidSim {

namespace {

const ULONG_PTR kQuitKey = 1;
// Listening pipe instances kept per device, so that opens in quick succession never find the
// device busy while a replacement instance is being made.
const int kListeningInstances = 16;
const DWORD kReadBufferSize = 4096;
const int kDefaultDriverInputBuffers = 32;

enum EOpKind { kConnect, kRead, kWrite };

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

struct CHidSimulator::SDevice {
    int id = 0;
    SDeviceSpec spec;
    std::wstring pipePath;
    bool present = true;
    bool held = false;
    bool stalled = false;
    std::vector<SInstance*> instances;
    int openHandles = 0;
    int openCount = 0;
    std::vector<TReport> outputs;
    std::function<void(const TReport&)> handler;
    unsigned long overruns = 0;
};

// One open handle. Its input queue is the writes in flight on its pipe instance: the pipe buffers
// nothing, so a write completes when the client has read it, the simulator knows exactly what each
// client has taken, and whatever the client's own side does with the queue (a flush that reads it
// empty) acts on exactly this handle's reports.
struct CHidSimulator::SInstance {
    SDevice* device = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool connected = false;
    bool closing = false;
    bool readPending = false;
    int pending = 0;
    SOp connectOp{};
    SOp readOp{};
    std::vector<std::unique_ptr<SWriteOp>> writeOps;  // made as needed, reused once complete
    std::deque<SWriteOp*> queued;                     // writes in flight, oldest first
    std::vector<unsigned char> readBuffer = std::vector<unsigned char>(kReadBufferSize);
    unsigned long completedWrites = 0;
};

CHidSimulator::CHidSimulator() {
    static LONG counter = 0;
    m_Session = L"zephra-hidsim-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) +
                L"-" + std::to_wstring(InterlockedIncrement(&counter));
    if (!m_Table.Create(m_Session)) throw std::runtime_error("cannot create the simulated device table");
    SetEnvironmentVariableW(kSessionVariable, m_Session.c_str());
    m_Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (m_Port == nullptr) throw std::runtime_error("cannot create the simulator's completion port");
    m_Server = std::thread([this] { ServeLoop(); });
}

CHidSimulator::~CHidSimulator() {
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        for (auto& device : m_Devices) {
            device->present = false;
            device->handler = nullptr;
            std::vector<SInstance*> instances = device->instances;
            for (SInstance* instance : instances) {
                CloseInstance(*instance);
                DeleteIfDone(*instance);
            }
        }
        // Cancelled operations still complete through the port; wait for them.
        m_Changed.wait_for(lock, std::chrono::seconds(5), [this] {
            for (auto& device : m_Devices) {
                if (!device->instances.empty()) return false;
            }
            return true;
        });
    }
    PostQueuedCompletionStatus(m_Port, 0, kQuitKey, nullptr);
    m_Server.join();
    CloseHandle(m_Port);
    SetEnvironmentVariableW(kSessionVariable, nullptr);
}

CHidSimulator::SDevice& CHidSimulator::DeviceAt(int device) const {
    if (device < 0 || device >= static_cast<int>(m_Devices.size())) throw std::out_of_range("no such simulated device");
    return *m_Devices[static_cast<std::size_t>(device)];
}

int CHidSimulator::Plug(const SDeviceSpec& spec) {
    if (spec.inputReportLength < 0 || spec.inputReportLength > 4096 || spec.outputReportLength < 0 ||
        spec.outputReportLength > 4096) {
        throw std::invalid_argument("report lengths must lie in 0..4096");
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::unique_ptr<SDevice> device(new SDevice);
    std::string pipeName = Narrow(m_Session) + "-" + spec.name;
    if (pipeName.size() >= static_cast<std::size_t>(kMaxPipeName)) throw std::invalid_argument("device name too long");
    {
        CTableLock tableLock(m_Table);
        STable& table = *m_Table.Get();
        if (table.deviceCount >= kMaxDevices) throw std::length_error("too many simulated devices");
        device->id = table.deviceCount++;
        SSharedDevice& shared = table.devices[device->id];
        shared.used = 1;
        shared.present = 1;
        shared.held = 0;
        lstrcpynA(shared.pipeName, pipeName.c_str(), kMaxPipeName);
        shared.vendorId = spec.vendorId;
        shared.productId = spec.productId;
        shared.version = spec.version;
        shared.inputReportLength = spec.inputReportLength;
        shared.outputReportLength = spec.outputReportLength;
        shared.numInputBuffers = kDefaultDriverInputBuffers;
        shared.flushedReports = 0;
        shared.lostReports = 0;
        shared.queuedReadDelayMs = 0;
        shared.writesUncancelable = 0;
    }
    device->spec = spec;
    device->pipePath = L"\\\\.\\pipe\\" + std::wstring(pipeName.begin(), pipeName.end());
    SDevice& added = *device;
    m_Devices.push_back(std::move(device));
    EnsureListening(added);
    return added.id;
}

void CHidSimulator::Unplug(int device) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    {
        CTableLock tableLock(m_Table);
        m_Table.Get()->devices[device].present = 0;
    }
    target.present = false;
    std::vector<SInstance*> instances = target.instances;
    for (SInstance* instance : instances) {
        CloseInstance(*instance);
        DeleteIfDone(*instance);
    }
    m_Changed.notify_all();
}

void CHidSimulator::Replug(int device) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    {
        CTableLock tableLock(m_Table);
        m_Table.Get()->devices[device].present = 1;
    }
    target.present = true;
    EnsureListening(target);
}

void CHidSimulator::HoldExclusively(int device, bool held) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    {
        CTableLock tableLock(m_Table);
        m_Table.Get()->devices[device].held = held ? 1 : 0;
    }
    target.held = held;
    if (held) {
        // Without a listening instance every new open fails; open handles carry on.
        std::vector<SInstance*> instances = target.instances;
        for (SInstance* instance : instances) {
            if (instance->connected) continue;
            CloseInstance(*instance);
            DeleteIfDone(*instance);
        }
    } else {
        EnsureListening(target);
    }
}

std::string CHidSimulator::DevicePath(int device) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return Narrow(DeviceAt(device).pipePath);
}

void CHidSimulator::FailCall(ECall call, DWORD error, int device, int skip, int times) {
    if (error == 0) throw std::invalid_argument("an injected failure needs a nonzero error code");
    CTableLock tableLock(m_Table);
    for (SFailureRule& rule : m_Table.Get()->rules) {
        if (rule.active) continue;
        rule.active = 1;
        rule.call = call;
        rule.device = device;
        rule.skip = skip;
        rule.times = times;
        rule.error = error;
        return;
    }
    throw std::length_error("too many failure rules");
}

void CHidSimulator::ClearFailures() {
    CTableLock tableLock(m_Table);
    for (SFailureRule& rule : m_Table.Get()->rules) rule.active = 0;
}

long CHidSimulator::CallCount(ECall call) const {
    CTableLock tableLock(m_Table);
    return m_Table.Get()->calls[call];
}

int CHidSimulator::NumInputBuffers(int device) const {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        DeviceAt(device);  // throws for an unknown device
    }
    CTableLock tableLock(m_Table);
    return m_Table.Get()->devices[device].numInputBuffers;
}

void CHidSimulator::SetFlushSupported(bool supported) {
    CTableLock tableLock(m_Table);
    m_Table.Get()->flushUnsupported = supported ? 0 : 1;
}

void CHidSimulator::DelayQueuedReads(int device, DWORD delayMs) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        DeviceAt(device);  // throws for an unknown device
    }
    CTableLock tableLock(m_Table);
    m_Table.Get()->devices[device].queuedReadDelayMs = static_cast<LONG>(delayMs);
}

void CHidSimulator::SetWritesCancelable(int device, bool cancelable) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        DeviceAt(device);  // throws for an unknown device
    }
    CTableLock tableLock(m_Table);
    m_Table.Get()->devices[device].writesUncancelable = cancelable ? 0 : 1;
}

void CHidSimulator::SendInput(int device, const TReport& report) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    if (static_cast<int>(report.size()) != target.spec.inputReportLength) {
        throw std::invalid_argument("an input report must have exactly the input report length");
    }
    // Read without the table lock: one aligned LONG, written by the hid.dll double.
    LONG buffers = static_cast<volatile LONG&>(m_Table.Get()->devices[device].numInputBuffers);
    std::size_t limit = static_cast<std::size_t>(buffers > 0 ? buffers : 1);
    AdoptCompletedConnects(target);
    for (SInstance* instance : target.instances) {
        if (!instance->connected || instance->closing) continue;
        // Like the driver's ring of input buffers: when it is full the oldest report is lost. A
        // handle that has never read (the write handle) loses the new one instead, which costs no
        // kernel call; nobody can see the difference before it reads, and a reader that starts
        // late after a long burst then finds older input than on Windows, not newer.
        if (instance->queued.size() >= limit && instance->completedWrites == 0) continue;
        while (instance->queued.size() >= limit) DropOldest(*instance);
        StartWrite(*instance, report);
    }
}

void CHidSimulator::SendPacket(int device, const TReport& packet, unsigned char reportId) {
    int length = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        length = DeviceAt(device).spec.inputReportLength;
    }
    if (length < 1 || static_cast<int>(packet.size()) > length - 1) throw std::invalid_argument("packet too long");
    TReport report(static_cast<std::size_t>(length), 0);
    report[0] = reportId;
    std::copy(packet.begin(), packet.end(), report.begin() + 1);
    SendInput(device, report);
}

void CHidSimulator::SendSequence(int device, unsigned long first, unsigned long count, double rateHz) {
    int length = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        length = DeviceAt(device).spec.inputReportLength;
    }
    if (length < 5) throw std::invalid_argument("sequence reports need at least 5 bytes");
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    TReport report(static_cast<std::size_t>(length), 0);
    for (unsigned long i = 0; i < count; ++i) {
        const double due = static_cast<double>(i) / rateHz;
        for (;;) {
            QueryPerformanceCounter(&now);
            double elapsed =
                static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
            if (elapsed >= due) break;
            if (due - elapsed > 0.002) {
                Sleep(1);
            } else {
                SwitchToThread();
            }
        }
        unsigned long sequence = first + i;
        for (int b = 0; b < 4; ++b) report[1 + b] = static_cast<unsigned char>(sequence >> (8 * b));
        SendInput(device, report);
    }
}

void CHidSimulator::StallOutput(int device, bool stalled) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    target.stalled = stalled;
    for (SInstance* instance : target.instances) {
        if (!instance->connected || instance->closing) continue;
        if (stalled && instance->readPending) {
            CancelIoEx(instance->pipe, &instance->readOp.overlapped);
        } else if (!stalled && !instance->readPending) {
            StartRead(*instance);
        }
    }
}

std::vector<TReport> CHidSimulator::OutputReports(int device) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return DeviceAt(device).outputs;
}

bool CHidSimulator::WaitForOutputReports(int device, std::size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return target.outputs.size() >= count; });
}

bool CHidSimulator::WaitForDelivered(int device, unsigned long count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const SInstance* instance : target.instances) {
            if (instance->completedWrites >= count) return true;
        }
        return false;
    });
}

bool CHidSimulator::WaitForDrained(int device, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    return m_Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        bool reader = false;
        for (const SInstance* instance : target.instances) {
            if (instance->completedWrites == 0) continue;  // not a handle that reads
            reader = true;
            if (!instance->queued.empty()) return false;
        }
        return reader;
    });
}

void CHidSimulator::OnOutputReport(int device, std::function<void(const TReport&)> handler) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    DeviceAt(device).handler = std::move(handler);
}

int CHidSimulator::OpenHandles(int device) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    AdoptCompletedConnects(target);
    SweepDisconnected(target);
    return target.openHandles;
}

bool CHidSimulator::WaitForOpenHandles(int device, int count, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (OpenHandles(device) == count) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait_for(lock, std::chrono::milliseconds(20));
    }
}

unsigned long CHidSimulator::Overruns(int device) const {
    unsigned long overruns = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        overruns = DeviceAt(device).overruns;
    }
    CTableLock tableLock(m_Table);
    return overruns + static_cast<unsigned long>(m_Table.Get()->devices[device].lostReports);
}

long CHidSimulator::FlushedReports(int device) const {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        DeviceAt(device);
    }
    CTableLock tableLock(m_Table);
    return m_Table.Get()->devices[device].flushedReports;
}

int CHidSimulator::OpenCount(int device) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    SDevice& target = DeviceAt(device);
    AdoptCompletedConnects(target);
    return target.openCount;
}

std::vector<std::string> CHidSimulator::Problems() const {
    std::vector<std::string> problems;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        problems = m_Problems;
    }
    CTableLock tableLock(m_Table);
    const STable& table = *m_Table.Get();
    for (LONG i = 0; i < table.misuseCount && i < kMaxMisuse; ++i) problems.push_back(table.misuse[i]);
    if (table.misuseCount > kMaxMisuse) {
        problems.push_back("... and " + std::to_string(table.misuseCount - kMaxMisuse) + " more misuses");
    }
    if (table.outstandingPreparsed != 0) {
        problems.push_back(std::to_string(table.outstandingPreparsed) + " preparsed data never freed");
    }
    if (table.outstandingDeviceSets != 0) {
        problems.push_back(std::to_string(table.outstandingDeviceSets) + " device information lists never destroyed");
    }
    return problems;
}

void CHidSimulator::EnsureListening(SDevice& device) {
    if (!device.present || device.held) return;
    for (;;) {
        int listening = 0;
        for (SInstance* instance : device.instances) {
            if (!instance->connected && !instance->closing) ++listening;
        }
        if (listening >= kListeningInstances) return;
        std::size_t before = device.instances.size();
        CreateListeningInstance(device);
        if (device.instances.size() == before) return;  // could not make one; do not spin
    }
}

void CHidSimulator::CreateListeningInstance(SDevice& device) {
    const DWORD outBuffer = 0;
    const DWORD inBuffer = static_cast<DWORD>(device.spec.outputReportLength);
    HANDLE pipe = CreateNamedPipeW(device.pipePath.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                   outBuffer, inBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        m_Problems.push_back("the simulator cannot create a pipe instance: error " + std::to_string(GetLastError()));
        return;
    }
    if (CreateIoCompletionPort(pipe, m_Port, 0, 0) == nullptr) {
        m_Problems.push_back("the simulator cannot bind a pipe to its port");
        CloseHandle(pipe);
        return;
    }
    SInstance* instance = new SInstance;
    instance->device = &device;
    instance->pipe = pipe;
    instance->connectOp.instance = instance;
    instance->connectOp.kind = kConnect;
    instance->readOp.instance = instance;
    instance->readOp.kind = kRead;
    device.instances.push_back(instance);

    if (ConnectNamedPipe(pipe, &instance->connectOp.overlapped)) {
        ++instance->pending;  // completed at once; its packet still comes through the port
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        ++instance->pending;
    } else if (error == ERROR_PIPE_CONNECTED) {
        OnConnected(*instance);
    } else {
        CloseInstance(*instance);
        DeleteIfDone(*instance);
    }
}

void CHidSimulator::OnConnected(SInstance& instance) {
    SDevice& device = *instance.device;
    instance.connected = true;
    ++device.openHandles;
    ++device.openCount;
    if (!device.stalled) StartRead(instance);
    EnsureListening(device);
    m_Changed.notify_all();
}

void CHidSimulator::StartRead(SInstance& instance) {
    if (instance.readPending || instance.closing || !instance.connected) return;
    ZeroMemory(&instance.readOp.overlapped, sizeof(OVERLAPPED));
    if (ReadFile(instance.pipe, instance.readBuffer.data(), kReadBufferSize, nullptr, &instance.readOp.overlapped) ||
        GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
        ++instance.pending;
        instance.readPending = true;
        return;
    }
    CloseInstance(instance);
}

void CHidSimulator::StartWrite(SInstance& instance, const TReport& report) {
    if (instance.closing || !instance.connected) return;
    SWriteOp* op = nullptr;
    for (auto& candidate : instance.writeOps) {
        if (!candidate->busy) {
            op = candidate.get();
            break;
        }
    }
    if (op == nullptr) {
        instance.writeOps.push_back(std::make_unique<SWriteOp>());
        op = instance.writeOps.back().get();
        op->instance = &instance;
        op->kind = kWrite;
    }
    op->data = report;
    op->dropped = false;
    ZeroMemory(&op->overlapped, sizeof(OVERLAPPED));
    if (!WriteFile(instance.pipe, op->data.data(), static_cast<DWORD>(op->data.size()), nullptr, &op->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        CloseInstance(instance);
        return;
    }
    op->busy = true;
    ++instance.pending;
    instance.queued.push_back(op);
}

void CHidSimulator::DropOldest(SInstance& instance) {
    // Withdrawn from the pipe; its completion (aborted) counts the loss.
    SWriteOp* op = instance.queued.front();
    instance.queued.pop_front();
    op->dropped = true;
    CancelIoEx(instance.pipe, &op->overlapped);
}

void CHidSimulator::CloseInstance(SInstance& instance) {
    if (instance.closing) return;
    instance.closing = true;
    if (instance.connected) {
        instance.connected = false;
        --instance.device->openHandles;
    }
    // Closing the server end makes every client handle fail its I/O, as an unplugged device
    // does; the cancelled operations complete through the port.
    CancelIoEx(instance.pipe, nullptr);
    CloseHandle(instance.pipe);
    instance.pipe = INVALID_HANDLE_VALUE;
    m_Changed.notify_all();
}

void CHidSimulator::DeleteIfDone(SInstance& instance) {
    if (!instance.closing || instance.pending > 0) return;
    std::vector<SInstance*>& instances = instance.device->instances;
    for (auto it = instances.begin(); it != instances.end(); ++it) {
        if (*it == &instance) {
            instances.erase(it);
            break;
        }
    }
    delete &instance;
    m_Changed.notify_all();
}

void CHidSimulator::AdoptCompletedConnects(SDevice& device) {
    // A client whose CreateFile has returned is connected even if the server thread has not yet
    // taken the connect's completion from the port: input sent now must reach it.
    std::vector<SInstance*> instances = device.instances;
    for (SInstance* instance : instances) {
        if (instance->connected || instance->closing) continue;
        const OVERLAPPED& connect = instance->connectOp.overlapped;
        if (HasOverlappedIoCompleted(&connect) && connect.Internal == 0) OnConnected(*instance);
    }
}

void CHidSimulator::SweepDisconnected(SDevice& device) {
    // A client that closes while no read is pending (output stalled) is noticed by peeking.
    std::vector<SInstance*> instances = device.instances;
    for (SInstance* instance : instances) {
        if (!instance->connected || instance->closing || instance->readPending) continue;
        if (!PeekNamedPipe(instance->pipe, nullptr, 0, nullptr, nullptr, nullptr)) {
            CloseInstance(*instance);
            DeleteIfDone(*instance);
        }
    }
}

void CHidSimulator::Complete(SOp& op, bool ok, DWORD bytes, DWORD error,
                             std::vector<std::pair<std::function<void(const TReport&)>, TReport>>& answers) {
    SInstance& instance = *op.instance;
    SDevice& device = *instance.device;
    --instance.pending;
    switch (op.kind) {
        case kConnect:
            if (instance.closing || instance.connected) break;  // closed, or adopted already
            if (ok) {
                OnConnected(instance);
            } else {
                CloseInstance(instance);
                EnsureListening(device);
            }
            break;
        case kRead:
            instance.readPending = false;
            if (instance.closing) break;
            if (ok) {
                TReport report(instance.readBuffer.begin(), instance.readBuffer.begin() + bytes);
                const int expected = device.spec.outputReportLength;
                if (static_cast<int>(report.size()) != expected) {
                    m_Problems.push_back("output report of " + std::to_string(report.size()) +
                                         " bytes on a device whose " + "output report length is " +
                                         std::to_string(expected));
                } else if (!report.empty() && report[0] != 0) {
                    m_Problems.push_back("output report with report ID " + std::to_string(report[0]) + " (not 0)");
                }
                device.outputs.push_back(report);
                if (device.handler) answers.emplace_back(device.handler, std::move(report));
                if (!device.stalled) StartRead(instance);
            } else if (error == ERROR_OPERATION_ABORTED && device.stalled) {
                // Paused by StallOutput; reading resumes when the stall ends.
            } else if (error == ERROR_MORE_DATA) {
                m_Problems.push_back("output report longer than 4096 bytes");
                StartRead(instance);
            } else {
                CloseInstance(instance);  // the client closed its handle
            }
            break;
        case kWrite: {
            auto& write = static_cast<SWriteOp&>(op);
            write.busy = false;
            for (auto it = instance.queued.begin(); it != instance.queued.end(); ++it) {
                if (*it == &write) {
                    instance.queued.erase(it);
                    break;
                }
            }
            if (instance.closing) break;
            if (ok) {
                ++instance.completedWrites;  // read by the client (also when it was being dropped)
            } else if (write.dropped && error == ERROR_OPERATION_ABORTED) {
                // Lost to a full queue. Counted for a handle whose client reads (the write
                // handle's client never reads, so none of its writes ever completes).
                if (instance.completedWrites > 0) ++device.overruns;
            } else {
                CloseInstance(instance);
            }
            break;
        }
    }
    DeleteIfDone(instance);
}

void CHidSimulator::ServeLoop() {
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(m_Port, &bytes, &key, &overlapped, INFINITE);
        DWORD error = ok ? 0 : GetLastError();
        if (overlapped == nullptr) {
            if (key == kQuitKey) return;
            continue;
        }
        SOp* op = CONTAINING_RECORD(overlapped, SOp, overlapped);
        std::vector<std::pair<std::function<void(const TReport&)>, TReport>> answers;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            Complete(*op, ok != FALSE, bytes, error, answers);
            m_Changed.notify_all();
        }
        for (auto& answer : answers) answer.first(answer.second);
    }
}

}  // namespace NHidSim
