#pragma once
// The simulated devices' table, in named shared memory so that the hid.dll and setupapi.dll
// doubles of any process see what the simulator (in the test process) has set up. The session
// name comes from the environment variable ZEPHRA_HIDSIM_SESSION, which the simulator sets for
// its own process and which child processes inherit; each test process has its own session, so
// parallel tests never share a table or a pipe name.

#include <windows.h>

#include <string>

namespace NHidSim {

const wchar_t kSessionVariable[] = L"ZEPHRA_HIDSIM_SESSION";
const DWORD kTableMagic = 0x5A484453;  // "ZHDS"
const int kMaxDevices = 128;
const int kMaxRules = 16;
const int kMaxMisuse = 16;
const int kMaxPipeName = 120;

// The platform calls whose failure a test can inject.
enum ECall : LONG {
    kHidD_GetAttributes,
    kHidD_GetPreparsedData,
    kHidD_FreePreparsedData,
    kHidP_GetCaps,
    kHidD_GetNumInputBuffers,
    kHidD_SetNumInputBuffers,
    kHidD_FlushQueue,
    kHidD_GetHidGuid,  // counted only; it cannot fail
    kSetupDiGetClassDevsA,
    kSetupDiEnumDeviceInterfaces,
    kSetupDiGetDeviceInterfaceDetailA,  // only calls that pass a detail buffer can be made to fail
    kSetupDiDestroyDeviceInfoList,
    kCallCount
};

struct SSharedDevice {
    LONG used;
    LONG present;
    LONG held;                    // opened elsewhere without sharing: nobody else can open it
    char pipeName[kMaxPipeName];  // the device path is \\.\pipe\<pipeName>
    USHORT vendorId;
    USHORT productId;
    USHORT version;
    LONG inputReportLength;
    LONG outputReportLength;
    // The longest input queue any handle of the device has asked for through
    // HidD_SetNumInputBuffers (each handle starts at the driver's default of 32): the simulator
    // keeps that many reports per handle, and the hid.dll double cuts each handle's queue to the
    // handle's own count before the handle reads.
    LONG numInputBuffers;
    LONG flushedReports;      // input reports taken out of handles' queues by HidD_FlushQueue
    LONG lostReports;         // input reports a handle lost to its own full queue (cut by the double)
    LONG queuedReadDelayMs;   // a read served from the queue completes this much later (0: at once)
    LONG writesUncancelable;  // writes waiting for the device ignore CancelIoEx
};

// Makes `call` fail with `error` (for HidP_GetCaps: HIDP_STATUS_INVALID_PREPARSED_DATA) on the
// given device (-1: any), after letting `skip` matching calls through, `times` times (-1: always).
struct SFailureRule {
    LONG active;
    LONG call;
    LONG device;
    LONG skip;
    LONG times;
    DWORD error;
};

struct STable {
    DWORD magic;
    LONG deviceCount;
    SSharedDevice devices[kMaxDevices];
    SFailureRule rules[kMaxRules];
    LONG calls[kCallCount];
    LONG outstandingPreparsed;   // preparsed data handed out and not yet freed
    LONG outstandingDeviceSets;  // device information sets not yet destroyed
    LONG flushUnsupported;       // HidD_FlushQueue fails with ERROR_NOT_SUPPORTED, as Wine's own stack does
    LONG misuseCount;
    char misuse[kMaxMisuse][200];
};

// A view of one session's table and the named mutex that guards it.
class CSharedTable {
public:
    CSharedTable() = default;
    ~CSharedTable();
    CSharedTable(const CSharedTable&) = delete;
    CSharedTable& operator=(const CSharedTable&) = delete;

    // The simulator creates the session; the doubles open it.
    bool Create(const std::wstring& session);
    bool Open(const std::wstring& session);
    STable* Get() const { return m_Table; }
    void Lock() const;
    void Unlock() const;

private:
    HANDLE m_Mapping = nullptr;
    HANDLE m_Mutex = nullptr;
    STable* m_Table = nullptr;
};

class CTableLock {
public:
    explicit CTableLock(const CSharedTable& table) : m_Table(table) { m_Table.Lock(); }
    ~CTableLock() { m_Table.Unlock(); }
    CTableLock(const CTableLock&) = delete;
    CTableLock& operator=(const CTableLock&) = delete;

private:
    const CSharedTable& m_Table;
};

// Called with the table locked: the error to fail `call` on `device` with, or 0 to let it pass.
// Also counts the call.
DWORD TakeInjectedFailure(STable& table, ECall call, LONG device);
// Called with the table locked: records a misuse of a double (shown by the simulator's checks).
void RecordMisuse(STable& table, const char* what);
// "\\.\pipe\<name>"
std::string DevicePathOf(const SSharedDevice& device);

}  // namespace NHidSim

namespace NHidSim {

// For the doubles: the table of the session named by ZEPHRA_HIDSIM_SESSION, or null when no
// simulator runs (then there are no devices). Reopened when the variable names a new session.
CSharedTable* SessionTable();

// For the doubles: which simulated device a device handle refers to (its pipe's name, read with
// NtQueryObject), or -1. *gone is set when the handle refers to a pipe whose server end has been
// closed (the device was unplugged). Call with the table locked.
LONG DeviceOfHandle(const STable& table, HANDLE handle, bool* gone);

}  // namespace NHidSim
