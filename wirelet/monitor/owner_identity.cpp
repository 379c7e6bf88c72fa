#include "wirelet/monitor/owner_identity.h"

namespace NWireletMonitor {

bool MayServeAsPrimary(const std::optional<SOwnerIdentity>& self, const std::optional<SOwnerIdentity>& owner) {
    if (!self || !owner || self->userSid.empty()) return false;
    return self->userSid == owner->userSid && self->integrityLevel == owner->integrityLevel;
}

}  // namespace NWireletMonitor
