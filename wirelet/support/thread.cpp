#include "wirelet/support/thread.h"

#include "wirelet/support/check.h"

namespace NQuillonWin32 {

CThread::CThread() {
    m_StopEvent.Reset(Check([] { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }));
}

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

namespace {

// The priority class is the process's, the thread priority each scope's own. While scopes live on
// several threads at once, the class found by the first of them is put back when the last ends,
// in whatever order they end.
SRWLOCK g_PriorityLock = SRWLOCK_INIT;
int g_RaisedScopes = 0;
DWORD g_FoundPriorityClass = 0;

class CPriorityLock {
public:
    CPriorityLock() { AcquireSRWLockExclusive(&g_PriorityLock); }
    ~CPriorityLock() { ReleaseSRWLockExclusive(&g_PriorityLock); }
    CPriorityLock(const CPriorityLock&) = delete;
    CPriorityLock& operator=(const CPriorityLock&) = delete;
};

}  // namespace

CScopedPriority::CScopedPriority(DWORD priorityClass, int threadPriority)
    : m_Process(GetCurrentProcess()), m_Thread(GetCurrentThread()) {
    CPriorityLock lock;
    m_SavedThreadPriority = GetThreadPriority(m_Thread);
    const DWORD found = GetPriorityClass(m_Process);
    Check([&] { return SetThreadPriority(m_Thread, threadPriority); });
    try {
        Check([&] { return SetPriorityClass(m_Process, priorityClass); });
    } catch (const CCheckException&) {
        SetThreadPriority(m_Thread, m_SavedThreadPriority);
        throw;
    }
    if (g_RaisedScopes++ == 0) g_FoundPriorityClass = found;
}

CScopedPriority::~CScopedPriority() {
    CPriorityLock lock;
    try {
        Check([&] { return SetThreadPriority(m_Thread, m_SavedThreadPriority); });
    } catch (const CCheckException&) {
        // A thread priority that cannot be put back stays as it is.
    }
    if (--g_RaisedScopes > 0) return;
    try {
        Check([&] { return SetPriorityClass(m_Process, g_FoundPriorityClass); });
    } catch (const CCheckException&) {
        // Nor can the class be helped.
    }
}

}  // namespace NQuillonWin32
