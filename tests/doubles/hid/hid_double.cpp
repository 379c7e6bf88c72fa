// hid.dll double: the HID class driver interface over the simulated devices. A device handle is a
// client handle of the device's named pipe; the device is found from the pipe's name. Misuse
// (unknown handles, foreign or twice-freed preparsed data) is recorded for the simulator's checks.

// clang-format off
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <psapi.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "sim_table.h"

using namespace NHidSim;

namespace {

// ---- Windows serialises the I/O of a synchronous handle ----
// A call on a handle opened without FILE_FLAG_OVERLAPPED waits until the I/O already running on it
// has completed: a HidD_ call made while another thread's ReadFile is pending on the handle waits
// until that read has a report, however long the device stays quiet, and a ReadFile waits for a
// HidD_ call in progress. The double keeps that rule: it sees every ReadFile of the modules that
// use hid.dll (their imports of kernel32 are pointed at the hooks below) and holds a HidD_ call on
// a synchronous handle behind the reads pending on it. Such a wait is also recorded as a misuse,
// since a program that makes one can hang for as long as no input comes.
//
// ---- What the class driver keeps per handle ----
// Each handle opened on a device has its own input-buffer count (32 when it is opened; 2 to 512
// through HidD_SetNumInputBuffers) and its own queue of that many reports, losing the oldest when
// full. The simulator queues up to the device's largest count for every handle; before a handle
// reads (or is flushed), the double cuts its queue to the handle's own count, oldest first, which
// is what the handle would have kept. The hooks on CreateFile and CloseHandle tell a new handle
// from an old one that had the same value.
//
// ---- Modes that make the double as hard as the platforms ----
// - HidD_FlushQueue can fail with ERROR_NOT_SUPPORTED, flushing nothing, as Wine's own HID stack
//   always does (STable::flushUnsupported).
// - A read served from the queue can complete late: the report is out of the queue at once, while
//   the caller's OVERLAPPED stays pending for a while (queuedReadDelayMs), as a read the driver
//   completes from its queue does until the I/O manager has written its status back.
// - Writes waiting for the device can ignore CancelIoEx (writesUncancelable), as a write the HID
//   stack has handed to the device does on Windows: it ends when the device takes the report, when
//   the device goes, or when its handle is closed.

struct SHandleIo {
    HANDLE handle;
    int reads;     // ReadFile calls inside the system now
    bool hidCall;  // a HidD_ call holds the (synchronous) handle
};

// A handle open on a simulated device.
struct SDeviceHandle {
    HANDLE handle;
    LONG device;
    bool synchronous;
    ULONG buffers;                     // its input-buffer count
    std::vector<LPOVERLAPPED> writes;  // overlapped writes that went pending (some may be done)
};

const ULONG kDefaultInputBuffers = 32;

CRITICAL_SECTION g_IoLock;
CONDITION_VARIABLE g_IoChanged = CONDITION_VARIABLE_INIT;
std::vector<SHandleIo>* g_Io = nullptr;                 // guarded by g_IoLock
std::vector<SDeviceHandle>* g_DeviceHandles = nullptr;  // guarded by g_IoLock

typedef BOOL(WINAPI* TReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI* TWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef HANDLE(WINAPI* TCreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef HANDLE(WINAPI* TCreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef BOOL(WINAPI* TCloseHandle)(HANDLE);
typedef BOOL(WINAPI* TCancelIoEx)(HANDLE, LPOVERLAPPED);
TReadFile g_RealReadFile = nullptr;
TWriteFile g_RealWriteFile = nullptr;
TCreateFileA g_RealCreateFileA = nullptr;
TCreateFileW g_RealCreateFileW = nullptr;
TCloseHandle g_RealCloseHandle = nullptr;
TCancelIoEx g_RealCancelIoEx = nullptr;

SHandleIo& IoOf(HANDLE handle) {
    for (SHandleIo& io : *g_Io) {
        if (io.handle == handle) return io;
    }
    g_Io->push_back(SHandleIo{handle, 0, false});
    return g_Io->back();
}

void ForgetIfIdle(HANDLE handle) {
    for (auto it = g_Io->begin(); it != g_Io->end(); ++it) {
        if (it->handle == handle && it->reads == 0 && !it->hidCall) {
            g_Io->erase(it);
            return;
        }
    }
}

// Call with g_IoLock held.
SDeviceHandle* DeviceHandleOf(HANDLE handle) {
    for (SDeviceHandle& entry : *g_DeviceHandles) {
        if (entry.handle == handle) return &entry;
    }
    return nullptr;
}

void ForgetDeviceHandle(HANDLE handle) {
    EnterCriticalSection(&g_IoLock);
    for (auto it = g_DeviceHandles->begin(); it != g_DeviceHandles->end(); ++it) {
        if (it->handle == handle) {
            g_DeviceHandles->erase(it);
            break;
        }
    }
    LeaveCriticalSection(&g_IoLock);
}

bool IsSynchronous(HANDLE handle) {
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    const auto kFileModeInformation = static_cast<FILE_INFORMATION_CLASS>(16);
    if (NtQueryInformationFile(handle, &status, &mode, sizeof mode, kFileModeInformation) != 0) return false;
    return (mode & (0x10 /* FILE_SYNCHRONOUS_IO_ALERT */ | 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */)) != 0;
}

// Notes a handle of a simulated device (if it is one) with its driver-fresh state; a handle known
// under the same value before is forgotten. Takes the table lock, so it is called without g_IoLock.
void NoteOpenedHandle(HANDLE handle) {
    ForgetDeviceHandle(handle);
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return;
    LONG device = -1;
    {
        CTableLock lock(*shared);
        bool gone = false;
        device = DeviceOfHandle(*shared->Get(), handle, &gone);
    }
    if (device < 0) return;
    const bool synchronous = IsSynchronous(handle);
    EnterCriticalSection(&g_IoLock);
    if (DeviceHandleOf(handle) == nullptr) {
        g_DeviceHandles->push_back(SDeviceHandle{handle, device, synchronous, kDefaultInputBuffers, {}});
    }
    LeaveCriticalSection(&g_IoLock);
}

// Called with g_IoLock held, for a handle resolved to `device`: its entry, made if the handle was
// opened before the double could see it.
SDeviceHandle& DeviceHandleEntry(HANDLE handle, LONG device, bool synchronous) {
    if (SDeviceHandle* entry = DeviceHandleOf(handle)) return *entry;
    g_DeviceHandles->push_back(SDeviceHandle{handle, device, synchronous, kDefaultInputBuffers, {}});
    return g_DeviceHandles->back();
}

// Reads one report that is queued on the handle, without the hooks. An overlapped read that has
// to wait (another read took the report) is cancelled. False when nothing was read.
bool TakeQueuedReport(HANDLE device, bool synchronous, unsigned char* report, DWORD length) {
    DWORD got = 0;
    if (synchronous) return g_RealReadFile(device, report, length, &got, nullptr) != FALSE;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    BOOL ok = g_RealReadFile(device, report, length, nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        g_RealCancelIoEx(device, &overlapped);
        ok = GetOverlappedResult(device, &overlapped, &got, TRUE);
    }
    g_RealCloseHandle(overlapped.hEvent);
    return ok != FALSE;
}

// Reports queued on the handle now, as the pipe holds them.
DWORD QueuedReports(HANDLE device, DWORD length) {
    DWORD available = 0;
    if (length == 0 || !PeekNamedPipe(device, nullptr, 0, nullptr, &available, nullptr)) return 0;
    return available / length;
}

// Cuts the handle's queue to its own input-buffer count, oldest first, counting the lost reports.
void KeepNewest(HANDLE device, bool synchronous, DWORD length, ULONG keep, LONG* lost) {
    std::vector<unsigned char> report(length > 0 ? length : 1);
    while (QueuedReports(device, length) > keep) {
        if (!TakeQueuedReport(device, synchronous, report.data(), length)) return;
        InterlockedIncrement(lost);
    }
}

// An overlapped read that finds a report queued: the report is taken at once, and the read
// completes delayMs later. False (nothing done) when no report is queued: the read then waits in
// the driver as usual.
bool ReadQueuedLate(HANDLE device, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped, DWORD delayMs,
                    BOOL* result) {
    DWORD available = 0;
    if (!PeekNamedPipe(device, nullptr, 0, nullptr, &available, nullptr) || available == 0) return false;
    HANDLE callerEvent = overlapped->hEvent;
    overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    overlapped->InternalHigh = 0;
    if (callerEvent != nullptr) ResetEvent(callerEvent);
    OVERLAPPED own{};
    own.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (own.hEvent == nullptr) return false;
    DWORD got = 0;
    BOOL ok = g_RealReadFile(device, buffer, length, nullptr, &own);
    if (ok) {
        GetOverlappedResult(device, &own, &got, FALSE);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        g_RealCancelIoEx(device, &own);
        ok = GetOverlappedResult(device, &own, &got, TRUE);
        if (!ok && GetLastError() == ERROR_OPERATION_ABORTED) {
            // Another read took the report meanwhile: this one waits in the driver after all.
            g_RealCloseHandle(own.hEvent);
            return false;
        }
    }
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    g_RealCloseHandle(own.hEvent);
    if (ok) Sleep(delayMs);
    overlapped->InternalHigh = own.InternalHigh;
    overlapped->Internal = own.Internal;
    if (read != nullptr) *read = got;
    if (callerEvent != nullptr) SetEvent(callerEvent);
    *result = ok;
    SetLastError(error);
    return true;
}

BOOL WINAPI SerialisedReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    EnterCriticalSection(&g_IoLock);
    while (IoOf(handle).hidCall) SleepConditionVariableCS(&g_IoChanged, &g_IoLock, INFINITE);
    ++IoOf(handle).reads;
    const SDeviceHandle* entry = DeviceHandleOf(handle);
    const LONG device = entry != nullptr ? entry->device : -1;
    const bool synchronous = entry != nullptr && entry->synchronous;
    const ULONG buffers = entry != nullptr ? entry->buffers : 0;
    LeaveCriticalSection(&g_IoLock);

    BOOL ok = FALSE;
    bool done = false;
    CSharedTable* shared = device >= 0 ? SessionTable() : nullptr;
    if (shared != nullptr) {
        // Single aligned LONGs, read without the table lock.
        SSharedDevice& state = shared->Get()->devices[device];
        const LONG reportLength = static_cast<volatile LONG&>(state.inputReportLength);
        const LONG largest = static_cast<volatile LONG&>(state.numInputBuffers);
        const LONG delayMs = static_cast<volatile LONG&>(state.queuedReadDelayMs);
        const DWORD length = reportLength > 0 ? static_cast<DWORD>(reportLength) : 0;
        if (static_cast<LONG>(buffers) < largest) KeepNewest(handle, synchronous, length, buffers, &state.lostReports);
        if (delayMs > 0 && overlapped != nullptr && !synchronous) {
            done = ReadQueuedLate(handle, buffer, length, read, overlapped, static_cast<DWORD>(delayMs), &ok);
        }
    }
    if (!done) ok = g_RealReadFile(handle, buffer, length, read, overlapped);
    DWORD error = GetLastError();
    EnterCriticalSection(&g_IoLock);
    --IoOf(handle).reads;
    ForgetIfIdle(handle);
    WakeAllConditionVariable(&g_IoChanged);
    LeaveCriticalSection(&g_IoLock);
    SetLastError(error);
    return ok;
}

BOOL WINAPI TrackedWriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    BOOL ok = g_RealWriteFile(handle, buffer, length, written, overlapped);
    const DWORD error = GetLastError();
    if (!ok && error == ERROR_IO_PENDING && overlapped != nullptr) {
        EnterCriticalSection(&g_IoLock);
        if (SDeviceHandle* entry = DeviceHandleOf(handle)) {
            std::vector<LPOVERLAPPED>& writes = entry->writes;
            for (auto it = writes.begin(); it != writes.end();) {
                it = HasOverlappedIoCompleted(*it) || *it == overlapped ? writes.erase(it) : it + 1;
            }
            writes.push_back(overlapped);
        }
        LeaveCriticalSection(&g_IoLock);
    }
    SetLastError(error);
    return ok;
}

BOOL WINAPI CheckedCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
    if (overlapped != nullptr) {
        LONG device = -1;
        EnterCriticalSection(&g_IoLock);
        if (const SDeviceHandle* entry = DeviceHandleOf(handle)) {
            for (LPOVERLAPPED write : entry->writes) {
                if (write == overlapped && !HasOverlappedIoCompleted(write)) device = entry->device;
            }
        }
        LeaveCriticalSection(&g_IoLock);
        CSharedTable* shared = device >= 0 ? SessionTable() : nullptr;
        if (shared != nullptr && static_cast<volatile LONG&>(shared->Get()->devices[device].writesUncancelable)) {
            // The request is taken and changes nothing: the device has the report.
            return TRUE;
        }
    }
    return g_RealCancelIoEx(handle, overlapped);
}

bool IsPipePath(const char* path) { return path != nullptr && _strnicmp(path, "\\\\.\\pipe\\", 9) == 0; }
bool IsPipePath(const wchar_t* path) { return path != nullptr && _wcsnicmp(path, L"\\\\.\\pipe\\", 9) == 0; }

// A pipe opened is a simulated device's new handle; any other file reusing a handle value that
// named one ends what was known of it. The caller's last error is kept.
template <typename TChar>
HANDLE NoteCreated(HANDLE handle, const TChar* path) {
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
        if (IsPipePath(path)) {
            NoteOpenedHandle(handle);
        } else {
            ForgetDeviceHandle(handle);
        }
    }
    SetLastError(error);
    return handle;
}

HANDLE WINAPI NotedCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile) {
    return NoteCreated(g_RealCreateFileA(path, access, share, security, disposition, flags, templateFile), path);
}

HANDLE WINAPI NotedCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile) {
    return NoteCreated(g_RealCreateFileW(path, access, share, security, disposition, flags, templateFile), path);
}

BOOL WINAPI NotedCloseHandle(HANDLE handle) {
    ForgetDeviceHandle(handle);
    return g_RealCloseHandle(handle);
}

bool SameName(const char* a, const char* b) { return _stricmp(a, b) == 0; }

struct SHook {
    const char* name;
    ULONG_PTR real;
    ULONG_PTR hook;
};

SHook g_Hooks[] = {
    {"ReadFile", 0, reinterpret_cast<ULONG_PTR>(&SerialisedReadFile)},
    {"WriteFile", 0, reinterpret_cast<ULONG_PTR>(&TrackedWriteFile)},
    {"CancelIoEx", 0, reinterpret_cast<ULONG_PTR>(&CheckedCancelIoEx)},
    {"CreateFileA", 0, reinterpret_cast<ULONG_PTR>(&NotedCreateFileA)},
    {"CreateFileW", 0, reinterpret_cast<ULONG_PTR>(&NotedCreateFileW)},
    {"CloseHandle", 0, reinterpret_cast<ULONG_PTR>(&NotedCloseHandle)},
};

// Points the module's imports of the hooked kernel32 calls at the hooks, if the module imports
// from hid.dll.
void HookImportsOf(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    auto* first = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    bool usesHid = false;
    for (auto* d = first; d->Name != 0; ++d)
        usesHid = usesHid || SameName(reinterpret_cast<char*>(base + d->Name), "hid.dll");
    if (!usesHid) return;
    for (auto* d = first; d->Name != 0; ++d) {
        if (!SameName(reinterpret_cast<char*>(base + d->Name), "kernel32.dll")) continue;
        auto* names =
            reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (std::size_t i = 0; slots[i].u1.Function != 0; ++i) {
            for (const SHook& hook : g_Hooks) {
                bool match;
                if (d->OriginalFirstThunk != 0 && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
                    auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
                    match = std::strcmp(reinterpret_cast<const char*>(byName->Name), hook.name) == 0;
                } else {
                    match = slots[i].u1.Function == hook.real;
                }
                if (!match || slots[i].u1.Function == hook.hook) continue;
                DWORD protection = 0;
                if (!VirtualProtect(&slots[i].u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &protection)) continue;
                slots[i].u1.Function = hook.hook;
                VirtualProtect(&slots[i].u1.Function, sizeof(ULONG_PTR), protection, &protection);
            }
        }
    }
}

// Every module loaded so far; called again by the calls that open a device's use, so that a
// module loaded after this one is covered before it reads.
void SerialiseReadsOfHidClients() {
    HMODULE modules[512];
    DWORD needed = 0;
    if (!K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) return;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&HookImportsOf), &self);
    const DWORD count = needed / sizeof(HMODULE) < 512 ? needed / sizeof(HMODULE) : 512;
    for (DWORD i = 0; i < count; ++i) {
        if (modules[i] != self) HookImportsOf(modules[i]);
    }
}

// Held by every HidD_ call that takes a handle: on a synchronous handle it waits for the reads
// pending there, and keeps new ones waiting until the call is done.
class CHandleCall {
public:
    CHandleCall(HANDLE handle, const char* call) : m_Handle(handle), m_Synchronous(IsSynchronous(handle)) {
        if (!m_Synchronous) return;
        EnterCriticalSection(&g_IoLock);
        bool waits = IoOf(handle).reads > 0;
        LeaveCriticalSection(&g_IoLock);
        if (waits) {
            if (CSharedTable* shared = SessionTable()) {
                char what[200];
                std::snprintf(what, sizeof what,
                              "%s on a synchronous handle waited behind a ReadFile pending there (until input came)",
                              call);
                CTableLock lock(*shared);
                RecordMisuse(*shared->Get(), what);
            }
        }
        EnterCriticalSection(&g_IoLock);
        while (IoOf(handle).reads > 0 || IoOf(handle).hidCall) {
            SleepConditionVariableCS(&g_IoChanged, &g_IoLock, INFINITE);
        }
        IoOf(handle).hidCall = true;
        LeaveCriticalSection(&g_IoLock);
    }
    ~CHandleCall() {
        if (!m_Synchronous) return;
        EnterCriticalSection(&g_IoLock);
        IoOf(m_Handle).hidCall = false;
        ForgetIfIdle(m_Handle);
        WakeAllConditionVariable(&g_IoChanged);
        LeaveCriticalSection(&g_IoLock);
    }
    CHandleCall(const CHandleCall&) = delete;
    CHandleCall& operator=(const CHandleCall&) = delete;
    bool Synchronous() const { return m_Synchronous; }

private:
    HANDLE m_Handle;
    bool m_Synchronous;
};

// Empties the handle's queue: the reports its device has written to it and its reader has not
// taken, no more than the handle keeps and no more than are there when it starts (input that goes
// on arriving is not flushed). Returns how many were flushed. The caller holds the handle
// (CHandleCall); a read of the program's that is pending on an overlapped handle has no reports
// queued before it.
LONG FlushQueue(HANDLE device, bool synchronous, DWORD length, ULONG keep, LONG* lost) {
    if (length == 0) return 0;
    KeepNewest(device, synchronous, length, keep, lost);
    std::vector<unsigned char> report(length);
    LONG flushed = 0;
    for (DWORD queued = QueuedReports(device, length); queued > 0; --queued) {
        if (!TakeQueuedReport(device, synchronous, report.data(), length)) break;
        ++flushed;
    }
    return flushed;
}

const DWORD kPreparsedMagic = 0x50524550;  // "PREP"
const int kMaxLivePreparsed = 256;

struct SPreparsed {
    DWORD magic;
    LONG device;
};

// Preparsed data handed out by this process and not yet freed (guarded by the table lock).
SPreparsed* g_LivePreparsed[kMaxLivePreparsed];

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Resolves the handle to a device of the session; records a misuse for handles that are no
// simulated device. Returns -1 with the last error set when the call must fail.
LONG ResolveDevice(STable& table, HANDLE handle, const char* call) {
    bool gone = false;
    LONG device = DeviceOfHandle(table, handle, &gone);
    if (device >= 0) {
        if (!table.devices[device].present) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return -1;
        }
        return device;
    }
    if (gone) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return -1;
    }
    char what[160];
    std::snprintf(what, sizeof what, "%s called with a handle that is no simulated device", call);
    RecordMisuse(table, what);
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
}

int FindLive(const SPreparsed* data) {
    if (data == nullptr) return -1;
    for (int i = 0; i < kMaxLivePreparsed; ++i) {
        if (g_LivePreparsed[i] == data) return i;
    }
    return -1;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_IoLock);
        g_Io = new std::vector<SHandleIo>;
        g_DeviceHandles = new std::vector<SDeviceHandle>;
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        auto real = [kernel](const char* name) { return reinterpret_cast<void*>(GetProcAddress(kernel, name)); };
        g_RealReadFile = reinterpret_cast<TReadFile>(real("ReadFile"));
        g_RealWriteFile = reinterpret_cast<TWriteFile>(real("WriteFile"));
        g_RealCreateFileA = reinterpret_cast<TCreateFileA>(real("CreateFileA"));
        g_RealCreateFileW = reinterpret_cast<TCreateFileW>(real("CreateFileW"));
        g_RealCloseHandle = reinterpret_cast<TCloseHandle>(real("CloseHandle"));
        g_RealCancelIoEx = reinterpret_cast<TCancelIoEx>(real("CancelIoEx"));
        for (SHook& hook : g_Hooks) hook.real = reinterpret_cast<ULONG_PTR>(real(hook.name));
        // The modules that loaded this one have their imports bound by now.
        SerialiseReadsOfHidClients();
    }
    return TRUE;
}

void NTAPI HidD_GetHidGuid(LPGUID hidGuid) {
    SerialiseReadsOfHidClients();
    static const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    if (CSharedTable* shared = SessionTable()) {
        CTableLock lock(*shared);
        TakeInjectedFailure(*shared->Get(), kHidD_GetHidGuid, -1);
    }
    *hidGuid = kHidGuid;
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    SerialiseReadsOfHidClients();
    CHandleCall serialised(device, "HidD_GetAttributes");
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return Fail(ERROR_INVALID_HANDLE);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    LONG index = ResolveDevice(table, device, "HidD_GetAttributes");
    DWORD error = TakeInjectedFailure(table, kHidD_GetAttributes, index);
    if (index < 0) return FALSE;
    if (error != 0) return Fail(error);
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = table.devices[index].vendorId;
    attributes->ProductID = table.devices[index].productId;
    attributes->VersionNumber = table.devices[index].version;
    return TRUE;
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) {
    SerialiseReadsOfHidClients();
    CHandleCall serialised(device, "HidD_GetPreparsedData");
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return Fail(ERROR_INVALID_HANDLE);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    LONG index = ResolveDevice(table, device, "HidD_GetPreparsedData");
    DWORD error = TakeInjectedFailure(table, kHidD_GetPreparsedData, index);
    if (index < 0) return FALSE;
    if (error != 0) return Fail(error);
    int slot = -1;
    for (int i = 0; i < kMaxLivePreparsed && slot < 0; ++i) {
        if (g_LivePreparsed[i] == nullptr) slot = i;
    }
    if (slot < 0) {
        RecordMisuse(table, "more than 256 preparsed data live at once (never freed?)");
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    SPreparsed* data = static_cast<SPreparsed*>(HeapAlloc(GetProcessHeap(), 0, sizeof(SPreparsed)));
    data->magic = kPreparsedMagic;
    data->device = index;
    g_LivePreparsed[slot] = data;
    ++table.outstandingPreparsed;
    *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
    return TRUE;
}

BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    SPreparsed* data = reinterpret_cast<SPreparsed*>(preparsed);
    int slot = FindLive(data);
    if (slot < 0) {
        RecordMisuse(table, "HidD_FreePreparsedData of data that is not live (freed twice, or never handed out)");
        TakeInjectedFailure(table, kHidD_FreePreparsedData, -1);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    LONG index = data->device;
    g_LivePreparsed[slot] = nullptr;
    data->magic = 0;
    HeapFree(GetProcessHeap(), 0, data);
    --table.outstandingPreparsed;
    // An injected failure still frees the data: the test is about how the caller copes.
    DWORD error = TakeInjectedFailure(table, kHidD_FreePreparsedData, index);
    if (error != 0) return Fail(error);
    return TRUE;
}

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    SPreparsed* data = reinterpret_cast<SPreparsed*>(preparsed);
    if (FindLive(data) < 0) {
        RecordMisuse(table, "HidP_GetCaps with preparsed data that is not live");
        TakeInjectedFailure(table, kHidP_GetCaps, -1);
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    if (TakeInjectedFailure(table, kHidP_GetCaps, data->device) != 0) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    const SSharedDevice& device = table.devices[data->device];
    ZeroMemory(caps, sizeof *caps);
    caps->UsagePage = 0xFF00;  // vendor-defined, as a remote control's data interface would be
    caps->Usage = 0x0001;
    caps->InputReportByteLength = static_cast<USHORT>(device.inputReportLength);
    caps->OutputReportByteLength = static_cast<USHORT>(device.outputReportLength);
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN NTAPI HidD_GetNumInputBuffers(HANDLE device, PULONG count) {
    SerialiseReadsOfHidClients();
    CHandleCall serialised(device, "HidD_GetNumInputBuffers");
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return Fail(ERROR_INVALID_HANDLE);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    LONG index = ResolveDevice(table, device, "HidD_GetNumInputBuffers");
    DWORD error = TakeInjectedFailure(table, kHidD_GetNumInputBuffers, index);
    if (index < 0) return FALSE;
    if (error != 0) return Fail(error);
    EnterCriticalSection(&g_IoLock);
    *count = DeviceHandleEntry(device, index, serialised.Synchronous()).buffers;
    LeaveCriticalSection(&g_IoLock);
    return TRUE;
}

BOOLEAN NTAPI HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
    SerialiseReadsOfHidClients();
    CHandleCall serialised(device, "HidD_SetNumInputBuffers");
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return Fail(ERROR_INVALID_HANDLE);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    LONG index = ResolveDevice(table, device, "HidD_SetNumInputBuffers");
    DWORD error = TakeInjectedFailure(table, kHidD_SetNumInputBuffers, index);
    if (index < 0) return FALSE;
    if (error != 0) return Fail(error);
    // The HID class driver takes 2 to 512 buffers, for the handle it is given.
    if (count < 2 || count > 512) return Fail(ERROR_INVALID_PARAMETER);
    EnterCriticalSection(&g_IoLock);
    DeviceHandleEntry(device, index, serialised.Synchronous()).buffers = count;
    LeaveCriticalSection(&g_IoLock);
    LONG& largest = table.devices[index].numInputBuffers;
    if (static_cast<LONG>(count) > largest) largest = static_cast<LONG>(count);
    return TRUE;
}

BOOLEAN NTAPI HidD_FlushQueue(HANDLE device) {
    CHandleCall serialised(device, "HidD_FlushQueue");
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) return Fail(ERROR_INVALID_HANDLE);
    LONG index = -1;
    int reportLength = 0;
    {
        CTableLock lock(*shared);
        STable& table = *shared->Get();
        index = ResolveDevice(table, device, "HidD_FlushQueue");
        DWORD error = TakeInjectedFailure(table, kHidD_FlushQueue, index);
        if (index < 0) return FALSE;
        if (error != 0) return Fail(error);
        if (table.flushUnsupported) return Fail(ERROR_NOT_SUPPORTED);
        reportLength = table.devices[index].inputReportLength;
    }
    EnterCriticalSection(&g_IoLock);
    const ULONG keep = DeviceHandleEntry(device, index, serialised.Synchronous()).buffers;
    LeaveCriticalSection(&g_IoLock);
    LONG lost = 0;
    LONG flushed = FlushQueue(device, serialised.Synchronous(), reportLength > 0 ? static_cast<DWORD>(reportLength) : 0,
                              keep, &lost);
    CTableLock lock(*shared);
    shared->Get()->devices[index].flushedReports += flushed;
    shared->Get()->devices[index].lostReports += lost;
    return TRUE;
}

}  // extern "C"
