#include "wirelet/monitor/monitor_api.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "wirelet/monitor/command_monitor.h"
#include "wirelet/monitor/command_payload.h"
#include "wirelet/monitor/java_strings.h"
#include "wirelet/support/handle.h"

namespace NWireletMonitor {

const char kInstanceMutexName[] = "Local\\Brevant_Zephra_Remote_CommandMonitor::InstanceMutex";

namespace {

constexpr DWORD kStopWaitMs = 1000;
// How long a token call waits for a new monitor's window. Made in moments, unless the process is
// in deep trouble; past it the monitor is stopped and the call answers 0.
constexpr DWORD kWindowWaitMs = 10000;
// How long the library's unload waits for the monitor threads in all.
constexpr DWORD kUnloadWaitMs = 5000;
// How long a token call waits for another launch of the client that is just creating its
// monitor. Past it the call goes on without the lock rather than hang behind a stuck process.
constexpr DWORD kInstanceMutexWaitMs = 10000;

// Serialises the token, destroy and unload calls, which read and change the two lists below. A
// receiver may call destroy on the monitor thread while another thread makes a token call: without
// turns, the destroy call could end the monitor that token call has just made, or both could let go
// of the same monitor and it would be deleted twice. A call holding it waits for another monitor's
// threads only within its bounds, so a receiver waiting for it on such a thread holds it up no longer.
std::mutex g_CallLock;
// This process's monitor, from the token call that made it to the destroy call.
CCommandMonitor* g_Monitor = nullptr;
// Monitors whose threads were still running when they were let go of: a receiver method that had
// not returned, or a destroy call made on the monitor thread itself. Their threads run what was
// taken, release the receiver and detach by themselves; the objects are deleted by a later call
// once their threads have ended. A thread attached to the VM is never ended by force: that would
// keep DestroyJavaVM waiting for it, or leave the VM inconsistent.
std::vector<CCommandMonitor*> g_Retired;

HWND WindowOf(jint token) { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(token)); }
// Window handles are 32-bit values on 64-bit Windows too, so the cut to an int loses nothing.
jint TokenOf(HWND window) { return static_cast<jint>(reinterpret_cast<std::intptr_t>(window)); }

// Deletes the monitor, whose threads have ended, with whatever its thread did not release.
void DeleteEnded(JNIEnv* env, CCommandMonitor* monitor) {
    monitor->ReleaseReceiver(env);
    delete monitor;
}

// Deletes every retired monitor whose threads have ended, giving those still winding down up to
// waitMs in all (never the calling thread itself, which cannot end while it runs this).
void ReapRetiredMonitors(JNIEnv* env, DWORD waitMs) {
    const DWORD start = GetTickCount();
    auto ended = std::stable_partition(g_Retired.begin(), g_Retired.end(), [&](CCommandMonitor* monitor) {
        if (monitor->IsMonitorThread()) return true;
        const DWORD spent = GetTickCount() - start;
        return !monitor->WaitForThreads(spent < waitMs ? waitMs - spent : 0);
    });
    for (auto it = ended; it != g_Retired.end(); ++it) DeleteEnded(env, *it);
    g_Retired.erase(ended, g_Retired.end());
}

// A monitor window that may serve this launch: not marked retired (by whichever process let go of
// it), not one of this process's monitors that were let go of, and owned by this process or by one
// of the same user at the same integrity level.
HWND FindServingMonitorWindow() {
    std::optional<SOwnerIdentity> self;
    bool selfRead = false;
    for (HWND window = FindWindowExA(nullptr, nullptr, kMonitorClassName, nullptr); window != nullptr;
         window = FindWindowExA(nullptr, window, kMonitorClassName, nullptr)) {
        bool retired = IsRetiredMonitorWindow(window);
        for (CCommandMonitor* monitor : g_Retired) retired = retired || monitor->OwnsWindow(window);
        if (g_Monitor != nullptr && g_Monitor->OwnsWindow(window)) retired = retired || g_Monitor->HasLostWindow();
        if (retired) continue;
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == 0) continue;  // gone meanwhile
        if (owner == GetCurrentProcessId()) return window;
        if (!selfRead) {
            self = ReadProcessIdentity(GetCurrentProcessId());
            selfRead = true;
        }
        if (MayServeAsPrimary(self, ReadProcessIdentity(owner))) return window;
    }
    return nullptr;
}

// The command's descriptor and payload, kept together: a send that times out may leave the
// message to be handled later, and it must then still find both.
struct SCommandMessage {
    explicit SCommandMessage(std::vector<char> bytes) : payload(std::move(bytes)) {
        data.dwData = kCommandDataTag;
        data.cbData = static_cast<DWORD>(payload.size());
        data.lpData = payload.data();
    }
    std::vector<char> payload;
    COPYDATASTRUCT data{};
};

// Stops the monitor and waits for its threads up to waitMs (for the monitor thread not at all
// when it is the caller, which cannot end while it runs this). A monitor whose threads have ended
// is deleted; one still running is kept as a retired monitor.
void EndMonitor(JNIEnv* env, CCommandMonitor* monitor, DWORD waitMs) {
    monitor->RequestStop();
    if (monitor->WaitForThreads(waitMs)) {
        DeleteEnded(env, monitor);
        return;
    }
    g_Retired.reserve(g_Retired.size() + 1);  // may throw before anything changes
    g_Retired.push_back(monitor);
}

// Holds the named mutex that makes "find the monitor window, else create one" atomic between
// processes of the session. Abandoned by a process that died holding it, it is still ours.
class CInstanceLock {
public:
    CInstanceLock() {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
        if (mutex == nullptr) return;  // no lock: the look-up and creation just race as they would
        m_Mutex.Reset(mutex);
        const DWORD waited = WaitForSingleObject(mutex, kInstanceMutexWaitMs);
        m_Held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    ~CInstanceLock() {
        if (m_Held) ReleaseMutex(m_Mutex.Get());
    }
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

private:
    NQuillonWin32::CHandle m_Mutex;
    bool m_Held = false;
};

}  // namespace

jint GetCommandMonitorToken(JNIEnv* env, jobject receiver) {
    if (receiver == nullptr) return 0;
    std::lock_guard<std::mutex> turn(g_CallLock);
    // A monitor just let go of usually ends within moments: give it that, so that its window is
    // gone before the look-up.
    ReapRetiredMonitors(env, kStopWaitMs);
    CInstanceLock lock;
    HWND found = FindServingMonitorWindow();
    if (found != nullptr) return TokenOf(found);
    if (g_Monitor != nullptr && g_Monitor->HasLostWindow()) {
        // Stopped or retired by another process, or its window destroyed from outside: make way
        // for a fresh monitor.
        g_Retired.reserve(g_Retired.size() + 1);  // may throw while the monitor is still held
        CCommandMonitor* ended = g_Monitor;
        g_Monitor = nullptr;
        EndMonitor(env, ended, kStopWaitMs);
    }
    if (g_Monitor != nullptr) return TokenOf(g_Monitor->WaitForWindow(kWindowWaitMs));

    // The monitor's destructor deletes the receiver's reference on every way out below on which
    // the thread has not taken it over (Start failing or throwing).
    auto monitor = std::make_unique<CCommandMonitor>(env, receiver);
    if (!monitor->Start()) return 0;
    g_Monitor = monitor.release();
    // Held until the window exists, so that a launch waiting for the lock finds it.
    HWND window = g_Monitor->WaitForWindow(kWindowWaitMs);
    if (window == nullptr) {
        // No window, or none in time: stopped, so that a window made late never serves. The monitor
        // stays and later calls answer 0. A thread that could not attach to the VM never took the
        // receiver's reference over, and nothing else would delete it while the monitor stays.
        g_Monitor->RequestStop();
        if (g_Monitor->WaitForThreads(kStopWaitMs)) g_Monitor->ReleaseReceiver(env);
    }
    return TokenOf(window);
}

bool IsCommandMonitorThisProcess(jint token) {
    if (token == 0) return false;
    DWORD owner = 0;
    GetWindowThreadProcessId(WindowOf(token), &owner);
    return owner == GetCurrentProcessId();
}

bool SendCommandToCommandMonitor(JNIEnv* env, jint token, jstring method, jstring argument, DWORD timeoutMs) {
    std::string argumentText = JavaStringToNarrow(env, argument);
    std::string methodName = JavaStringToNarrow(env, method);
    if (token == 0) return false;
    HWND window = WindowOf(token);
    if (!IsMonitorWindow(window) || IsRetiredMonitorWindow(window)) return false;
    auto message = std::make_unique<SCommandMessage>(BuildCommandPayload(methodName, argumentText));
    // The monitor's window thread takes the command and answers at once; the wait is for a window
    // that has stopped answering altogether.
    DWORD_PTR result = FALSE;
    SetLastError(ERROR_SUCCESS);
    if (SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&message->data), SMTO_NORMAL, timeoutMs,
                            &result) != 0) {
        return result != FALSE;  // FALSE: the monitor was let go of before it took the command
    }
    // A message that timed out is withdrawn unless the window thread had already taken it, and then
    // it still runs to completion. Sent to another process it carries its own copy of the data;
    // within this process the window procedure reads this very block, so it is left to it rather
    // than freed under it. Nothing was taken when the send failed otherwise.
    const DWORD error = GetLastError();
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (error == ERROR_TIMEOUT && owner == GetCurrentProcessId()) message.release();
    return false;
}

void BringCommandMonitorProcessToFront(jint) {}

void DestroyCommandMonitor(JNIEnv* env, jint token) {
    if (token == 0) return;
    std::lock_guard<std::mutex> turn(g_CallLock);
    HWND window = WindowOf(token);
    if (IsMonitorWindow(window)) {
        // Marked at once, so that no token call in any process takes it any more, however long
        // its thread needs to reach the stop request; a window of another process marks itself
        // when the request arrives. Results not examined.
        MarkMonitorWindowRetired(window);
        PostMessageA(window, kStopMessage, 0, 0);
    }
    ReapRetiredMonitors(env, 0);
    if (g_Monitor == nullptr) return;
    CCommandMonitor* monitor = g_Monitor;
    g_Monitor = nullptr;
    EndMonitor(env, monitor, kStopWaitMs);
}

void StopCommandMonitorsForUnload(JavaVM* vm) {
    JNIEnv* env = nullptr;
    if (vm == nullptr || vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2) != JNI_OK) env = nullptr;
    std::lock_guard<std::mutex> turn(g_CallLock);
    if (g_Monitor != nullptr) {
        CCommandMonitor* monitor = g_Monitor;
        g_Monitor = nullptr;
        try {
            g_Retired.push_back(monitor);
        } catch (const std::bad_alloc&) {
            // Not kept: stopped below all the same, and left to end by itself.
            monitor->RequestStop();
            monitor->WaitForThreads(kUnloadWaitMs);
        }
    }
    for (CCommandMonitor* monitor : g_Retired) monitor->RequestStop();
    ReapRetiredMonitors(env, kUnloadWaitMs);
    // Those still running keep the library loaded through their own reference until they have left
    // it; nobody is left to delete them.
    if (g_Retired.empty()) UnregisterMonitorClass();
    g_Retired.clear();
}

}  // namespace NWireletMonitor
