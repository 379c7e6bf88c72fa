#include "sim_table.h"

#include <cstdio>
#include <cstring>

namespace NHidSim {

namespace {

std::wstring MappingName(const std::wstring& session) { return L"Local\\" + session + L"-table"; }
std::wstring MutexName(const std::wstring& session) { return L"Local\\" + session + L"-lock"; }

}  // namespace

CSharedTable::~CSharedTable() {
    if (m_Table != nullptr) UnmapViewOfFile(m_Table);
    if (m_Mapping != nullptr) CloseHandle(m_Mapping);
    if (m_Mutex != nullptr) CloseHandle(m_Mutex);
}

bool CSharedTable::Create(const std::wstring& session) {
    m_Mutex = CreateMutexW(nullptr, FALSE, MutexName(session).c_str());
    m_Mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(STable),
                                   MappingName(session).c_str());
    if (m_Mutex == nullptr || m_Mapping == nullptr) return false;
    m_Table = static_cast<STable*>(MapViewOfFile(m_Mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(STable)));
    if (m_Table == nullptr) return false;
    std::memset(m_Table, 0, sizeof(STable));
    m_Table->magic = kTableMagic;
    return true;
}

bool CSharedTable::Open(const std::wstring& session) {
    m_Mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MutexName(session).c_str());
    m_Mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, MappingName(session).c_str());
    if (m_Mutex == nullptr || m_Mapping == nullptr) return false;
    m_Table = static_cast<STable*>(MapViewOfFile(m_Mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(STable)));
    return m_Table != nullptr && m_Table->magic == kTableMagic;
}

void CSharedTable::Lock() const {
    // An owner that died holding the mutex leaves it abandoned; the table is still usable.
    WaitForSingleObject(m_Mutex, INFINITE);
}

void CSharedTable::Unlock() const { ReleaseMutex(m_Mutex); }

DWORD TakeInjectedFailure(STable& table, ECall call, LONG device) {
    ++table.calls[call];
    for (SFailureRule& rule : table.rules) {
        if (!rule.active || rule.call != call) continue;
        if (rule.device != -1 && rule.device != device) continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (rule.times == 0) continue;
        if (rule.times > 0) --rule.times;
        return rule.error;
    }
    return 0;
}

void RecordMisuse(STable& table, const char* what) {
    LONG slot = table.misuseCount++;
    if (slot < kMaxMisuse) {
        std::snprintf(table.misuse[slot], sizeof table.misuse[slot], "%s", what);
    }
}

std::string DevicePathOf(const SSharedDevice& device) { return std::string("\\\\.\\pipe\\") + device.pipeName; }

}  // namespace NHidSim

// clang-format off
#include <winternl.h>
// clang-format on

#include <mutex>
#include <vector>

namespace NHidSim {

CSharedTable* SessionTable() {
    static std::mutex guard;
    static std::wstring session;
    static CSharedTable* table = nullptr;

    wchar_t name[128];
    DWORD length = GetEnvironmentVariableW(kSessionVariable, name, 128);
    std::wstring current = (length > 0 && length < 128) ? std::wstring(name, length) : std::wstring();
    std::lock_guard<std::mutex> lock(guard);
    if (current != session) {
        // The previous session's view is kept: another thread may still be using it.
        session = current;
        table = nullptr;
        if (!current.empty()) {
            CSharedTable* opened = new CSharedTable;
            if (opened->Open(current)) {
                table = opened;
            } else {
                delete opened;
            }
        }
    }
    return table;
}

LONG DeviceOfHandle(const STable& table, HANDLE handle, bool* gone) {
    *gone = false;
    ULONG buffer[512];
    ULONG returned = 0;
    NTSTATUS status = NtQueryObject(handle, ObjectNameInformation, buffer, sizeof buffer, &returned);
    if (status == static_cast<NTSTATUS>(0xC0000039L)) {  // STATUS_OBJECT_PATH_INVALID: server end closed
        *gone = true;
        return -1;
    }
    if (status != 0) return -1;
    const UNICODE_STRING* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
    std::wstring full(name->Buffer, name->Length / sizeof(wchar_t));
    const std::wstring prefix = L"\\Device\\NamedPipe\\";
    if (full.size() <= prefix.size() || _wcsnicmp(full.c_str(), prefix.c_str(), prefix.size()) != 0) return -1;
    std::wstring pipe = full.substr(prefix.size());
    for (LONG i = 0; i < table.deviceCount; ++i) {
        const SSharedDevice& device = table.devices[i];
        if (!device.used) continue;
        wchar_t wide[kMaxPipeName];
        int n = MultiByteToWideChar(CP_ACP, 0, device.pipeName, -1, wide, kMaxPipeName);
        if (n > 0 && _wcsicmp(wide, pipe.c_str()) == 0) return i;
    }
    return -1;
}

}  // namespace NHidSim
