#pragma once

#include <windows.h>

#include "wirelet/support/handle.h"

namespace NQuillonWin32 {

// An unnamed Win32 mutex.
class CMutex {
public:
    // Throws CCheckException when the mutex cannot be created.
    CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    // Waits for the mutex without a time-out; a failed wait throws CCheckException.
    void Lock();
    // Releases it; a failed ReleaseMutex throws CCheckException.
    void Unlock();
    bool IsLocked() const { return m_Locked; }

private:
    CHandle m_Handle;
    bool m_Locked = false;
};

// Holds a CMutex for its scope. Unlock() may end the hold early on the normal path; the
// destructor then does nothing. A failed release in the destructor is swallowed.
class CMutexLock {
public:
    explicit CMutexLock(CMutex& mutex);
    ~CMutexLock();
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

    void Unlock();

private:
    CMutex* m_Mutex;
};

}  // namespace NQuillonWin32
