#include "wirelet/device/token.h"

namespace {
const std::uint64_t kPastLastToken = std::uint64_t(1) << 32;
}  // namespace

TWireletToken CTokenTable::Issue(CWirelet* channel) {
    if (channel == nullptr || m_Next >= kPastLastToken || m_Tokens.count(channel) != 0) return 0;
    // Every nonzero 32-bit pattern is a token; Java sees the upper half as negative ints.
    const TWireletToken token = static_cast<TWireletToken>(static_cast<std::uint32_t>(m_Next));
    m_Channels.emplace(token, channel);
    try {
        m_Tokens.emplace(channel, token);
    } catch (...) {
        m_Channels.erase(token);
        throw;
    }
    ++m_Next;
    return token;
}

CWirelet* CTokenTable::Find(TWireletToken token) const {
    auto found = m_Channels.find(token);
    return found != m_Channels.end() ? found->second : nullptr;
}

TWireletToken CTokenTable::TokenOf(const CWirelet* channel) const {
    auto found = m_Tokens.find(channel);
    return found != m_Tokens.end() ? found->second : 0;
}

void CTokenTable::Retire(TWireletToken token) {
    auto found = m_Channels.find(token);
    if (found == m_Channels.end()) return;
    m_Tokens.erase(found->second);
    m_Channels.erase(found);
}
