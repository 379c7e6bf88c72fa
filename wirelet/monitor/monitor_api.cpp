#include "wirelet/monitor/monitor_api.h"

#include <windows.h>

#include <cstdint>
#include <memory>

#include "wirelet/monitor/command_monitor.h"
#include "wirelet/monitor/command_payload.h"
#include "wirelet/monitor/java_strings.h"

namespace NWireletMonitor {
namespace {

constexpr DWORD kStopWaitMs = 1000;

// This process's monitor, from the token call that made it to the destroy call.
CCommandMonitor* g_Monitor = nullptr;
// A monitor destroyed from its own thread: still winding down, deleted by a later call.
CCommandMonitor* g_Retired = nullptr;

HWND WindowOf(jint token) { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(token)); }
jint TokenOf(HWND window) { return static_cast<jint>(reinterpret_cast<std::intptr_t>(window)); }

// Waits for the monitor's thread (bounded, then forced), lets go of what it still holds and
// deletes it.
void EndMonitor(JNIEnv* env, CCommandMonitor* monitor) {
    monitor->RequestStop();
    monitor->WaitOrTerminate(kStopWaitMs);
    monitor->ReleaseReceiver(env);
    delete monitor;
}

void ReapRetiredMonitor(JNIEnv* env) {
    if (g_Retired == nullptr || g_Retired->IsMonitorThread()) return;
    CCommandMonitor* retired = g_Retired;
    g_Retired = nullptr;
    EndMonitor(env, retired);
}

}  // namespace

jint GetCommandMonitorToken(JNIEnv* env, jobject receiver) {
    if (receiver == nullptr) return 0;
    ReapRetiredMonitor(env);
    HWND found = FindWindowA(kMonitorClassName, nullptr);
    if (found != nullptr) return TokenOf(found);
    if (g_Monitor != nullptr && g_Monitor->HasLostWindow() && !g_Monitor->IsMonitorThread()) {
        // Its window was destroyed from outside: make way for a fresh monitor.
        CCommandMonitor* ended = g_Monitor;
        g_Monitor = nullptr;
        EndMonitor(env, ended);
    }
    if (g_Monitor == nullptr) {
        auto monitor = std::make_unique<CCommandMonitor>(env, receiver);
        if (!monitor->Start()) {
            monitor->ReleaseReceiver(env);
            return 0;
        }
        g_Monitor = monitor.release();
    }
    return TokenOf(g_Monitor->WaitForWindow());
}

bool IsCommandMonitorThisProcess(jint token) {
    if (token == 0) return false;
    DWORD owner = 0;
    GetWindowThreadProcessId(WindowOf(token), &owner);
    return owner == GetCurrentProcessId();
}

void SendCommandToCommandMonitor(JNIEnv* env, jint token, jstring method, jstring argument) {
    std::string argumentText = JavaStringToNarrow(env, argument);
    std::string methodName = JavaStringToNarrow(env, method);
    if (token == 0) return;
    HWND window = WindowOf(token);
    if (!IsMonitorWindow(window)) return;
    std::vector<char> payload = BuildCommandPayload(methodName, argumentText);
    COPYDATASTRUCT data{};
    data.dwData = kCommandDataTag;
    data.cbData = static_cast<DWORD>(payload.size());
    data.lpData = payload.data();
    SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));  // result not examined
}

void BringCommandMonitorProcessToFront(jint) {}

void DestroyCommandMonitor(JNIEnv* env, jint token) {
    if (token == 0) return;
    HWND window = WindowOf(token);
    if (IsMonitorWindow(window)) PostMessageA(window, kStopMessage, 0, 0);  // result not examined
    ReapRetiredMonitor(env);
    if (g_Monitor == nullptr) return;
    CCommandMonitor* monitor = g_Monitor;
    g_Monitor = nullptr;
    if (monitor->IsMonitorThread()) {
        // Waiting here would wait for this very thread: let it finish its loop after returning.
        monitor->RequestStop();
        g_Retired = monitor;
        return;
    }
    EndMonitor(env, monitor);
}

}  // namespace NWireletMonitor
