#pragma once

#include <windows.h>

#include "wirelet/support/handle.h"

namespace NQuillonWin32 {

// A worker thread with a manual-reset stop event. Derived classes supply Run(); the thread's
// exit code is 1 when Run returns true and 0 when it returns false (or throws).
//
// A derived class whose Run uses its own members must stop the thread in its own destructor:
// by the time ~CThread runs, the derived part is gone.
class CThread {
public:
    // Throws CCheckException when the stop event cannot be created.
    CThread();
    // Stop(1000), then closes the stop event and the thread handle. Never throws.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Resets the stop event and starts a new thread (created suspended, then resumed). An earlier
    // thread's handle is closed, that thread is not stopped. Returns false, holding no thread
    // handle, when the thread cannot be created.
    bool Start();
    // Sets the stop event; Run decides when to end.
    void SignalStop();
    // Waits up to timeoutMs for the thread to end and terminates it if it has not. The handle
    // stays open. Does nothing when no thread was started.
    void WaitOrTerminate(DWORD timeoutMs);
    // SignalStop, then WaitOrTerminate.
    void Stop(DWORD timeoutMs);
    // Waits up to timeoutMs; true when the thread has ended (or none was started).
    bool Wait(DWORD timeoutMs) const;

    HANDLE GetThreadHandle() const { return m_Thread.Get(); }
    DWORD GetThreadId() const { return m_ThreadId; }

protected:
    virtual bool Run() = 0;
    HANDLE GetStopEvent() const { return m_StopEvent.Get(); }
    bool IsStopSignalled() const { return WaitForSingleObject(m_StopEvent.Get(), 0) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Entry(void* self);

    CHandle m_Thread;
    CHandle m_StopEvent;
    DWORD m_ThreadId = 0;
};

// Sets the process priority class and the calling thread's priority (thread first, then class),
// and puts them back when it goes out of scope: the thread's priority at once, the process's
// class when the last of the scopes living at once ends (the class is process-wide, so a scope
// ending first must not put back what another scope set). Construct and destroy it on the same
// thread. A refused priority throws CCheckException and changes nothing.
class CScopedPriority {
public:
    CScopedPriority(DWORD priorityClass, int threadPriority);
    ~CScopedPriority();
    CScopedPriority(const CScopedPriority&) = delete;
    CScopedPriority& operator=(const CScopedPriority&) = delete;

private:
    HANDLE m_Process;
    HANDLE m_Thread;
    int m_SavedThreadPriority = 0;
};

}  // namespace NQuillonWin32
