#include "wirelet/support/thread.h"

#include "wirelet/support/check.h"

namespace NQuillonWin32 {

CThread::CThread() { m_StopEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr)); }

CThread::~CThread() {
    try {
        Stop(1000);
    } catch (const CCheckException&) {
        // The stop event is broken; still wait for (or end) the thread below.
        WaitOrTerminate(1000);
    }
}

bool CThread::Start() {
    Check([&] { return ResetEvent(m_StopEvent.Get()); });
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &CThread::Entry, this, CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        m_Thread.Close();
        m_ThreadId = 0;
        return false;
    }
    m_Thread.Reset(thread);
    m_ThreadId = id;
    ResumeThread(thread);
    return true;
}

void CThread::SignalStop() {
    Check([&] { return SetEvent(m_StopEvent.Get()); });
}

void CThread::WaitOrTerminate(DWORD timeoutMs) {
    if (!m_Thread.IsValid()) return;
    if (WaitForSingleObject(m_Thread.Get(), timeoutMs) != WAIT_OBJECT_0) TerminateThread(m_Thread.Get(), 0);
}

void CThread::Stop(DWORD timeoutMs) {
    SignalStop();
    WaitOrTerminate(timeoutMs);
}

bool CThread::Wait(DWORD timeoutMs) const {
    if (!m_Thread.IsValid()) return true;
    return WaitForSingleObject(m_Thread.Get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI CThread::Entry(void* self) {
    try {
        return static_cast<CThread*>(self)->Run() ? 1 : 0;
    } catch (...) {
        // Nothing may unwind out of a thread's entry point.
        return 0;
    }
}

CScopedPriority::CScopedPriority(DWORD priorityClass, int threadPriority)
    : m_Process(GetCurrentProcess()), m_Thread(GetCurrentThread()) {
    Apply(priorityClass, threadPriority);
}

CScopedPriority::~CScopedPriority() {
    try {
        Apply(m_SavedPriorityClass, m_SavedThreadPriority);
    } catch (const CCheckException&) {
        // Priorities that cannot be put back stay as they are.
    }
}

void CScopedPriority::Apply(DWORD priorityClass, int threadPriority) {
    m_SavedThreadPriority = GetThreadPriority(m_Thread);
    m_SavedPriorityClass = GetPriorityClass(m_Process);
    Check([&] { return SetThreadPriority(m_Thread, threadPriority); });
    Check([&] { return SetPriorityClass(m_Process, priorityClass); });
}

}  // namespace NQuillonWin32
