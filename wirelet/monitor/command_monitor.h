#pragma once
// The single-instance command monitor: a hidden top-level window of a fixed class that a later
// launch of the client finds by its class name and sends WM_COPYDATA commands to, and the thread,
// attached to the Java VM, that turns each command into a call of the receiver object's Java
// method of that name with one String argument.
//
// Two threads serve one monitor. The window thread owns the window and never calls into Java: it
// copies each command into the monitor's queue and answers at once, so senders and broadcasters
// never wait for a receiver. The monitor thread calls the receivers, one command at a time in the
// order they were taken. A command taken is run, however long the receivers before it take.

#include <jni.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "wirelet/monitor/command_payload.h"
#include "wirelet/monitor/owner_identity.h"
#include "wirelet/support/handle.h"
#include "wirelet/support/thread.h"

namespace NWireletMonitor {

// Class name and title of the monitor window; the other launches find it by this name.
extern const char kMonitorClassName[];
// Posted to the monitor window: the monitor takes no more commands and its window goes.
constexpr UINT kStopMessage = WM_USER + 1;
// Commands waiting for the receiver, in payload bytes (each counted with a fixed overhead): past it
// the window refuses further commands rather than let a flooding sender take all memory.
constexpr std::size_t kMaxQueuedBytes = 64u * 1024u * 1024u;

// Whether the window exists and is of the monitor class (a window handle can be reused by an
// unrelated window once the monitor's is gone).
bool IsMonitorWindow(HWND window);

// A monitor window that has been let go of is marked retired through a window property, which any
// process can read without sending the window a message: no token call in any process takes such a
// window, and it takes no further command. The window thread destroys it moments later.
extern const char kRetiredPropertyName[];
bool IsRetiredMonitorWindow(HWND window);
// Marks a monitor window retired; the mark goes with the window. Results are not examined.
void MarkMonitorWindowRetired(HWND window);

// For the library's unload, once no monitor window of this process is left: a class registered by
// a library outlives it unless unregistered, its window procedure pointing into unloaded code.
// Results are not examined.
void UnregisterMonitorClass();

// The user and integrity level of the process's token; none when they cannot be read (the process
// is gone, or its token is closed to this one, as an elevated process's is to a normal one).
std::optional<SOwnerIdentity> ReadProcessIdentity(DWORD processId);

class CCommandMonitor : public NQuillonWin32::CThread {
public:
    // Takes the VM from env and a global reference to the receiver, and creates the monitor's
    // events. Throws CCheckException when an event cannot be created, std::bad_alloc when the VM
    // cannot make the reference.
    CCommandMonitor(JNIEnv* env, jobject receiver);
    // Delete a monitor only once both its threads have ended (HasEnded): they use this object, and
    // the monitor thread is attached to the VM, so neither is ever ended by force. A receiver
    // reference still held (the thread never ran, or never attached) is deleted through the VM,
    // when the deleting thread is attached to it.
    ~CCommandMonitor() override;

    // Blocks until the window thread has tried to create the window, the monitor has ended without
    // trying, or timeoutMs has passed. The window while the monitor serves, otherwise null.
    HWND WaitForWindow(DWORD timeoutMs);
    // The window was created and the monitor serves no more: it was stopped, or its window is gone
    // or retired (by any process). Its threads are ending or have ended.
    bool HasLostWindow() const;
    // From now on no command is taken; those taken already still run. The window is marked retired
    // and its thread asked to destroy it and end; the monitor thread ends once the queue is empty.
    // Results are not examined.
    void RequestStop();
    // Waits up to timeoutMs in all for the window thread and then the monitor thread to end (never
    // for the calling thread itself). True when both have ended (or never started).
    bool WaitForThreads(DWORD timeoutMs);
    bool HasEnded() const;
    // Deletes the receiver's global reference if the thread did not (it never ran, or could not
    // attach to the VM). Call only once the threads have ended.
    void ReleaseReceiver(JNIEnv* env);
    bool IsMonitorThread() const { return GetCurrentThreadId() == GetThreadId(); }
    // Whether the window is this monitor's (while it has one).
    bool OwnsWindow(HWND window) const { return window != nullptr && m_Window.load() == window; }

    // On the window thread: copies a received payload into the queue. False when the monitor takes
    // no more commands or the queue is full; true when queued, or dropped as naming no possible
    // method.
    bool TakeCommand(const void* data, std::size_t size);
    // On the window thread, in the window procedure.
    void StopServing(HWND window);
    bool IsDestroyingWindow() const { return m_Destroying.load(); }

protected:
    bool Run() override;

private:
    class CWindowThread : public NQuillonWin32::CThread {
    public:
        explicit CWindowThread(CCommandMonitor& owner) : m_Owner(owner) {}
        ~CWindowThread() override;

    protected:
        bool Run() override;

    private:
        CCommandMonitor& m_Owner;
    };

    void ServeCommands(JNIEnv* env);
    void RunWindow();
    void CreateMonitorWindow();
    void DestroyMonitorWindow();
    // Closes the queue to new commands; true when it was open.
    bool Close();
    void DispatchCommand(JNIEnv* env, const SCommand& command);

    std::atomic<HWND> m_Window{nullptr};
    NQuillonWin32::CHandle m_Ready;
    NQuillonWin32::CHandle m_Wake;
    JavaVM* m_Vm = nullptr;
    jobject m_Receiver = nullptr;
    std::atomic<bool> m_WindowCreated{false};
    std::atomic<bool> m_Destroying{false};
    // Guards the queue, its byte count and the closed mark; held only to look or to change them.
    mutable std::mutex m_Lock;
    std::deque<SCommand> m_Queue;
    std::size_t m_QueuedBytes = 0;
    bool m_Closed = false;
    CWindowThread m_WindowThread;
};

}  // namespace NWireletMonitor
