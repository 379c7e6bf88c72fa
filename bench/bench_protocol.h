#pragma once
// What the device benchmark's two processes share: the simulated devices live in device_bench
// (which measures from the devices' side and prints the figures); the code under test runs in
// device_bench_client, so that the client's heap allocations are its own and can be counted.

#include <windows.h>

#include <string>

namespace NDeviceBench {

// A named event of the simulator session (its name is in ZEPHRA_HIDSIM_SESSION).
inline HANDLE SessionEvent(const std::wstring& session, const wchar_t* name, bool create) {
    std::wstring full = L"Local\\" + session + L"-bench-" + name;
    return create ? CreateEventW(nullptr, TRUE, FALSE, full.c_str())
                  : OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, full.c_str());
}

// Results travel as "key value" lines in a file the client writes and the bench reads.
const wchar_t kResultFile[] = L"device_bench_result.txt";

}  // namespace NDeviceBench
