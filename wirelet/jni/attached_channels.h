#pragma once
// The attached-channel map: one reference per token that a Java Wirelet object is attached to.
// Its reference keeps an attached channel alive after the manager has let go of it (unplugged
// device, later refresh). At most one entry per token; an existing entry is never replaced.
// Plain data without a lock, like the manager: the Java client runs one channel operation at a time.

#include <map>
#include <utility>

#include "wirelet/device/manager.h"

namespace NWireletJni {

class CAttachedChannels {
public:
    CAttachedChannels() = default;
    CAttachedChannels(const CAttachedChannels&) = delete;
    CAttachedChannels& operator=(const CAttachedChannels&) = delete;

    // Records a further reference to channel under token, unless the token already has an entry.
    // Returns true when an entry was added. A handle holding no channel is never recorded.
    bool Attach(TWireletToken token, const TWireletPtr& channel) {
        if (channel.Get() == nullptr) return false;
        return m_Entries.emplace(token, channel).second;
    }

    // Erases the token's entry, releasing its reference (the channel is destroyed when that was
    // the last one). Returns true when there was an entry.
    bool Detach(TWireletToken token) {
        auto found = m_Entries.find(token);
        if (found == m_Entries.end()) return false;
        // Take the handle out first, so that the map is consistent while the channel is destroyed.
        TWireletPtr released = std::move(found->second);
        m_Entries.erase(found);
        released.Release();
        return true;
    }

    // Releases every entry.
    void Clear() {
        while (!m_Entries.empty()) Detach(m_Entries.begin()->first);
    }

    bool Contains(TWireletToken token) const { return m_Entries.count(token) != 0; }
    std::size_t Size() const { return m_Entries.size(); }

private:
    std::map<TWireletToken, TWireletPtr> m_Entries;
};

}  // namespace NWireletJni
