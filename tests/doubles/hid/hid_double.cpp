// hid.dll double: the HID class driver interface over the simulated devices. A device handle is a
// client handle of the device's named pipe; the device is found from the pipe's name. Misuse
// (unknown handles, foreign or twice-freed preparsed data) is recorded for the simulator's checks.

// clang-format off
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <cstdio>

#include "sim_table.h"

using namespace NHidSim;

namespace {

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

void NTAPI HidD_GetHidGuid(LPGUID hidGuid) {
    static const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    if (CSharedTable* shared = SessionTable()) {
        CTableLock lock(*shared);
        TakeInjectedFailure(*shared->Get(), kHidD_GetHidGuid, -1);
    }
    *hidGuid = kHidGuid;
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
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

}  // extern "C"
