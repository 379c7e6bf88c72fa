#pragma once
// CHidWirelet: a device channel over one HID device. A read thread reads input reports into a
// pool of 100 preallocated buffers; transactions and continuous reads take packets from that
// pool's received queue.

#include <windows.h>

#include <memory>
#include <string>

#include "wirelet/device/packet_pool.h"
#include "wirelet/device/wirelet.h"
#include "wirelet/support/handle.h"
#include "wirelet/support/mutex.h"

class CHidWirelet : public CWirelet {
public:
    CHidWirelet();
    // Stops the read thread without waiting for device input (its overlapped read is cancelled),
    // then closes the device. A write the driver cannot cancel is given a short while to end.
    ~CHidWirelet() override;
    CHidWirelet(const CHidWirelet&) = delete;
    CHidWirelet& operator=(const CHidWirelet&) = delete;

    // Opens the device and starts the read thread. Returns false, leaving no handle open and no
    // thread running, when the device cannot be opened or used. Called once.
    bool Open(const std::string& devicePath);

    int GetOutputPacketSize() override;
    int GetInputPacketSize() override;
    bool WriteReadPackets(const TPacketPointers& outPackets, const TPacketPointers& replyPackets, int* receivedCount,
                          int timeoutMs) override;
    bool StartContinuousRead() override;
    bool StopContinuousRead() override;
    bool ContinuousRead(unsigned char* packet) override;

    // True once the read thread has ended on a failed read (the device is gone).
    bool IsDeviceGone() const override;

private:
    // How a read that the read thread starts under the pool mutex went.
    enum EReadStart { kNoFreeBuffer, kReadFromQueue, kReadWaits, kReadFailed };
    // The write under way: its OVERLAPPED and report buffer stay valid until the write has ended,
    // past the channel's end if the driver holds it that long.
    struct SWrite {
        OVERLAPPED overlapped;
        std::unique_ptr<unsigned char[]> report;
        bool inFlight;
    };

    static DWORD WINAPI ReadThreadProc(void* channel);
    DWORD ReadLoop();
    // Under the pool mutex, on the read thread: starts the read of one input report into buffer
    // through m_ReadOverlapped. An overlapped read does not block: the driver completes it at once
    // from its queue, or keeps it pending until input comes.
    EReadStart StartRead(unsigned char* buffer);
    // On the read thread, without the mutex: waits for the pending read or the stop event. False
    // when the read failed or the channel is closing.
    bool WaitForRead();
    // Under the pool mutex: queues the report just read into the free list's head.
    void QueueReport();
    // Under the pool mutex: drops every packet older than now, in the pool and in the driver's
    // queue, and the report of a read that has completed but is not queued yet.
    void DropStaleInput();
    // Under the pool mutex, where the driver cannot flush: the read thread reads the reports
    // queued in the driver and drops them, until a read waits (the queue is empty) or as many
    // reads as the queue holds have been made. TakeDrainedReport tells the read thread whether
    // the report it has just read from the queue goes.
    void StartDrain();
    void EndDrain();
    bool TakeDrainedReport();
    // A transaction waits (without the mutex, for a short while at most) until no stale report is
    // left in the driver's queue, so that its replies are the only input after its write.
    void WaitForDrain();
    void StopReadThread();
    bool WritePackets(const TPacketPointers& packets, DWORD start, DWORD timeoutMs);
    // Waits up to waitMs for the write under way to end; false while it is still under way.
    // *wrote tells whether it succeeded.
    bool AwaitWrite(DWORD waitMs, bool* wrote);
    // On closing: a write still under way is cancelled or, failing that, given time to end.
    void EndWrite() noexcept;
    // Drops stale input and sets the threshold; true when a drain of the driver's queue is under way.
    bool PrepareForReplies(const TPacketPointers& replyPackets);
    // The transaction no longer keeps the pool's packets (under the pool mutex).
    void EndTransaction() noexcept;
    // Under the pool mutex: sets or clears replies-ready, calling the kernel only on a change.
    void SignalRepliesReady();
    // Under the pool mutex: the free list's head for the read thread, noting when there is none;
    // and the wake-up of a read thread that found none, once a buffer is free again.
    CPacketPool::SBuffer* TakeFreeHead();
    void WakeStarvedReader();
    void ClearRepliesReady();
    bool WaitForReplies(DWORD timeoutMs);
    std::size_t DiscardReceived();

    std::string m_DevicePath;
    NQuillonWin32::CHandle m_ReadHandle;
    NQuillonWin32::CHandle m_WriteHandle;
    NQuillonWin32::CHandle m_ReadThread;
    NQuillonWin32::CHandle m_StopEvent;
    NQuillonWin32::CHandle m_RepliesReady;
    NQuillonWin32::CHandle m_WriteDone;
    // Manual-reset; the read thread's read.
    NQuillonWin32::CHandle m_ReadDone;
    // Manual-reset; set while no drain of the driver's queue is under way, from the read thread's
    // first read on.
    NQuillonWin32::CHandle m_DrainDone;
    // Auto-reset; set when a buffer is freed while the read thread waits for one.
    NQuillonWin32::CHandle m_BufferFreed;
    int m_InputReportLength = 0;
    int m_OutputReportLength = 0;
    NQuillonWin32::CMutex m_PoolMutex;
    CPacketPool m_Pool;
    // Written under the pool mutex (the read thread reads it there); the Java thread reads it freely.
    bool m_ContinuousRead = false;
    // A transaction waits for replies: the pool keeps every packet (guarded by the pool mutex).
    bool m_TransactionActive = false;
    // Allocated by Open; used by the Java thread only.
    std::unique_ptr<SWrite> m_Write;
    // The read thread's read into the free list's head, started under the pool mutex.
    OVERLAPPED m_ReadOverlapped{};
    // That read went pending and its report is not queued yet (guarded by the pool mutex).
    // Consumers judge it by HasOverlappedIoCompleted under the mutex.
    bool m_ReadPending = false;
    // That read completed before stale input was dropped: its report is dropped too (guarded by
    // the pool mutex).
    bool m_ReadStale = false;
    // The driver could not flush its queue once: it is drained by reading from then on (guarded
    // by the pool mutex).
    bool m_FlushFailed = false;
    // Reads from the driver's queue the drain may still drop, and whether m_DrainDone is set
    // (guarded by the pool mutex).
    std::size_t m_DrainRemaining = 0;
    bool m_DrainSignalled = false;
    volatile LONG m_DeviceGone = 0;
    // Set before the stop event, so the read loop can test it between reads without a kernel call.
    volatile LONG m_Stopping = 0;
    // Whether replies-ready is set (guarded by the pool mutex).
    bool m_RepliesSignalled = false;
    // The read thread found no free buffer (guarded by the pool mutex).
    bool m_ReaderStarved = false;
};

// Asks the driver to buffer 100 input reports and reads the report lengths from the device's
// capabilities (17 and 9 when they cannot be read). Returns false, storing nothing, when the
// input report is longer than 65 bytes. Throws CCheckException when the driver refuses the
// buffer-count calls or the preparsed data cannot be freed.
bool ConfigureInputBuffers(HANDLE readHandle, int* inputReportLength, int* outputReportLength);
