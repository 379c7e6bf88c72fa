// setupapi.dll double: enumerates the simulated devices that are present as HID device
// interfaces, in the order they were plugged. Checks what a real caller must get right (the HID
// class, the flags, the structure sizes, destroying every list once) and records misuse.

// clang-format off
#define _SETUPAPI_
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "sim_table.h"

using namespace NHidSim;

namespace {

const DWORD kSetMagic = 0x44534554;  // "DSET"
const int kMaxLiveSets = 64;
const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A snapshot of the devices present when the list was made.
struct SDeviceSet {
    DWORD magic;
    LONG count;
    LONG devices[kMaxDevices];
    char paths[kMaxDevices][kMaxPipeName + 16];
};

SDeviceSet* g_LiveSets[kMaxLiveSets];

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

int FindLive(HDEVINFO set) {
    for (int i = 0; i < kMaxLiveSets; ++i) {
        if (set != nullptr && g_LiveSets[i] == set) return i;
    }
    return -1;
}

bool IsHidGuid(const GUID* guid) { return guid != nullptr && std::memcmp(guid, &kHidGuid, sizeof(GUID)) == 0; }

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    CSharedTable* shared = SessionTable();
    SDeviceSet* set = static_cast<SDeviceSet*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SDeviceSet)));
    set->magic = kSetMagic;
    if (shared == nullptr) return set;  // no simulator: no devices (and no leak tracking)

    CTableLock lock(*shared);
    STable& table = *shared->Get();
    if (!IsHidGuid(classGuid) || enumerator != nullptr || parent != nullptr ||
        flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        RecordMisuse(table, "SetupDiGetClassDevsA not asked for the present HID device interfaces");
    }
    DWORD error = TakeInjectedFailure(table, kSetupDiGetClassDevsA, -1);
    if (error != 0) {
        HeapFree(GetProcessHeap(), 0, set);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    int slot = -1;
    for (int i = 0; i < kMaxLiveSets && slot < 0; ++i) {
        if (g_LiveSets[i] == nullptr) slot = i;
    }
    if (slot < 0) {
        RecordMisuse(table, "more than 64 device information lists live at once (never destroyed?)");
        HeapFree(GetProcessHeap(), 0, set);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    for (LONG i = 0; i < table.deviceCount; ++i) {
        if (!table.devices[i].used || !table.devices[i].present) continue;
        set->devices[set->count] = i;
        std::snprintf(set->paths[set->count], sizeof set->paths[0], "%s", DevicePathOf(table.devices[i]).c_str());
        ++set->count;
    }
    g_LiveSets[slot] = set;
    ++table.outstandingDeviceSets;
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceInfo, const GUID* interfaceGuid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    CSharedTable* shared = SessionTable();
    SDeviceSet* set = static_cast<SDeviceSet*>(deviceSet);
    if (shared == nullptr) return Fail(ERROR_NO_MORE_ITEMS);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    if (FindLive(deviceSet) < 0) {
        RecordMisuse(table, "SetupDiEnumDeviceInterfaces on a list that is not live");
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (deviceInfo != nullptr || !IsHidGuid(interfaceGuid)) {
        RecordMisuse(table, "SetupDiEnumDeviceInterfaces not asked for HID interfaces of the whole list");
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        RecordMisuse(table, "SetupDiEnumDeviceInterfaces with a wrong SP_DEVICE_INTERFACE_DATA size");
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    LONG device = index < static_cast<DWORD>(set->count) ? set->devices[index] : -1;
    DWORD error = TakeInjectedFailure(table, kSetupDiEnumDeviceInterfaces, device);
    if (error != 0) return Fail(error);
    if (device < 0) return Fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = kHidGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = static_cast<ULONG_PTR>(index) + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO deviceSet, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
    CSharedTable* shared = SessionTable();
    SDeviceSet* set = static_cast<SDeviceSet*>(deviceSet);
    if (shared == nullptr) return Fail(ERROR_INVALID_HANDLE);
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    if (FindLive(deviceSet) < 0) {
        RecordMisuse(table, "SetupDiGetDeviceInterfaceDetailA on a list that is not live");
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > static_cast<ULONG_PTR>(set->count)) {
        RecordMisuse(table, "SetupDiGetDeviceInterfaceDetailA with interface data the list did not give");
        return Fail(ERROR_INVALID_PARAMETER);
    }
    (void)deviceInfo;
    const LONG entry = static_cast<LONG>(data->Reserved) - 1;
    const char* path = set->paths[entry];
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + std::strlen(path) + 1);
    if (requiredSize != nullptr) *requiredSize = required;
    if (detail == nullptr) {
        if (detailSize != 0) {
            RecordMisuse(table, "SetupDiGetDeviceInterfaceDetailA without a buffer but with a size");
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        RecordMisuse(table, "SetupDiGetDeviceInterfaceDetailA with a wrong detail cbSize");
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    DWORD error = TakeInjectedFailure(table, kSetupDiGetDeviceInterfaceDetailA, set->devices[entry]);
    if (error != 0) return Fail(error);
    if (detailSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path, std::strlen(path) + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceSet) {
    CSharedTable* shared = SessionTable();
    if (shared == nullptr) {
        if (deviceSet != nullptr && deviceSet != INVALID_HANDLE_VALUE) HeapFree(GetProcessHeap(), 0, deviceSet);
        return TRUE;
    }
    CTableLock lock(*shared);
    STable& table = *shared->Get();
    int slot = FindLive(deviceSet);
    if (slot < 0) {
        RecordMisuse(table, "SetupDiDestroyDeviceInfoList of a list that is not live (destroyed twice?)");
        TakeInjectedFailure(table, kSetupDiDestroyDeviceInfoList, -1);
        return Fail(ERROR_INVALID_HANDLE);
    }
    g_LiveSets[slot] = nullptr;
    static_cast<SDeviceSet*>(deviceSet)->magic = 0;
    HeapFree(GetProcessHeap(), 0, deviceSet);
    --table.outstandingDeviceSets;
    // An injected failure still destroys the list: the test is about how the caller copes.
    DWORD error = TakeInjectedFailure(table, kSetupDiDestroyDeviceInfoList, -1);
    if (error != 0) return Fail(error);
    return TRUE;
}

}  // extern "C"
