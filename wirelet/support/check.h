#pragma once
// The one check discipline for Win32 calls whose failure is tested: the last-error value is
// cleared before the call and, when the call reports failure, the code GetLastError() gives
// right after it is thrown as CCheckException.

#include <windows.h>

namespace NQuillonWin32 {

// Carries the GetLastError() code of a failed Win32 call. Not derived from std::exception:
// it is thrown by value and caught by its own type (or by catch (...)).
class CCheckException {
public:
    explicit CCheckException(DWORD error) : m_Error(error) {}
    DWORD GetError() const { return m_Error; }

private:
    DWORD m_Error;
};

// Throws CCheckException with GetLastError() when succeeded is false.
inline void ThrowLastErrorIf(bool failed) {
    if (failed) throw CCheckException(GetLastError());
}

// Runs one Win32 call under the discipline: SetLastError(ERROR_SUCCESS), the call, and a
// CCheckException carrying GetLastError() when it returns a zero or FALSE result.
// Returns the call's result. Usage: Check([&] { return SetEvent(event); });
template <typename Call>
auto Check(Call&& call) -> decltype(call()) {
    SetLastError(ERROR_SUCCESS);
    auto result = call();
    if (!result) throw CCheckException(GetLastError());
    return result;
}

}  // namespace NQuillonWin32
