#pragma once

#include <windows.h>

namespace NQuillonWin32 {

// Owns one kernel handle. INVALID_HANDLE_VALUE means "none"; a null handle does not.
class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE handle) : m_Handle(handle) {}
    // Closes what it holds; a failed close is swallowed here (destructors never throw).
    ~CHandle();
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_Handle(other.Release()) {}
    CHandle& operator=(CHandle&& other);

    // Closes the handle if one is held. With none held it does nothing, and leaves the last
    // error alone. A failed CloseHandle throws CCheckException and keeps the handle value.
    void Close();
    // Takes ownership of a handle that the caller has just created; closes the old one first.
    void Reset(HANDLE newHandle);
    // Gives up ownership without closing.
    HANDLE Release();

    HANDLE Get() const { return m_Handle; }
    bool IsValid() const { return m_Handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
};

}  // namespace NQuillonWin32
