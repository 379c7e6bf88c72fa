#include "wirelet/support/mutex.h"

#include "wirelet/support/check.h"

namespace NQuillonWin32 {

CMutex::CMutex() {
    m_Handle.Reset(Check([] { return CreateMutexA(nullptr, FALSE, nullptr); }));
}

void CMutex::Lock() {
    SetLastError(ERROR_SUCCESS);
    const DWORD result = WaitForSingleObject(m_Handle.Get(), INFINITE);
    // An abandoned mutex is owned all the same: its last owner ended without releasing it.
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) throw CCheckException(GetLastError());
    m_Locked = true;
}

void CMutex::Unlock() {
    m_Locked = false;
    Check([&] { return ReleaseMutex(m_Handle.Get()); });
}

CMutexLock::CMutexLock(CMutex& mutex) : m_Mutex(&mutex) { m_Mutex->Lock(); }

CMutexLock::~CMutexLock() {
    if (m_Mutex == nullptr) return;
    try {
        m_Mutex->Unlock();
    } catch (const CCheckException&) {
        // Releasing a mutex we hold only fails if the handle is broken; nothing to undo.
    }
}

void CMutexLock::Unlock() {
    CMutex* mutex = m_Mutex;
    m_Mutex = nullptr;
    mutex->Unlock();
}

}  // namespace NQuillonWin32
