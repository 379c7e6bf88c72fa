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
// The read thread's wait for a free buffer when every buffer is queued.
const DWORD kNoFreeBufferWaitMs = 100;
// Threshold that keeps replies-ready clear until the whole pool is queued.
const std::size_t kContinuousReadThreshold = 100;
// Where the driver cannot flush its queue, a transaction waits this long at most for the read
// thread to read the stale reports out of it (at most as many as the queue holds, each of which
// the driver hands over at once) before it writes.
const DWORD kDrainWaitMs = 250;
// How long a cancelled write may take to end before it is left under way. A write the driver can
// cancel ends within microseconds; one that it has handed to the device ends when the device
// takes the report or goes.
const DWORD kWriteCancelWaitMs = 100;
// On closing, how long a write that could not be cancelled may take to end once its handle is
// closed.
const DWORD kClosedWriteWaitMs = 1000;
// Open's wait for the read thread's first read; it is made within moments of the thread's start.
const DWORD kFirstReadWaitMs = 1000;

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
    EndWrite();
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
    m_Write.reset(new SWrite{});
    m_Write->report.reset(new unsigned char[output > 0 ? output : 1]);
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
    // Until the read thread's first read, a drop could not tell reports that wait in the driver
    // from ones that come later: the channel is ready once that read is made (the drain event is
    // reset until then).
    const HANDLE started[2] = {m_DrainDone.Get(), thread};
    WaitForMultipleObjects(2, started, FALSE, kFirstReadWaitMs);
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
            EReadStart start = kNoFreeBuffer;
            {
                // The read starts under the mutex, so a drop always finds it either not started
                // or in a state it can judge.
                CMutexLock lock(m_PoolMutex);
                if (current == nullptr) current = TakeFreeHead();
                start = current != nullptr ? StartRead(current->data) : kNoFreeBuffer;
                if (start == kReadFromQueue) {
                    // A stale report of a drain is read over; any other is queued. The next read
                    // starts in a hold of its own, so a drain never holds the mutex throughout.
                    if (!TakeDrainedReport()) {
                        QueueReport();
                        current = nullptr;
                    }
                    continue;
                }
            }
            if (start == kNoFreeBuffer) {
                // Every buffer is queued: wait until a consumer frees one (at most 100 ms, as
                // before); meanwhile the driver buffers the input.
                if (WaitForMultipleObjects(2, starvedWaits, FALSE, kNoFreeBufferWaitMs) == WAIT_OBJECT_0) return 0;
                continue;
            }
            if (start == kReadFailed || !WaitForRead()) {
                // Any failed read counts as the device being gone (the codes differ between
                // platforms), unless the read was cancelled because the channel is closing.
                if (!m_Stopping) InterlockedExchange(&m_DeviceGone, 1);
                return 0;
            }
            // The report of a read that waited is queued in a hold of its own: a transaction
            // waiting for it takes it without waiting for the next read's start.
            CMutexLock lock(m_PoolMutex);
            m_ReadPending = false;
            if (m_ReadStale) continue;  // older than a drop that came meanwhile: read into it again
            QueueReport();
            current = nullptr;  // the next turn takes the free list's new head
        }
    } catch (...) {
        // A broken event or mutex leaves the channel unable to read: the same as a lost device.
        InterlockedExchange(&m_DeviceGone, 1);
        return 0;
    }
}

CHidWirelet::EReadStart CHidWirelet::StartRead(unsigned char* buffer) {
    ZeroMemory(&m_ReadOverlapped, sizeof m_ReadOverlapped);
    m_ReadOverlapped.hEvent = m_ReadDone.Get();
    m_ReadStale = false;
    if (ReadFile(m_ReadHandle.Get(), buffer, static_cast<DWORD>(m_InputReportLength), nullptr, &m_ReadOverlapped)) {
        // No drain under way: the drain event says so (it is reset until the first read).
        if (m_DrainRemaining == 0) EndDrain();
        return kReadFromQueue;
    }
    if (GetLastError() != ERROR_IO_PENDING) return kReadFailed;
    // The driver had no report queued: the read waits in it and takes the next one, so nothing
    // stale is left there to drain.
    m_ReadPending = true;
    EndDrain();
    return kReadWaits;
}

bool CHidWirelet::WaitForRead() {
    const HANDLE device = m_ReadHandle.Get();
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

void CHidWirelet::QueueReport() {
    if (m_Pool.QueueFreeHead() >= m_Pool.GetSignalThreshold()) SignalRepliesReady();
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
    bool wrote = false;
    // A write left under way by an earlier time-out holds the report buffer until it ends.
    if (!AwaitWrite(Remaining(start, timeoutMs), &wrote)) return false;
    const HANDLE device = m_WriteHandle.Get();
    const DWORD length = static_cast<DWORD>(m_OutputReportLength);
    SWrite& write = *m_Write;
    for (unsigned char* packet : packets) {
        ComposeOutputReport(packet, m_OutputReportLength, write.report.get());
        ZeroMemory(&write.overlapped, sizeof write.overlapped);
        write.overlapped.hEvent = m_WriteDone.Get();
        if (WriteFile(device, write.report.get(), length, nullptr, &write.overlapped)) continue;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        write.inFlight = true;
        if (!AwaitWrite(Remaining(start, timeoutMs), &wrote)) {
            // The device does not take the report: the write is cancelled. One that the driver
            // has handed to the device already may not be cancellable; it stays under way, and
            // the next write waits for it.
            CancelIoEx(device, &write.overlapped);
            AwaitWrite(kWriteCancelWaitMs, &wrote);
            return false;
        }
        if (!wrote) return false;
    }
    return true;
}

bool CHidWirelet::AwaitWrite(DWORD waitMs, bool* wrote) {
    SWrite& write = *m_Write;
    *wrote = true;
    if (!write.inFlight) return true;
    if (WaitForSingleObject(write.overlapped.hEvent, waitMs) != WAIT_OBJECT_0) return false;
    DWORD written = 0;
    *wrote = GetOverlappedResult(m_WriteHandle.Get(), &write.overlapped, &written, FALSE) != FALSE;
    write.inFlight = false;
    return true;
}

void CHidWirelet::EndWrite() noexcept {
    if (!m_Write || !m_Write->inFlight) return;
    SWrite& write = *m_Write;
    CancelIoEx(m_WriteHandle.Get(), &write.overlapped);
    bool wrote = false;
    if (AwaitWrite(kWriteCancelWaitMs, &wrote)) return;
    // Closing the handle ends what the driver still holds for it, given time.
    try {
        m_WriteHandle.Close();
    } catch (const CCheckException&) {
    }
    if (WaitForSingleObject(write.overlapped.hEvent, kClosedWriteWaitMs) == WAIT_OBJECT_0 &&
        HasOverlappedIoCompleted(&write.overlapped)) {
        return;
    }
    // The system may still write the write's status into its OVERLAPPED, and read its report:
    // that memory is left to it.
    m_Write.release();
}

CPacketPool::SBuffer* CHidWirelet::TakeFreeHead() {
    if (m_Pool.FreeHead() == nullptr && !m_TransactionActive && !m_ContinuousRead) {
        // Every buffer is queued and the channel is idle: the oldest is dropped and its buffer
        // read into, so that unprompted input does not back up in the driver. A transaction, and
        // continuous read however long the client pauses, keep every packet for their caller; the
        // read thread then waits for a free buffer and the driver buffers the rest.
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

bool CHidWirelet::PrepareForReplies(const TPacketPointers& replyPackets) {
    CMutexLock lock(m_PoolMutex);
    ClearRepliesReady();
    DropStaleInput();
    m_Pool.SetSignalThreshold(replyPackets.size());
    m_TransactionActive = true;
    return !m_DrainSignalled;
}

void CHidWirelet::DropStaleInput() {
    m_Pool.FreeAllQueued();
    WakeStarvedReader();
    if (m_ReadPending) {
        // A read that still waits in the driver has nothing queued before it (the driver completes
        // a read at once when a report is queued) and gets what arrives from now on. One that has
        // completed holds a report from before this point, though the read thread has not queued
        // it yet; more may wait behind it.
        if (!HasOverlappedIoCompleted(&m_ReadOverlapped)) return;
        m_ReadStale = true;
    }
    // Reports waiting in the driver's queue of the read handle are as old as those in the pool.
    // They are flushed, or, where the driver cannot flush (Wine's HID stack answers
    // ERROR_NOT_SUPPORTED), read out by the read thread, from then on every time; nothing here
    // is fatal.
    if (!m_FlushFailed) {
        if (HidD_FlushQueue(m_ReadHandle.Get())) return;
        m_FlushFailed = true;
    }
    StartDrain();
}

void CHidWirelet::StartDrain() {
    // The queue holds no more reports than the driver was asked to buffer.
    m_DrainRemaining = static_cast<std::size_t>(kDriverInputBuffers);
    if (!m_DrainSignalled) return;
    Check([&] { return ResetEvent(m_DrainDone.Get()); });
    m_DrainSignalled = false;
}

void CHidWirelet::EndDrain() {
    m_DrainRemaining = 0;
    if (m_DrainSignalled) return;
    Check([&] { return SetEvent(m_DrainDone.Get()); });
    m_DrainSignalled = true;
}

bool CHidWirelet::TakeDrainedReport() {
    if (m_DrainRemaining == 0) return false;
    if (--m_DrainRemaining == 0) EndDrain();
    return true;
}

void CHidWirelet::WaitForDrain() {
    // The read thread's end also ends the wait: nothing drains any more.
    const HANDLE waits[2] = {m_DrainDone.Get(), m_ReadThread.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, kDrainWaitMs) == WAIT_OBJECT_0) return;
    // Out of time (or no reader): what is left counts as new input.
    CMutexLock lock(m_PoolMutex);
    EndDrain();
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
    const DWORD timeout = TransactionTimeout(timeoutMs, replyPackets.size());
    if (replyPackets.empty()) return WritePackets(outPackets, GetTickCount(), timeout);
    if (!m_ReadThread.IsValid() || IsDeviceGone()) {
        DiscardReceived();
        return false;
    }

    const bool draining = PrepareForReplies(replyPackets);
    // However the transaction ends, the pool drains again while idle.
    struct STransactionEnd {
        CHidWirelet* channel;
        ~STransactionEnd() { channel->EndTransaction(); }
    } transactionEnd{this};
    if (draining) WaitForDrain();
    // The time-out counts from the write, once stale input is gone.
    const DWORD start = GetTickCount();
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
    ClearRepliesReady();
    CPacketPool::SBuffer* oldest = m_Pool.OldestQueued();
    if (oldest == nullptr) return false;
    ExtractInputPacket(oldest->data, m_InputReportLength, packet);
    m_Pool.FreeOldestQueued();
    WakeStarvedReader();
    return true;
}
