#include "wirelet/support/handle.h"

#include "wirelet/support/check.h"

namespace NQuillonWin32 {

CHandle::~CHandle() {
    try {
        Close();
    } catch (const CCheckException&) {
        // A handle that cannot be closed cannot be helped here; it must not end the process.
    }
}

CHandle& CHandle::operator=(CHandle&& other) {
    if (this != &other) Reset(other.Release());
    return *this;
}

void CHandle::Close() {
    if (m_Handle == INVALID_HANDLE_VALUE) return;
    Check([&] { return CloseHandle(m_Handle); });
    m_Handle = INVALID_HANDLE_VALUE;
}

void CHandle::Reset(HANDLE newHandle) {
    Close();
    m_Handle = newHandle;
}

HANDLE CHandle::Release() {
    HANDLE handle = m_Handle;
    m_Handle = INVALID_HANDLE_VALUE;
    return handle;
}

}  // namespace NQuillonWin32
