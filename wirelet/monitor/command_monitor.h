#pragma once
// The single-instance command monitor: a hidden top-level window of a fixed class, owned by a
// thread of its own that is attached to the Java VM. A later launch of the client finds the
// window by its class name and sends it WM_COPYDATA commands; the thread turns each into a call
// of the receiver object's Java method of that name with one String argument.

#include <jni.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "wirelet/support/handle.h"
#include "wirelet/support/thread.h"

namespace NWireletMonitor {

// Class name and title of the monitor window; the other launches find it by this name.
extern const char kMonitorClassName[];
// Posted to the monitor window: end the message loop.
constexpr UINT kStopMessage = WM_USER + 1;

// Whether the window exists and is of the monitor class (a window handle can be reused by an
// unrelated window once the monitor's is gone).
bool IsMonitorWindow(HWND window);

// A monitor window that has been let go of keeps existing until its own thread destroys it, which
// may be long while that thread is inside a receiver method (only a window's own thread can destroy
// it). It is marked retired through a window property, which any process can read without sending
// the window a message: no token call in any process takes such a window, and it runs no further
// command.
extern const char kRetiredPropertyName[];
bool IsRetiredMonitorWindow(HWND window);
// Marks a monitor window retired; the mark goes with the window. Results are not examined.
void MarkMonitorWindowRetired(HWND window);

class CCommandMonitor : public NQuillonWin32::CThread {
public:
    // Takes the VM from env and a global reference to the receiver. Throws std::bad_alloc when
    // the VM cannot make the reference.
    CCommandMonitor(JNIEnv* env, jobject receiver);
    // Asks the thread to stop and waits for it to end. Delete a monitor only once its thread has
    // ended (Wait): the thread is attached to the VM and is never ended by force. A receiver
    // reference still held (the thread never ran, or never attached) is deleted through the VM,
    // when the deleting thread is attached to it.
    ~CCommandMonitor() override;

    // Blocks until the thread has tried to create the window, or has ended without trying.
    // The window, or null when there is none.
    HWND WaitForWindow();
    // The window was created and is gone since (destroyed from outside, or by a stop request):
    // this monitor serves no more, and its thread is ending or has ended.
    bool HasLostWindow() const;
    // Posts the stop message to the window and a quit to the thread, so that the thread leaves
    // its message loop also when the window is already gone. Results are not examined.
    void RequestStop();
    // Marks the window retired (see MarkMonitorWindowRetired), while it has one.
    void Retire();
    // Deletes the receiver's global reference if the thread did not (it never ran, or could not
    // attach to the VM). Call only once the thread has ended.
    void ReleaseReceiver(JNIEnv* env);
    bool IsMonitorThread() const { return GetCurrentThreadId() == GetThreadId(); }
    // Whether the window is this monitor's (while it has one).
    bool OwnsWindow(HWND window) const { return window != nullptr && m_Window.load() == window; }

    // Runs one command on the monitor thread: the receiver's method of that name taking one
    // String and returning nothing, called with the argument. A name that is not a possible
    // method name or names no such method is dropped; whatever the method throws is cleared.
    void DispatchCommand(const std::string& name, const std::string& argument);

protected:
    bool Run() override;

private:
    void CreateMonitorWindow();
    void RunMessageLoop();

    std::atomic<HWND> m_Window{nullptr};
    NQuillonWin32::CHandle m_Ready;
    JavaVM* m_Vm = nullptr;
    JNIEnv* m_ThreadEnv = nullptr;
    jobject m_Receiver = nullptr;
    std::atomic<bool> m_WindowCreated{false};
};

}  // namespace NWireletMonitor
