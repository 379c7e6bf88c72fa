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
// use hid.dll (their import of ReadFile is pointed at SerialisedReadFile) and holds a HidD_ call on
// a synchronous handle behind the reads pending on it. Such a wait is also recorded as a misuse,
// since a program that makes one can hang for as long as no input comes.

struct SHandleIo {
    HANDLE handle;
    int reads;     // ReadFile calls inside the system now
    bool hidCall;  // a HidD_ call holds the (synchronous) handle
};

CRITICAL_SECTION g_IoLock;
CONDITION_VARIABLE g_IoChanged = CONDITION_VARIABLE_INIT;
std::vector<SHandleIo>* g_Io = nullptr;  // guarded by g_IoLock

typedef BOOL(WINAPI* TReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
TReadFile g_RealReadFile = nullptr;

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

BOOL WINAPI SerialisedReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    EnterCriticalSection(&g_IoLock);
    while (IoOf(handle).hidCall) SleepConditionVariableCS(&g_IoChanged, &g_IoLock, INFINITE);
    ++IoOf(handle).reads;
    LeaveCriticalSection(&g_IoLock);
    BOOL ok = g_RealReadFile(handle, buffer, length, read, overlapped);
    DWORD error = GetLastError();
    EnterCriticalSection(&g_IoLock);
    --IoOf(handle).reads;
    ForgetIfIdle(handle);
    WakeAllConditionVariable(&g_IoChanged);
    LeaveCriticalSection(&g_IoLock);
    SetLastError(error);
    return ok;
}

bool SameName(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// Points the module's import of kernel32's ReadFile at SerialisedReadFile, if the module imports
// from hid.dll.
void SerialiseReadsOf(HMODULE module) {
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
            bool match;
            if (d->OriginalFirstThunk != 0 && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
                match = std::strcmp(reinterpret_cast<const char*>(byName->Name), "ReadFile") == 0;
            } else {
                match = slots[i].u1.Function == reinterpret_cast<ULONG_PTR>(g_RealReadFile);
            }
            const auto hook = reinterpret_cast<ULONG_PTR>(&SerialisedReadFile);
            if (!match || slots[i].u1.Function == hook) continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots[i].u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &protection)) continue;
            slots[i].u1.Function = hook;
            VirtualProtect(&slots[i].u1.Function, sizeof(ULONG_PTR), protection, &protection);
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
                       reinterpret_cast<LPCWSTR>(&SerialiseReadsOf), &self);
    const DWORD count = needed / sizeof(HMODULE) < 512 ? needed / sizeof(HMODULE) : 512;
    for (DWORD i = 0; i < count; ++i) {
        if (modules[i] != self) SerialiseReadsOf(modules[i]);
    }
}

bool IsSynchronous(HANDLE handle) {
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    const auto kFileModeInformation = static_cast<FILE_INFORMATION_CLASS>(16);
    if (NtQueryInformationFile(handle, &status, &mode, sizeof mode, kFileModeInformation) != 0) return false;
    return (mode & (0x10 /* FILE_SYNCHRONOUS_IO_ALERT */ | 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */)) != 0;
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

// Reads the handle's queue empty: the reports its device has written to it and its reader has not
// taken. Returns how many there were. The caller holds the handle (CHandleCall).
LONG DrainQueue(HANDLE device, bool synchronous, int reportLength) {
    if (reportLength <= 0) return 0;
    std::vector<unsigned char> report(static_cast<std::size_t>(reportLength));
    const DWORD length = static_cast<DWORD>(reportLength);
    LONG drained = 0;
    if (synchronous) {
        // No read of the program's runs meanwhile: what is there now is all there is.
        DWORD available = 0;
        while (PeekNamedPipe(device, nullptr, 0, nullptr, &available, nullptr) && available >= length) {
            DWORD got = 0;
            if (!g_RealReadFile(device, report.data(), length, &got, nullptr)) break;
            ++drained;
        }
        return drained;
    }
    // An overlapped read completes at once while reports are queued. One that has to wait finds the
    // queue empty (a read of the program's that is pending takes every report as it comes).
    DWORD available = 0;
    if (PeekNamedPipe(device, nullptr, 0, nullptr, &available, nullptr) && available == 0) return 0;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return 0;
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        if (g_RealReadFile(device, report.data(), length, nullptr, &overlapped)) {
            ++drained;
            continue;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            CancelIoEx(device, &overlapped);
            DWORD got = 0;
            if (GetOverlappedResult(device, &overlapped, &got, TRUE)) ++drained;  // came just then
        }
        break;
    }
    CloseHandle(event);
    return drained;
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
        g_RealReadFile = reinterpret_cast<TReadFile>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadFile")));
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
    *count = static_cast<ULONG>(table.devices[index].numInputBuffers);
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
    // The HID class driver takes 2 to 512 buffers.
    if (count < 2 || count > 512) return Fail(ERROR_INVALID_PARAMETER);
    table.devices[index].numInputBuffers = static_cast<LONG>(count);
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
        reportLength = table.devices[index].inputReportLength;
    }
    LONG drained = DrainQueue(device, serialised.Synchronous(), reportLength);
    CTableLock lock(*shared);
    shared->Get()->devices[index].flushedReports += drained;
    return TRUE;
}

}  // extern "C"
