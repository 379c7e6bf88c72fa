// The attached-channel map: one reference per token, never replaced, released on detach and clear.

#include "wirelet/jni/attached_channels.h"

#include <gtest/gtest.h>

namespace {

// A channel that only counts its own destruction.
class CCountingChannel : public CWirelet {
public:
    explicit CCountingChannel(int* destroyed) : m_Destroyed(destroyed) {}
    ~CCountingChannel() override { ++*m_Destroyed; }
    int GetOutputPacketSize() override { return 0; }
    int GetInputPacketSize() override { return 0; }
    bool WriteReadPackets(const TPacketPointers&, const TPacketPointers&, int*, int) override { return false; }
    bool StartContinuousRead() override { return false; }
    bool StopContinuousRead() override { return false; }
    bool ContinuousRead(unsigned char*) override { return false; }
    bool IsDeviceGone() const override { return false; }

private:
    int* m_Destroyed;
};

TEST(AttachedChannels, KeepsTheFirstEntryPerTokenAndRejectsEmptyHandles) {
    int destroyed = 0;
    NWireletJni::CAttachedChannels map;
    TWireletPtr first(new CCountingChannel(&destroyed));
    TWireletPtr second(new CCountingChannel(&destroyed));

    EXPECT_TRUE(map.Attach(7, first));
    EXPECT_EQ(2, first.GetRefCount());
    // A second claim on the same token adds nothing, whatever handle it brings.
    EXPECT_FALSE(map.Attach(7, first));
    EXPECT_FALSE(map.Attach(7, second));
    EXPECT_EQ(2, first.GetRefCount());
    EXPECT_EQ(1, second.GetRefCount());
    EXPECT_EQ(1u, map.Size());

    EXPECT_FALSE(map.Attach(8, TWireletPtr(static_cast<CWirelet*>(nullptr))));
    EXPECT_FALSE(map.Attach(9, TWireletPtr()));
    EXPECT_FALSE(map.Contains(8));
    EXPECT_FALSE(map.Contains(9));
    EXPECT_EQ(0, destroyed);
}

TEST(AttachedChannels, KeepsAChannelAliveUntilItsLastReferenceGoes) {
    int destroyed = 0;
    NWireletJni::CAttachedChannels map;
    {
        TWireletPtr channel(new CCountingChannel(&destroyed));
        map.Attach(1, channel);
    }
    EXPECT_EQ(0, destroyed) << "the map's reference keeps the channel";
    EXPECT_FALSE(map.Detach(2));
    EXPECT_TRUE(map.Detach(1));
    EXPECT_EQ(1, destroyed);
    EXPECT_FALSE(map.Detach(1));
    EXPECT_EQ(1, destroyed);

    TWireletPtr held(new CCountingChannel(&destroyed));
    map.Attach(3, held);
    map.Attach(4, TWireletPtr(new CCountingChannel(&destroyed)));
    map.Attach(5, TWireletPtr(new CCountingChannel(&destroyed)));
    map.Clear();
    EXPECT_EQ(0u, map.Size());
    EXPECT_EQ(3, destroyed) << "only the channel still held elsewhere survives the clear";
    EXPECT_EQ(1, held.GetRefCount());
}

}  // namespace
