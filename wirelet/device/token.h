#pragma once
// CTokenTable: the 32-bit tokens through which Java names channels. A token is a number the table
// hands out, never an address: tokens are nonzero, unique among the channels registered, and never
// handed out twice by one table, so a stale token held by Java can never name a newer channel.
// A token is only resolved through the table, so a forged one finds nothing. Plain data without
// a lock, like the manager that owns it.

#include <cstdint>
#include <map>

class CWirelet;

typedef std::int32_t TWireletToken;

class CTokenTable {
public:
    // The first token handed out is firstToken (tests start near the end of the range).
    explicit CTokenTable(std::uint32_t firstToken = 1) : m_Next(firstToken == 0 ? 1 : firstToken) {}
    CTokenTable(const CTokenTable&) = delete;
    CTokenTable& operator=(const CTokenTable&) = delete;

    // A new token for channel, or 0 when channel is null, already registered, or every nonzero
    // 32-bit value has been handed out.
    TWireletToken Issue(CWirelet* channel);
    // The channel registered under token, or null.
    CWirelet* Find(TWireletToken token) const;
    // The token of a registered channel, or 0.
    TWireletToken TokenOf(const CWirelet* channel) const;
    // Forgets the token (its value is never handed out again). Unknown tokens are ignored.
    void Retire(TWireletToken token);
    std::size_t Size() const { return m_Channels.size(); }

private:
    std::map<TWireletToken, CWirelet*> m_Channels;
    std::map<const CWirelet*, TWireletToken> m_Tokens;
    // The next value to hand out; past 0xFFFFFFFF the table is exhausted.
    std::uint64_t m_Next;
};
