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
    // then closes the device.
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
    static DWORD WINAPI ReadThreadProc(void* channel);
    DWORD ReadLoop();
    // On the read thread: reads one input report into buffer through m_ReadOverlapped, waiting
    // for it or for the stop event. False when the read failed or the channel is closing.
    bool ReadReport(unsigned char* buffer);
    // Under the pool mutex: drops every packet older than now, in the pool and in the driver's
    // queue, and the report of a read that has completed but is not queued yet.
    void DropStaleInput();
    // Under the pool mutex, where the driver cannot flush its queue: reads it empty.
    void DrainDriverQueue();
    void StopReadThread();
    bool WritePackets(const TPacketPointers& packets, DWORD start, DWORD timeoutMs);
    void PrepareForReplies(const TPacketPointers& replyPackets);
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
    // Manual-reset; the read thread's read, and the reads of DrainDriverQueue.
    NQuillonWin32::CHandle m_ReadDone;
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
    // When the client last polled in continuous read (guarded by the pool mutex).
    DWORD m_LastPollTick = 0;
    // Reusable output report buffer (output report length bytes), allocated by Open.
    std::unique_ptr<unsigned char[]> m_Report;
    // Where DrainDriverQueue reads to (input report length bytes), allocated by Open.
    std::unique_ptr<unsigned char[]> m_DrainBuffer;
    // The read thread's read into the free list's head. Consumers look at its status under the
    // pool mutex; it is STATUS_PENDING from the moment the read is set up until it completes.
    OVERLAPPED m_ReadOverlapped{};
    // A read has been set up and its report not yet queued (guarded by the pool mutex).
    bool m_ReadInFlight = false;
    // That read completed before stale input was dropped: its report is dropped too (guarded by
    // the pool mutex).
    bool m_ReadStale = false;
    // Set by the read thread once its read waits in the driver, cleared when it sets up the next.
    volatile LONG m_ReadWaiting = 0;
    // The driver could not flush its queue once: it is read empty instead (guarded by the pool
    // mutex).
    bool m_FlushFailed = false;
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
