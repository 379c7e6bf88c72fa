#pragma once
// Every exported JNI function runs its body through JniWall: whatever is thrown beneath it
// (NQuillonWin32::CCheckException, std::bad_alloc, anything else) stops here and the export
// returns its failure value. Nothing unwinds into the Java VM.

#include <utility>

namespace NWireletJni {

template <typename Result, typename Body>
Result JniWall(Result failureValue, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return failureValue;
    }
}

// For exports that return nothing.
template <typename Body>
void JniWallVoid(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
    }
}

}  // namespace NWireletJni
