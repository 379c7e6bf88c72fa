#include "wirelet/monitor/command_monitor.h"

#include <cstring>
#include <new>

#include "common/java_names.h"
#include "wirelet/monitor/command_payload.h"
#include "wirelet/monitor/java_strings.h"
#include "wirelet/support/check.h"

namespace NWireletMonitor {

const char kMonitorClassName[] = "Brevant_Zephra_Remote_CommandMonitor::UniqueWindow";
const char kRetiredPropertyName[] = "Brevant_Zephra_Remote_CommandMonitor::Retired";

namespace {

// The monitor whose thread is running here. The window procedure runs on the thread that owns
// the window, so it finds its own monitor even while an older one is still winding down.
thread_local CCommandMonitor* t_Monitor = nullptr;

// The module holding this code: the window class is registered for it, so a class left behind
// by an unloaded copy of the library at another address is never reused.
HINSTANCE ThisModule();

LRESULT CALLBACK CommandMonitorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    switch (message) {
        case WM_COPYDATA: {
            // TRUE tells the sender that a serving monitor took the command (ran it, or dropped it
            // as naming no method); a retired monitor runs nothing more and answers FALSE.
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data == nullptr || data->dwData != kCommandDataTag) return FALSE;
            if (t_Monitor == nullptr || IsRetiredMonitorWindow(window)) return FALSE;
            try {
                SCommand command = ParseCommandPayload(data->lpData, data->cbData);
                t_Monitor->DispatchCommand(command.name, command.argument);
            } catch (...) {
                // A command that cannot be handled (out of memory) is dropped; nothing may unwind
                // into the system's message dispatch.
            }
            return TRUE;
        }
        case kStopMessage:
            // From any process: commands sent from now on are refused, and no token call takes
            // the window while the thread winds down.
            MarkMonitorWindowRetired(window);
            PostQuitMessage(0);
            return 0;
        case WM_DESTROY:
            // Also when the window is destroyed from outside (WM_CLOSE): the thread then leaves its
            // loop, lets go of the receiver and detaches instead of idling without a window.
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
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

void ClearPendingException(JNIEnv* env) {
    jthrowable thrown = env->ExceptionOccurred();
    if (thrown == nullptr) return;
    env->ExceptionClear();
    env->DeleteLocalRef(thrown);
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

CCommandMonitor::CCommandMonitor(JNIEnv* env, jobject receiver) {
    m_Ready.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (env->GetJavaVM(&m_Vm) != JNI_OK || m_Vm == nullptr) throw std::bad_alloc();
    m_Receiver = env->NewGlobalRef(receiver);
    if (m_Receiver == nullptr) throw std::bad_alloc();
}

CCommandMonitor::~CCommandMonitor() {
    // Run uses this object's members: the thread must be gone before they are. It is attached to
    // the VM, so it is asked to stop and waited for, never ended by force; callers delete a
    // monitor only once its thread has ended, so this wait does not block.
    RequestStop();
    Wait(INFINITE);
    if (m_Receiver != nullptr) {
        JNIEnv* env = nullptr;
        if (m_Vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2) == JNI_OK && env != nullptr) {
            env->DeleteGlobalRef(m_Receiver);
            m_Receiver = nullptr;
        }
    }
}

HWND CCommandMonitor::WaitForWindow() {
    HANDLE waits[2];
    DWORD count = 0;
    if (m_Ready.IsValid() && m_Ready.Get() != nullptr) waits[count++] = m_Ready.Get();
    if (GetThreadHandle() != INVALID_HANDLE_VALUE) waits[count++] = GetThreadHandle();
    // The thread handle is signalled when the thread ends without having signalled readiness.
    if (count > 0) WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    return m_Window.load();
}

bool CCommandMonitor::HasLostWindow() const { return m_WindowCreated.load() && !IsMonitorWindow(m_Window.load()); }

void CCommandMonitor::RequestStop() {
    HWND window = m_Window.load();
    if (IsMonitorWindow(window)) PostMessageA(window, kStopMessage, 0, 0);
    // Only to a thread still running: the id of an ended thread may already be another's.
    if (GetThreadId() != 0 && !Wait(0)) PostThreadMessageA(GetThreadId(), WM_QUIT, 0, 0);
}

void CCommandMonitor::Retire() { MarkMonitorWindowRetired(m_Window.load()); }

void CCommandMonitor::ReleaseReceiver(JNIEnv* env) {
    if (m_Receiver == nullptr) return;
    env->DeleteGlobalRef(m_Receiver);
    m_Receiver = nullptr;
}

bool CCommandMonitor::Run() {
    t_Monitor = this;
    JNIEnv* env = nullptr;
    bool attached = m_Vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) == JNI_OK && env != nullptr;
    if (attached) {
        m_ThreadEnv = env;
        CreateMonitorWindow();
    }
    try {
        NQuillonWin32::Check([&] { return SetEvent(m_Ready.Get()); });
    } catch (const NQuillonWin32::CCheckException&) {
        // The token call also wakes up when this thread ends.
    }
    if (m_Window.load() != nullptr) RunMessageLoop();
    if (attached) {
        ClearPendingException(env);
        env->DeleteGlobalRef(m_Receiver);
        m_Receiver = nullptr;
        m_ThreadEnv = nullptr;
        m_Vm->DetachCurrentThread();
    }
    t_Monitor = nullptr;
    return true;
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

void CCommandMonitor::RunMessageLoop() {
    MSG message;
    // GetMessageA gives -1 on failure: that ends the loop too.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    // Retired before it goes, and forgotten only once it is gone: until then the window still
    // counts as this monitor's, so no token call can take it for a serving one.
    HWND window = m_Window.load();
    if (IsWindow(window)) {
        MarkMonitorWindowRetired(window);
        DestroyWindow(window);
    }
    m_Window.store(nullptr);
}

void CCommandMonitor::DispatchCommand(const std::string& name, const std::string& argument) {
    JNIEnv* env = m_ThreadEnv;
    if (env == nullptr || m_Receiver == nullptr || !IsAcceptableMethodName(name)) return;
    jstring text = NarrowToJavaString(env, argument);
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
    jmethodID method = env->GetMethodID(receiverClass, name.c_str(), zephra_java::kCommandDescriptor);
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
