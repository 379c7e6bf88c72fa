#pragma once
// The one place where a channel becomes the 32-bit token that Java carries. The token is the
// channel object's address, so it is nonzero and stays the same for the channel's lifetime.
// Tokens are only ever compared with the tokens of live channels (the manager walks its map);
// a token is never turned back into a pointer, so a stale or forged token cannot be dereferenced.
// A build with wider addresses would put a handle table here.

#include <cstdint>

class CWirelet;

typedef std::int32_t TWireletToken;

static_assert(sizeof(void*) == sizeof(TWireletToken), "channel tokens are addresses in a 32-bit process");

inline TWireletToken TokenOf(const CWirelet* channel) {
    return static_cast<TWireletToken>(reinterpret_cast<std::uintptr_t>(channel));
}
