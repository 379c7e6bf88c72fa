#include "wirelet/monitor/command_monitor.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "common/java_names.h"
#include "wirelet/monitor/java_strings.h"
#include "wirelet/support/check.h"

namespace NWireletMonitor {

const char kMonitorClassName[] = "Brevant_Zephra_Remote_CommandMonitor::UniqueWindow";
const char kRetiredPropertyName[] = "Brevant_Zephra_Remote_CommandMonitor::Retired";

namespace {

// What a queued command counts for against kMaxQueuedBytes beyond its text.
constexpr std::size_t kQueuedCommandOverhead = 64;

// The monitor whose window thread is running here. The window procedure runs on the thread that
// owns the window, so it finds its own monitor even while an older one is still winding down.
thread_local CCommandMonitor* t_Monitor = nullptr;

// The module holding this code: the window class is registered for it, so a class left behind
// by an unloaded copy of the library at another address is never reused.
HINSTANCE ThisModule();

LRESULT CALLBACK CommandMonitorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    CCommandMonitor* monitor = t_Monitor;
    switch (message) {
        case WM_COPYDATA: {
            // TRUE tells the sender that a serving monitor took the command (queued it, or dropped
            // it as naming no possible method); a retired monitor, or one whose queue is full,
            // answers FALSE.
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data == nullptr || data->dwData != kCommandDataTag) return FALSE;
            if (monitor == nullptr || IsRetiredMonitorWindow(window)) return FALSE;
            try {
                return monitor->TakeCommand(data->lpData, data->cbData) ? TRUE : FALSE;
            } catch (...) {
                // Out of memory: not taken. Nothing may unwind into the system's message dispatch.
                return FALSE;
            }
        }
        case kStopMessage:
        case WM_CLOSE:
            // The stop request comes from any process; WM_CLOSE from outside ends the monitor too.
            // Either way no further command is taken and the window goes at once.
            if (monitor != nullptr) monitor->StopServing(window);
            return 0;
        case WM_DESTROY:
        case WM_NCDESTROY:
            // Only the window thread's own DestroyWindow counts: the same messages sent from
            // outside change nothing (they would otherwise end the loop or drop the retired mark).
            if (monitor == nullptr) return DefWindowProcA(window, message, wParam, lParam);
            if (!monitor->IsDestroyingWindow()) return 0;
            if (message == WM_DESTROY) {
                PostQuitMessage(0);
                return 0;
            }
            RemovePropA(window, kRetiredPropertyName);
            return DefWindowProcA(window, message, wParam, lParam);
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CommandMonitorWindowProc), &module);
    return module;
}

// A reference to the library holding this code, taken by each monitor thread for its whole run and
// given back by FreeLibraryAndExitThread as its last act: a library unloaded while a thread is
// still inside a receiver stays mapped until that thread has left it. Null when this code is part
// of the program itself, which is never unloaded.
HMODULE PinThisLibrary() {
    HMODULE module = nullptr;
    if (ThisModule() == GetModuleHandleA(nullptr)) return nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CommandMonitorWindowProc),
                            &module)) {
        return nullptr;
    }
    return module;
}

void LeaveThisLibrary(HMODULE pin) {
    if (pin != nullptr) FreeLibraryAndExitThread(pin, 1);
}

void ClearPendingException(JNIEnv* env) {
    jthrowable thrown = env->ExceptionOccurred();
    if (thrown == nullptr) return;
    env->ExceptionClear();
    env->DeleteLocalRef(thrown);
}

std::size_t CostOf(const SCommand& command) {
    return command.name.size() + command.argument.size() + kQueuedCommandOverhead;
}

// One class of the token's information, sized by a first call.
std::vector<unsigned char> ReadTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size == 0) throw NQuillonWin32::CCheckException(GetLastError());
    std::vector<unsigned char> buffer(size);
    NQuillonWin32::Check([&] { return GetTokenInformation(token, kind, buffer.data(), size, &size); });
    return buffer;
}

HANDLE OpenProcessToQuery(DWORD processId) {
    try {
        return NQuillonWin32::Check([&] { return OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId); });
    } catch (const NQuillonWin32::CCheckException&) {
        // Systems before Vista know only the full query right.
        return NQuillonWin32::Check([&] { return OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId); });
    }
}

}  // namespace

bool IsMonitorWindow(HWND window) {
    if (window == nullptr) return false;
    char name[256] = {};
    int length = GetClassNameA(window, name, sizeof name);
    return length > 0 && std::strcmp(name, kMonitorClassName) == 0;
}

bool IsRetiredMonitorWindow(HWND window) { return GetPropA(window, kRetiredPropertyName) != nullptr; }

void MarkMonitorWindowRetired(HWND window) {
    if (window != nullptr) SetPropA(window, kRetiredPropertyName, reinterpret_cast<HANDLE>(1));
}

void UnregisterMonitorClass() { UnregisterClassA(kMonitorClassName, ThisModule()); }

std::optional<SOwnerIdentity> ReadProcessIdentity(DWORD processId) {
    try {
        NQuillonWin32::CHandle process;
        HANDLE processHandle = GetCurrentProcess();
        if (processId != GetCurrentProcessId()) {
            process.Reset(OpenProcessToQuery(processId));
            processHandle = process.Get();
        }
        HANDLE tokenHandle = nullptr;
        NQuillonWin32::Check([&] { return OpenProcessToken(processHandle, TOKEN_QUERY, &tokenHandle); });
        NQuillonWin32::CHandle token(tokenHandle);

        SOwnerIdentity identity;
        std::vector<unsigned char> user = ReadTokenInformation(token.Get(), TokenUser);
        PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
        const auto* sidBytes = static_cast<const unsigned char*>(sid);
        identity.userSid.assign(sidBytes, sidBytes + GetLengthSid(sid));

        std::vector<unsigned char> label;
        try {
            label = ReadTokenInformation(token.Get(), TokenIntegrityLevel);
        } catch (const NQuillonWin32::CCheckException& e) {
            // A system without integrity levels does not know the class: no level, on both sides.
            if (e.GetError() != ERROR_INVALID_PARAMETER) throw;
            return identity;
        }
        PSID level = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(level);
        if (count == 0) return std::nullopt;
        identity.integrityLevel = *GetSidSubAuthority(level, count - 1);
        return identity;
    } catch (const NQuillonWin32::CCheckException&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

CCommandMonitor::CCommandMonitor(JNIEnv* env, jobject receiver) : m_WindowThread(*this) {
    m_Ready.Reset(NQuillonWin32::Check([] { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }));
    m_Wake.Reset(NQuillonWin32::Check([] { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }));
    if (env->GetJavaVM(&m_Vm) != JNI_OK || m_Vm == nullptr) throw std::bad_alloc();
    m_Receiver = env->NewGlobalRef(receiver);
    if (m_Receiver == nullptr) throw std::bad_alloc();
}

CCommandMonitor::~CCommandMonitor() {
    // The threads use this object's members: they must be gone before the members are. Callers
    // delete a monitor only once its threads have ended, so these waits do not block.
    RequestStop();
    m_WindowThread.Wait(INFINITE);
    Wait(INFINITE);
    if (m_Receiver != nullptr) {
        JNIEnv* env = nullptr;
        if (m_Vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2) == JNI_OK && env != nullptr) {
            env->DeleteGlobalRef(m_Receiver);
            m_Receiver = nullptr;
        }
    }
}

CCommandMonitor::CWindowThread::~CWindowThread() = default;

HWND CCommandMonitor::WaitForWindow(DWORD timeoutMs) {
    HANDLE waits[2] = {m_Ready.Get(), nullptr};
    DWORD count = 1;
    // The monitor thread's handle is signalled when it ends without the window having been tried.
    if (GetThreadHandle() != INVALID_HANDLE_VALUE) waits[count++] = GetThreadHandle();
    WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
    if (HasLostWindow()) return nullptr;
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Closed ? nullptr : m_Window.load();
}

bool CCommandMonitor::HasLostWindow() const {
    if (!m_WindowCreated.load()) return false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Closed) return true;
    }
    HWND window = m_Window.load();
    return !IsMonitorWindow(window) || IsRetiredMonitorWindow(window);
}

bool CCommandMonitor::Close() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Closed) return false;
        m_Closed = true;
    }
    SetEvent(m_Wake.Get());
    return true;
}

void CCommandMonitor::RequestStop() {
    Close();
    HWND window = m_Window.load();
    if (IsMonitorWindow(window)) {
        MarkMonitorWindowRetired(window);
        if (PostMessageA(window, kStopMessage, 0, 0)) return;
    }
    // No window to post to: the window thread, while it runs, leaves its loop on a quit message.
    // Only to a thread still running, since the id of an ended thread may already be another's.
    const DWORD windowThread = m_WindowThread.GetThreadId();
    if (windowThread != 0 && !m_WindowThread.Wait(0)) PostThreadMessageA(windowThread, WM_QUIT, 0, 0);
}

bool CCommandMonitor::WaitForThreads(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    if (!m_WindowThread.Wait(timeoutMs)) return false;
    if (IsMonitorThread()) return false;
    const DWORD spent = GetTickCount() - start;
    return Wait(spent < timeoutMs ? timeoutMs - spent : 0);
}

bool CCommandMonitor::HasEnded() const { return Wait(0) && m_WindowThread.Wait(0); }

void CCommandMonitor::ReleaseReceiver(JNIEnv* env) {
    if (m_Receiver == nullptr || env == nullptr) return;
    env->DeleteGlobalRef(m_Receiver);
    m_Receiver = nullptr;
}

bool CCommandMonitor::TakeCommand(const void* data, std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Closed) return false;
    }
    SCommand command = ParseCommandPayload(data, size);
    if (!IsAcceptableMethodName(command.name)) return true;  // dropped: no method can have that name
    const std::size_t cost = CostOf(command);
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Closed || m_QueuedBytes + cost > kMaxQueuedBytes) return false;
        m_Queue.push_back(std::move(command));
        m_QueuedBytes += cost;
    }
    SetEvent(m_Wake.Get());
    return true;
}

void CCommandMonitor::StopServing(HWND window) {
    Close();
    MarkMonitorWindowRetired(window);
    DestroyMonitorWindow();
}

bool CCommandMonitor::Run() {
    HMODULE pin = PinThisLibrary();
    JNIEnv* env = nullptr;
    if (m_Vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) == JNI_OK && env != nullptr) {
        bool started = false;
        try {
            started = m_WindowThread.Start();
        } catch (const NQuillonWin32::CCheckException&) {
            // Its stop event is broken: no window thread, no window.
        }
        if (started) ServeCommands(env);
        ClearPendingException(env);
        env->DeleteGlobalRef(m_Receiver);
        m_Receiver = nullptr;
        m_Vm->DetachCurrentThread();
    }
    // Nothing is taken any more; a token call still waiting learns that there is no window.
    Close();
    SetEvent(m_Ready.Get());
    LeaveThisLibrary(pin);
    return true;
}

void CCommandMonitor::ServeCommands(JNIEnv* env) {
    // The window thread's end wakes this thread too: it then runs what was taken and ends.
    HANDLE waits[2] = {m_Wake.Get(), m_WindowThread.GetThreadHandle()};
    for (;;) {
        SCommand command;
        bool have = false;
        bool closed = false;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            if (!m_Queue.empty()) {
                command = std::move(m_Queue.front());
                m_Queue.pop_front();
                m_QueuedBytes -= CostOf(command);
                have = true;
            }
            closed = m_Closed;
        }
        if (have) {
            DispatchCommand(env, command);
            continue;
        }
        if (closed) return;
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) Close();
    }
}

bool CCommandMonitor::CWindowThread::Run() {
    HMODULE pin = PinThisLibrary();
    m_Owner.RunWindow();
    LeaveThisLibrary(pin);
    return true;
}

void CCommandMonitor::RunWindow() {
    t_Monitor = this;
    CreateMonitorWindow();
    bool serve = false;
    {
        // A stop requested before the window existed found nothing to post to: honour it here.
        std::lock_guard<std::mutex> lock(m_Lock);
        serve = !m_Closed && m_Window.load() != nullptr;
    }
    try {
        NQuillonWin32::Check([&] { return SetEvent(m_Ready.Get()); });
    } catch (const NQuillonWin32::CCheckException&) {
        // The token call's wait is bounded; it then gives up on this monitor.
    }
    if (serve) {
        MSG message;
        // GetMessageA gives -1 on failure: that ends the loop too.
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    }
    Close();
    DestroyMonitorWindow();
    t_Monitor = nullptr;
}

void CCommandMonitor::CreateMonitorWindow() {
    HINSTANCE instance = ThisModule();
    WNDCLASSA windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &CommandMonitorWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kMonitorClassName;
    try {
        NQuillonWin32::Check([&] { return RegisterClassA(&windowClass); });
    } catch (const NQuillonWin32::CCheckException& e) {
        // The class stays registered after an earlier monitor of this process: reuse it.
        if (e.GetError() != ERROR_CLASS_ALREADY_EXISTS) return;
    }
    try {
        HWND window = NQuillonWin32::Check([&] {
            return CreateWindowExA(0, kMonitorClassName, kMonitorClassName, WS_DISABLED, 0, 0, 0, 0, nullptr, nullptr,
                                   instance, nullptr);
        });
        m_Window.store(window);
        m_WindowCreated.store(true);
    } catch (const NQuillonWin32::CCheckException&) {
        // No window: the token call gets 0.
    }
}

void CCommandMonitor::DestroyMonitorWindow() {
    // Retired before it goes, so that no token call of another process takes it meanwhile.
    HWND window = m_Window.load();
    if (window == nullptr) return;
    if (IsWindow(window)) {
        MarkMonitorWindowRetired(window);
        m_Destroying.store(true);
        DestroyWindow(window);
    }
    m_Window.store(nullptr);
}

void CCommandMonitor::DispatchCommand(JNIEnv* env, const SCommand& command) {
    if (m_Receiver == nullptr || !IsAcceptableMethodName(command.name)) return;
    jstring text = NarrowToJavaString(env, command.argument);
    if (text == nullptr) {
        ClearPendingException(env);
        return;
    }
    jclass receiverClass = env->GetObjectClass(m_Receiver);
    if (receiverClass == nullptr) {
        ClearPendingException(env);
        env->DeleteLocalRef(text);
        return;
    }
    jmethodID method = env->GetMethodID(receiverClass, command.name.c_str(), zephra_java::kCommandDescriptor);
    if (method == nullptr) {
        ClearPendingException(env);  // NoSuchMethodError: the command is dropped
    } else {
        env->CallVoidMethod(m_Receiver, method, text);
        ClearPendingException(env);  // what the method threw ends here
    }
    env->DeleteLocalRef(receiverClass);
    env->DeleteLocalRef(text);
}

}  // namespace NWireletMonitor
