#include "wirelet/monitor/owner_identity.h"

#include <gtest/gtest.h>

using NWireletMonitor::MayServeAsPrimary;
using NWireletMonitor::SOwnerIdentity;

TEST(OwnerIdentity, OnlyTheSameUserAtTheSameIntegrityLevelServes) {
    const SOwnerIdentity medium{{1, 5, 21, 7}, 0x2000};
    struct {
        std::optional<SOwnerIdentity> self, owner;
        bool serves;
    } cases[] = {
        {medium, medium, true},
        {medium, SOwnerIdentity{{1, 5, 21, 7}, 0x3000}, false},  // an elevated primary: its window refuses us
        {SOwnerIdentity{{1, 5, 21, 7}, 0x3000}, medium, false},  // a lower one: not at this level either
        {medium, SOwnerIdentity{{1, 5, 21, 8}, 0x2000}, false},  // another user on the desktop
        {medium, SOwnerIdentity{{1, 5, 21}, 0x2000}, false},     // a SID that is a prefix of ours
        {SOwnerIdentity{{1, 5}, std::nullopt}, SOwnerIdentity{{1, 5}, std::nullopt}, true},  // no levels at all
        {SOwnerIdentity{{1, 5}, std::nullopt}, SOwnerIdentity{{1, 5}, 0x2000}, false},
        {medium, std::nullopt, false},  // its token cannot be read
        {std::nullopt, medium, false},
        {std::nullopt, std::nullopt, false},
        {SOwnerIdentity{{}, 0x2000}, SOwnerIdentity{{}, 0x2000}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MayServeAsPrimary(c.self, c.owner), c.serves)
            << (c.self ? c.self->userSid.size() : 0) << " " << (c.owner ? c.owner->userSid.size() : 0);
    }
}
