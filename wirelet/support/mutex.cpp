#include "wirelet/support/mutex.h"

#include "wirelet/support/check.h"

namespace NQuillonWin32 {

CMutex::CMutex() { m_Handle.Reset(CreateMutexA(nullptr, FALSE, nullptr)); }

void CMutex::Lock() {
    WaitForSingleObject(m_Handle.Get(), INFINITE);
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
