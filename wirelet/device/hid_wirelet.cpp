#include "wirelet/device/hid_wirelet.h"

#include <optional>

#include "wirelet/device/hid_api.h"
#include "wirelet/device/report_layout.h"
#include "wirelet/support/check.h"
#include "wirelet/support/thread.h"

using NQuillonWin32::CCheckException;
using NQuillonWin32::CHandle;
using NQuillonWin32::Check;
using NQuillonWin32::CMutexLock;

namespace {

// How long the destructor waits for the read thread, which cancels its read when the stop event
// is set, before it falls back to ending the thread by force. A cancelled read ends within
// microseconds; this bound only matters when the platform cannot cancel at all.
const DWORD kReadThreadStopWaitMs = 2000;
// Where the driver cannot flush its queue: how long one read of DrainDriverQueue may take before
// the queue counts as empty. A queued report comes back far sooner.
const DWORD kDrainReadWaitMs = 10;
// More reads than any driver queue holds (the HID class driver allows 512 buffers).
const int kMaxDrainReads = 600;
// The read thread's wait for a free buffer when every buffer is queued.
const DWORD kNoFreeBufferWaitMs = 100;
// Threshold that keeps replies-ready clear until the whole pool is queued.
const std::size_t kContinuousReadThreshold = 100;
// A client in continuous read that has not polled for this long, with every buffer queued, has
// stopped taking packets: the pool then drains as when idle, so that no stale input is left in the
// driver when it stops continuous read and starts a transaction.
const DWORD kStalledPollMs = 2000;

// Owns HID preparsed data; Free() is checked, the destructor's free (on failure paths) is not.
class CPreparsedData {
public:
    CPreparsedData() = default;
    ~CPreparsedData() {
        if (m_Data != nullptr) HidD_FreePreparsedData(m_Data);
    }
    CPreparsedData(const CPreparsedData&) = delete;
    CPreparsedData& operator=(const CPreparsedData&) = delete;

    bool Get(HANDLE device) { return HidD_GetPreparsedData(device, &m_Data) != FALSE; }
    PHIDP_PREPARSED_DATA Data() const { return m_Data; }
    void Free() {
        PHIDP_PREPARSED_DATA data = m_Data;
        m_Data = nullptr;
        Check([&] { return HidD_FreePreparsedData(data); });
    }

private:
    PHIDP_PREPARSED_DATA m_Data = nullptr;
};

HANDLE CreateManualResetEvent() {
    return Check([] { return CreateEventA(nullptr, TRUE, FALSE, nullptr); });
}

// Milliseconds left of timeoutMs since start; INFINITE stays INFINITE.
DWORD Remaining(DWORD start, DWORD timeoutMs) {
    if (timeoutMs == INFINITE) return INFINITE;
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

}  // namespace

bool ConfigureInputBuffers(HANDLE readHandle, int* inputReportLength, int* outputReportLength) {
    ULONG buffers = 0;
    Check([&] { return HidD_GetNumInputBuffers(readHandle, &buffers); });
    Check([&] { return HidD_SetNumInputBuffers(readHandle, kDriverInputBuffers); });

    int input = kFallbackInputReportLength;
    int output = kFallbackOutputReportLength;
    CPreparsedData preparsed;
    if (preparsed.Get(readHandle)) {
        HIDP_CAPS caps{};
        if (HidP_GetCaps(preparsed.Data(), &caps) == HIDP_STATUS_SUCCESS) {
            input = caps.InputReportByteLength;
            output = caps.OutputReportByteLength;
        }
        preparsed.Free();
    }
    if (!IsUsableInputReportLength(input)) return false;
    *inputReportLength = input;
    *outputReportLength = output;
    return true;
}

CHidWirelet::CHidWirelet() {
    m_StopEvent.Reset(CreateManualResetEvent());
    m_RepliesReady.Reset(CreateManualResetEvent());
    m_WriteDone.Reset(CreateManualResetEvent());
    m_ReadDone.Reset(CreateManualResetEvent());
    m_DrainDone.Reset(CreateManualResetEvent());
    m_BufferFreed.Reset(Check([] { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }));
}

CHidWirelet::~CHidWirelet() {
    StopReadThread();
    // The handles, the pool's buffers and the mutex are released by their owners; the read
    // thread has ended, so nothing uses them any more.
}

bool CHidWirelet::Open(const std::string& devicePath) {
    if (m_ReadThread.IsValid()) return false;  // a channel opens one device, once
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    // Both handles are overlapped. On a synchronous handle every call waits behind a pending
    // read, so the driver's queue could not be flushed while the read thread waits for input,
    // nor the thread stopped without cancelling a synchronous call. A write the device never
    // takes can be abandoned when the transaction's time runs out.
    CHandle read(
        CreateFileA(devicePath.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    CHandle write(
        CreateFileA(devicePath.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!read.IsValid() || !write.IsValid()) return false;

    CPreparsedData preparsed;
    if (!preparsed.Get(read.Get())) return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    HIDP_CAPS caps{};
    if (!HidD_GetAttributes(read.Get(), &attributes) || HidP_GetCaps(preparsed.Data(), &caps) != HIDP_STATUS_SUCCESS) {
        return false;
    }
    int input = 0;
    int output = 0;
    if (!ConfigureInputBuffers(read.Get(), &input, &output)) return false;

    // All storage is allocated before the thread starts: the read path never allocates.
    {
        CMutexLock lock(m_PoolMutex);
        m_Pool.Fill(kPoolBuffers, static_cast<std::size_t>(input));
    }
    m_Report.reset(new unsigned char[output > 0 ? output : 1]);
    m_DrainBuffer.reset(new unsigned char[input > 0 ? input : 1]);
    m_DevicePath = devicePath;
    m_InputReportLength = input;
    m_OutputReportLength = output;
    m_ReadHandle.Reset(read.Release());
    m_WriteHandle.Reset(write.Release());
    preparsed.Free();

    HANDLE thread = CreateThread(nullptr, 0, &CHidWirelet::ReadThreadProc, this, 0, nullptr);
    if (thread == nullptr) {
        m_ReadHandle.Close();
        m_WriteHandle.Close();
        m_InputReportLength = 0;
        m_OutputReportLength = 0;
        return false;
    }
    m_ReadThread.Reset(thread);
    return true;
}

int CHidWirelet::GetOutputPacketSize() { return PacketSizeOf(m_OutputReportLength); }

int CHidWirelet::GetInputPacketSize() { return PacketSizeOf(m_InputReportLength); }

bool CHidWirelet::IsDeviceGone() const { return m_DeviceGone != 0; }

DWORD WINAPI CHidWirelet::ReadThreadProc(void* channel) { return static_cast<CHidWirelet*>(channel)->ReadLoop(); }

DWORD CHidWirelet::ReadLoop() {
    try {
        // Raised for the thread's whole run; a platform that refuses only costs latency.
        std::optional<NQuillonWin32::CScopedPriority> priority;
        try {
            priority.emplace(NORMAL_PRIORITY_CLASS, THREAD_PRIORITY_HIGHEST);
        } catch (const CCheckException&) {
        }

        const HANDLE starvedWaits[2] = {m_StopEvent.Get(), m_BufferFreed.Get()};
        CPacketPool::SBuffer* current = nullptr;
        for (;;) {
            if (m_Stopping) return 0;
            {
                CMutexLock lock(m_PoolMutex);
                if (current == nullptr) current = TakeFreeHead();
                if (current != nullptr) {
                    ZeroMemory(&m_ReadOverlapped, sizeof m_ReadOverlapped);
                    m_ReadOverlapped.Internal = STATUS_PENDING;
                    m_ReadOverlapped.hEvent = m_ReadDone.Get();
                    m_ReadInFlight = true;
                    m_ReadStale = false;
                    InterlockedExchange(&m_ReadWaiting, 0);
                }
            }
            if (current == nullptr) {
                // Every buffer is queued: wait until a consumer frees one (at most 100 ms, as
                // before); meanwhile the driver buffers the input.
                if (WaitForMultipleObjects(2, starvedWaits, FALSE, kNoFreeBufferWaitMs) == WAIT_OBJECT_0) return 0;
                continue;
            }
            if (!ReadReport(current->data)) {
                // Any failed read counts as the device being gone (the codes differ between
                // platforms), unless the read was cancelled because the channel is closing.
                if (!m_Stopping) InterlockedExchange(&m_DeviceGone, 1);
                return 0;
            }
            CMutexLock lock(m_PoolMutex);
            m_ReadInFlight = false;
            if (m_ReadStale) continue;  // older than a drop that came meanwhile: read into it again
            if (m_Pool.QueueFreeHead() >= m_Pool.GetSignalThreshold()) SignalRepliesReady();
            current = nullptr;  // the next turn takes the free list's new head
        }
    } catch (...) {
        // A broken event or mutex leaves the channel unable to read: the same as a lost device.
        InterlockedExchange(&m_DeviceGone, 1);
        return 0;
    }
}

bool CHidWirelet::ReadReport(unsigned char* buffer) {
    const HANDLE device = m_ReadHandle.Get();
    if (ReadFile(device, buffer, static_cast<DWORD>(m_InputReportLength), nullptr, &m_ReadOverlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    // The driver had no report queued: the read waits in it and takes the next one.
    InterlockedExchange(&m_ReadWaiting, 1);
    const HANDLE waits[2] = {m_StopEvent.Get(), m_ReadDone.Get()};
    DWORD transferred = 0;
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        // Closing: the read still refers to the buffer and to m_ReadOverlapped, so it is
        // cancelled and its end waited for.
        CancelIoEx(device, &m_ReadOverlapped);
        GetOverlappedResult(device, &m_ReadOverlapped, &transferred, TRUE);
        return false;
    }
    return GetOverlappedResult(device, &m_ReadOverlapped, &transferred, FALSE) != FALSE;
}

void CHidWirelet::StopReadThread() {
    if (!m_ReadThread.IsValid()) return;
    HANDLE thread = m_ReadThread.Get();
    InterlockedExchange(&m_Stopping, 1);
    SetEvent(m_StopEvent.Get());
    // The thread waits for its read together with the stop event: it cancels the read and ends
    // without waiting for device input.
    if (WaitForSingleObject(thread, kReadThreadStopWaitMs) == WAIT_OBJECT_0) return;
    // Last resort: the platform could not cancel the read. The thread waits for its read to end,
    // where it holds neither the pool mutex nor the heap lock.
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, INFINITE);
}

bool CHidWirelet::WritePackets(const TPacketPointers& packets, DWORD start, DWORD timeoutMs) {
    if (packets.empty()) return true;
    if (m_OutputReportLength < 1 || !m_WriteHandle.IsValid()) return false;
    const HANDLE device = m_WriteHandle.Get();
    const DWORD length = static_cast<DWORD>(m_OutputReportLength);
    for (unsigned char* packet : packets) {
        ComposeOutputReport(packet, m_OutputReportLength, m_Report.get());
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_WriteDone.Get();
        DWORD written = 0;
        if (WriteFile(device, m_Report.get(), length, nullptr, &overlapped)) continue;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (WaitForSingleObject(overlapped.hEvent, Remaining(start, timeoutMs)) != WAIT_OBJECT_0) {
            // The device does not take the report: abandon the write, and wait until the
            // cancellation has landed because the write still refers to m_Report and overlapped.
            CancelIoEx(device, &overlapped);
            GetOverlappedResult(device, &overlapped, &written, TRUE);
            return false;
        }
        if (!GetOverlappedResult(device, &overlapped, &written, FALSE)) return false;
    }
    return true;
}

CPacketPool::SBuffer* CHidWirelet::TakeFreeHead() {
    const bool polling = m_ContinuousRead && GetTickCount() - m_LastPollTick < kStalledPollMs;
    if (m_Pool.FreeHead() == nullptr && !m_TransactionActive && !polling) {
        // Every buffer is queued and nobody is taking packets: the oldest is dropped and its
        // buffer read into, so that unprompted input never backs up in the driver, where the next
        // transaction would take it for its replies. A transaction, and continuous read while
        // the client polls, keep every packet for their caller.
        m_Pool.FreeOldestQueued();
    }
    CPacketPool::SBuffer* head = m_Pool.FreeHead();
    m_ReaderStarved = head == nullptr;
    return head;
}

void CHidWirelet::WakeStarvedReader() {
    if (!m_ReaderStarved) return;
    m_ReaderStarved = false;
    Check([&] { return SetEvent(m_BufferFreed.Get()); });
}

void CHidWirelet::SignalRepliesReady() {
    if (m_RepliesSignalled) return;
    Check([&] { return SetEvent(m_RepliesReady.Get()); });
    m_RepliesSignalled = true;
}

void CHidWirelet::ClearRepliesReady() {
    if (!m_RepliesSignalled) return;
    Check([&] { return ResetEvent(m_RepliesReady.Get()); });
    m_RepliesSignalled = false;
}

void CHidWirelet::PrepareForReplies(const TPacketPointers& replyPackets) {
    CMutexLock lock(m_PoolMutex);
    ClearRepliesReady();
    DropStaleInput();
    m_Pool.SetSignalThreshold(replyPackets.size());
    m_TransactionActive = true;
}

void CHidWirelet::DropStaleInput() {
    m_Pool.FreeAllQueued();
    WakeStarvedReader();
    // Reports waiting in the driver's queue of the read handle are as old as those in the pool.
    // While the read thread's read waits in the driver there are none: the driver completes a read
    // at once when a report is queued, and hands every new report to the waiting read. Otherwise
    // the queue is flushed, or, where the driver cannot flush it (Wine's HID stack answers
    // ERROR_NOT_SUPPORTED), read empty, from then on every time; nothing here is fatal.
    const bool readWaiting = m_ReadWaiting != 0 && !HasOverlappedIoCompleted(&m_ReadOverlapped);
    if (m_FlushFailed) {
        DrainDriverQueue();
    } else if (!readWaiting && !HidD_FlushQueue(m_ReadHandle.Get())) {
        m_FlushFailed = true;
        DrainDriverQueue();
    }
    // A read that has completed holds a report from before this point even though the read
    // thread has not queued it yet; one still pending gets what arrives from now on.
    if (m_ReadInFlight && HasOverlappedIoCompleted(&m_ReadOverlapped)) m_ReadStale = true;
}

void CHidWirelet::DrainDriverQueue() {
    // Every read of a queued report completes at once; the first that does not within a short
    // wait finds the queue empty and is cancelled.
    const HANDLE device = m_ReadHandle.Get();
    for (int i = 0; i < kMaxDrainReads; ++i) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_DrainDone.Get();
        DWORD transferred = 0;
        if (ReadFile(device, m_DrainBuffer.get(), static_cast<DWORD>(m_InputReportLength), nullptr, &overlapped)) {
            continue;
        }
        if (GetLastError() != ERROR_IO_PENDING) return;
        if (WaitForSingleObject(overlapped.hEvent, kDrainReadWaitMs) != WAIT_OBJECT_0) {
            CancelIoEx(device, &overlapped);
            GetOverlappedResult(device, &overlapped, &transferred, TRUE);  // refers to the buffer until then
            return;
        }
        if (!GetOverlappedResult(device, &overlapped, &transferred, FALSE)) return;
    }
}

void CHidWirelet::EndTransaction() noexcept {
    try {
        CMutexLock lock(m_PoolMutex);
        m_TransactionActive = false;
        WakeStarvedReader();  // an idle pool drains again
    } catch (const CCheckException&) {
        // The read thread finds the pool draining at its next look, within 100 ms.
    }
}

bool CHidWirelet::WaitForReplies(DWORD timeoutMs) {
    // The read thread's handle is signalled when it ends: after a failed read no reply can come,
    // so the wait ends at once instead of running out its time. Replies-ready comes first, so
    // replies queued just before the device went still count.
    HANDLE handles[2] = {m_RepliesReady.Get(), m_ReadThread.Get()};
    return WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

std::size_t CHidWirelet::DiscardReceived() {
    CMutexLock lock(m_PoolMutex);
    std::size_t dropped = m_Pool.FreeAllQueued();
    WakeStarvedReader();
    m_Pool.SetSignalThreshold(0);
    return dropped;
}

bool CHidWirelet::WriteReadPackets(const TPacketPointers& outPackets, const TPacketPointers& replyPackets,
                                   int* receivedCount, int timeoutMs) {
    *receivedCount = 0;
    const DWORD start = GetTickCount();
    const DWORD timeout = TransactionTimeout(timeoutMs, replyPackets.size());
    if (replyPackets.empty()) return WritePackets(outPackets, start, timeout);
    if (!m_ReadThread.IsValid() || IsDeviceGone()) {
        DiscardReceived();
        return false;
    }

    PrepareForReplies(replyPackets);
    // However the transaction ends, the pool drains again while idle.
    struct STransactionEnd {
        CHidWirelet* channel;
        ~STransactionEnd() { channel->EndTransaction(); }
    } transactionEnd{this};
    if (!WritePackets(outPackets, start, timeout)) {
        DiscardReceived();
        return false;
    }
    if (!WaitForReplies(Remaining(start, timeout))) {
        DiscardReceived();
        return false;
    }

    CMutexLock lock(m_PoolMutex);
    int copied = 0;
    for (unsigned char* reply : replyPackets) {
        CPacketPool::SBuffer* oldest = m_Pool.OldestQueued();
        if (oldest == nullptr) break;
        ExtractInputPacket(oldest->data, m_InputReportLength, reply);
        m_Pool.FreeOldestQueued();
        WakeStarvedReader();
        ++copied;
    }
    m_Pool.SetSignalThreshold(0);
    *receivedCount = copied;
    return true;
}

bool CHidWirelet::StartContinuousRead() {
    if (m_ContinuousRead) return false;
    CMutexLock lock(m_PoolMutex);
    ClearRepliesReady();
    DropStaleInput();
    m_Pool.SetSignalThreshold(kContinuousReadThreshold);
    m_ContinuousRead = true;
    m_LastPollTick = GetTickCount();
    return true;
}

bool CHidWirelet::StopContinuousRead() {
    if (!m_ContinuousRead) return false;
    CMutexLock lock(m_PoolMutex);
    DropStaleInput();
    m_Pool.SetSignalThreshold(0);
    m_ContinuousRead = false;
    return true;
}

bool CHidWirelet::ContinuousRead(unsigned char* packet) {
    if (!m_ContinuousRead) return false;
    CMutexLock lock(m_PoolMutex);
    m_LastPollTick = GetTickCount();
    ClearRepliesReady();
    CPacketPool::SBuffer* oldest = m_Pool.OldestQueued();
    if (oldest == nullptr) return false;
    ExtractInputPacket(oldest->data, m_InputReportLength, packet);
    m_Pool.FreeOldestQueued();
    WakeStarvedReader();
    return true;
}
