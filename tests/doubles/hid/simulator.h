#pragma once
// Simulated HID remote controls for tests and benchmarks. Each device is a message-mode named
// pipe served here (so the code under test does real, blocking kernel I/O on it) plus an entry in
// the session's shared table that the hid.dll and setupapi.dll doubles read. The code under test
// may run in this process or in a child process (children inherit the session variable).
//
// Input reports go to every handle open on the device, as the HID driver copies each report to
// every open handle; each handle queues up to its own input-buffer count of reports for its reader
// (32 when opened, then as set on that handle) and loses the oldest beyond that. HidD_FlushQueue
// empties the queue of the handle it is given, or fails with ERROR_NOT_SUPPORTED as Wine's own HID
// stack does (SetFlushSupported). Every output report is recorded. A handle count is kept from the
// pipe server's side: a handle is counted from its CreateFile until the client closes it.

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_table.h"

namespace NHidSim {

typedef std::vector<unsigned char> TReport;

struct SDeviceSpec {
    std::string name;  // the device path is \\.\pipe\<session>-<name>: the name decides path order
    unsigned short vendorId = 0xE47A;
    unsigned short productId = 0x0001;
    unsigned short version = 0x0100;
    int inputReportLength = 65;
    int outputReportLength = 65;
};

class CHidSimulator {
public:
    // Starts a new session and names it in this process's environment.
    CHidSimulator();
    // Unplugs every device, stops serving and ends the session.
    ~CHidSimulator();
    CHidSimulator(const CHidSimulator&) = delete;
    CHidSimulator& operator=(const CHidSimulator&) = delete;

    const std::wstring& Session() const { return m_Session; }

    // Adds a present device; returns its id.
    int Plug(const SDeviceSpec& spec);
    // The device disappears: enumeration no longer lists it, opening it fails, and every open
    // handle fails its pending and later I/O.
    void Unplug(int device);
    // The same device (same path) comes back.
    void Replug(int device);
    // Another program holds the device open without sharing: new opens fail, open handles go on.
    void HoldExclusively(int device, bool held);
    std::string DevicePath(int device) const;

    // Makes a HID or SetupAPI call fail (see SFailureRule); device -1 means any device.
    void FailCall(ECall call, DWORD error, int device = -1, int skip = 0, int times = -1);
    void ClearFailures();
    long CallCount(ECall call) const;
    // The largest input-buffer count set on any handle of the device (32 if none was set).
    int NumInputBuffers(int device) const;

    // HidD_FlushQueue fails with ERROR_NOT_SUPPORTED and flushes nothing, on every device (as
    // Wine's own HID stack always does), or works again.
    void SetFlushSupported(bool supported);
    // A read on an overlapped handle of the device that finds a report queued takes it out of the
    // queue at once but completes delayMs later; until then its OVERLAPPED says it is pending.
    // 0 ends it. Reads that wait for input complete as the input comes.
    void DelayQueuedReads(int device, DWORD delayMs);
    // Overlapped writes that wait for the device ignore CancelIoEx: they end when the device takes
    // the report, when it is unplugged or when their handle is closed (as a write the HID stack has
    // handed to the device does on Windows).
    void SetWritesCancelable(int device, bool cancelable);

    // Delivers one input report (exactly the input report length, report ID first).
    void SendInput(int device, const TReport& report);
    // Delivers a packet as an input report with the given report ID in front, zero-padded.
    void SendPacket(int device, const TReport& packet, unsigned char reportId = 0);
    // Sends count input reports paced at rateHz from the calling thread; report bytes 1-4 carry
    // the sequence number (little-endian, from first). Returns when all are sent.
    void SendSequence(int device, unsigned long first, unsigned long count, double rateHz);

    // The device stops taking output reports (writes to it block once the pipe is full) or
    // takes them again.
    void StallOutput(int device, bool stalled);
    std::vector<TReport> OutputReports(int device) const;
    bool WaitForOutputReports(int device, std::size_t count, DWORD timeoutMs) const;
    // Waits until the client of one open handle has read count input reports.
    bool WaitForDelivered(int device, unsigned long count, DWORD timeoutMs) const;
    // Waits until every handle that reads has read all the input sent to it (none is waiting in
    // the simulated driver).
    bool WaitForDrained(int device, DWORD timeoutMs) const;
    // Called on the server thread for each output report (after it is recorded), e.g. to answer.
    void OnOutputReport(int device, std::function<void(const TReport&)> handler);

    // Handles open on the device now, as the pipe server sees them.
    int OpenHandles(int device);
    bool WaitForOpenHandles(int device, int count, DWORD timeoutMs);
    // Total opens the device has seen.
    int OpenCount(int device);
    // Input reports lost because a handle that reads them fell more than its input-buffer count
    // behind (the handle that only writes never reads and is not counted). WaitForDelivered counts
    // a report the double cut from a handle's queue as delivered.
    unsigned long Overruns(int device) const;
    // Input reports that HidD_FlushQueue took out of a handle's queue.
    long FlushedReports(int device) const;

    // What the doubles and the server found wrong: misuse of the platform calls, malformed output
    // reports, preparsed data or device lists still outstanding. Empty when all is well.
    std::vector<std::string> Problems() const;

private:
    struct SInstance;
    struct SDevice;
    struct SOp {
        OVERLAPPED overlapped;
        SInstance* instance;
        int kind;
    };
    struct SWriteOp : SOp {
        bool busy = false;
        bool dropped = false;  // withdrawn because the handle's queue was full
        TReport data;
    };

    SDevice& DeviceAt(int device) const;
    void ServeLoop();
    void EnsureListening(SDevice& device);
    void CreateListeningInstance(SDevice& device);
    void OnConnected(SInstance& instance);
    void StartRead(SInstance& instance);
    void StartWrite(SInstance& instance, const TReport& report);
    void DropOldest(SInstance& instance);
    void CloseInstance(SInstance& instance);
    void DeleteIfDone(SInstance& instance);
    void SweepDisconnected(SDevice& device);
    void AdoptCompletedConnects(SDevice& device);
    void Complete(SOp& op, bool ok, DWORD bytes, DWORD error,
                  std::vector<std::pair<std::function<void(const TReport&)>, TReport>>& answers);

    std::wstring m_Session;
    CSharedTable m_Table;
    HANDLE m_Port = nullptr;
    std::thread m_Server;
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::vector<std::unique_ptr<SDevice>> m_Devices;
    std::vector<std::string> m_Problems;
};

}  // namespace NHidSim
