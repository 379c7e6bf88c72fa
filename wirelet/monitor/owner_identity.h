#pragma once
// Which running instance may serve a launch as its primary: one run by the same user at the same
// integrity level. A launch cannot hand WM_COPYDATA to a window of a higher integrity level (the
// system refuses it), and an instance of another user on the same desktop is not this user's
// client. The decision is plain data; reading it from a process's token is the monitor's part.

#include <optional>
#include <vector>

namespace NWireletMonitor {

struct SOwnerIdentity {
    // The bytes of the token user's SID.
    std::vector<unsigned char> userSid;
    // The relative ID of the token's integrity level (0x2000 medium, 0x3000 high, ...); none on a
    // system without integrity levels.
    std::optional<unsigned long> integrityLevel;
};

// Whether a monitor owned by `owner` may serve a launch running as `self`: both are known, with the
// same user SID and the same integrity level (or neither has one). Unknown on either side: no.
bool MayServeAsPrimary(const std::optional<SOwnerIdentity>& self, const std::optional<SOwnerIdentity>& owner);

}  // namespace NWireletMonitor
