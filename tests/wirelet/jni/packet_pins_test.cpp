// Pinning Java packet arrays for the channel: order, copy-back, and refusal of every packet that
// would let the channel read or write outside Java memory, on the strict JVM double.

#include "wirelet/jni/packet_pins.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/jvm_double_gtest.h"
#include "wirelet/jni/java_packets.h"

namespace {

using NWireletJni::CPacketPins;
using NWireletJni::LocalCapacityForPackets;

class PacketPins : public ::testing::Test {
protected:
    PacketPins() : m_Packets(m_Vm) {}

    // Runs body as one native call that may pin `packets` packets.
    template <typename Body>
    void Native(int packets, Body body) {
        m_Vm.call_native([&](JNIEnv* env) {
            ASSERT_EQ(JNI_OK, env->EnsureLocalCapacity(LocalCapacityForPackets(packets)));
            body(env);
        });
    }

    jvm_double::Vm m_Vm;
    zephra_test::CJavaPackets m_Packets;
};

TEST_F(PacketPins, PinsInArrayOrderAndCopiesWhatTheChannelWroteBack) {
    jobject first = m_Packets.New({1, 2, 3});
    jobject second = m_Packets.New({4, 5, 6, 7}, zephra_test::kOtherPacketClass);
    jobject third = m_Packets.New({8, 9, 10});
    jobjectArray array = m_Packets.Array({first, second, third});
    Native(3, [&](JNIEnv* env) {
        CPacketPins pins(env);
        ASSERT_TRUE(pins.AddArray(array, 3));
        ASSERT_EQ(3u, pins.Pointers().size());
        EXPECT_EQ(1, pins.Pointers()[0][0]);
        EXPECT_EQ(4, pins.Pointers()[1][0]);
        EXPECT_EQ(8, pins.Pointers()[2][0]);
        pins.Pointers()[0][2] = 0x7F;
        pins.Pointers()[2][0] = 0x80;
        pins.Release();
        EXPECT_TRUE(pins.Pointers().empty());
        pins.Release();  // nothing is released twice
    });
    EXPECT_EQ((std::vector<jbyte>{1, 2, 0x7F}), m_Packets.Bytes(first));
    EXPECT_EQ((std::vector<jbyte>{4, 5, 6, 7}), m_Packets.Bytes(second));
    EXPECT_EQ((std::vector<jbyte>{-128, 9, 10}), m_Packets.Bytes(third));
}

TEST_F(PacketPins, DestructionReleasesEveryPinWithCopyBack) {
    jobject packet = m_Packets.New({0, 0});
    Native(1, [&](JNIEnv* env) {
        CPacketPins pins(env);
        ASSERT_TRUE(pins.AddPacket(packet, 2));
        pins.Pointers()[0][1] = 42;
    });
    EXPECT_EQ((std::vector<jbyte>{0, 42}), m_Packets.Bytes(packet));
}

// Each of these would let the channel touch memory outside a Java array. The call fails, what it
// pinned so far is released (the double reports any pointer still held at return), and a Java
// exception raised on the way stays pending.
TEST_F(PacketPins, RefusesPacketsTheChannelCannotUseSafely) {
    auto refuses = [&](jobjectArray array, jsize minSize, const std::string& pending) {
        Native(4, [&](JNIEnv* env) {
            CPacketPins pins(env);
            EXPECT_FALSE(pins.AddArray(array, minSize));
            EXPECT_EQ(pending, m_Vm.pending_exception_class());
        });
        m_Vm.clear_pending_exception();
    };
    jobject good = m_Packets.OfSize(8);
    refuses(nullptr, 8, "");
    refuses(m_Packets.Array({good, nullptr}), 8, "");
    refuses(m_Packets.Array({good, m_Packets.WithoutData()}), 8, "");
    refuses(m_Packets.Array({good, m_Packets.OfSize(7)}), 8, "");
    refuses(m_Packets.Array({m_Packets.OfSize(0)}), 1, "");
    refuses(m_Packets.Array({m_Packets.NotAPacket()}), 8, "java/lang/NoSuchMethodError");
    refuses(m_Packets.Array({good, m_Packets.NotAPacket()}), 8, "java/lang/NoSuchMethodError");
    m_Packets.ThrowFromRawData(true);
    refuses(m_Packets.Array({good}), 8, "java/lang/IllegalStateException");
    m_Packets.ThrowFromRawData(false);

    Native(1, [&](JNIEnv* env) {
        CPacketPins pins(env);
        EXPECT_FALSE(pins.AddPacket(nullptr, 1));
        EXPECT_FALSE(pins.AddPacket(m_Packets.OfSize(3), 4));
        EXPECT_TRUE(pins.AddPacket(m_Packets.OfSize(4), 4));
        EXPECT_TRUE(pins.AddArray(m_Packets.Array({}), 4)) << "an empty array pins nothing and is fine";
        EXPECT_EQ(1u, pins.Pointers().size());
    });
    EXPECT_EQ(0u, m_Vm.held_pointers());
}

TEST_F(PacketPins, LargeArraysStayWithinTheEnsuredLocalCapacity) {
    std::vector<jobject> packets;
    for (int i = 0; i < 600; ++i) packets.push_back(m_Packets.New({static_cast<jbyte>(i), 0}));
    jobjectArray array = m_Packets.Array(packets);
    Native(600, [&](JNIEnv* env) {
        CPacketPins pins(env);
        ASSERT_TRUE(pins.AddArray(array, 2));
        ASSERT_EQ(600u, pins.Pointers().size());
        for (int i = 0; i < 600; ++i) pins.Pointers()[i][1] = static_cast<unsigned char>(i / 3);
    });
    EXPECT_EQ((std::vector<jbyte>{static_cast<jbyte>(599), static_cast<jbyte>(199)}), m_Packets.Bytes(packets[599]));

    EXPECT_EQ(16, LocalCapacityForPackets(0));
    EXPECT_EQ(616, LocalCapacityForPackets(600));
    EXPECT_EQ(0, LocalCapacityForPackets(-1));
    EXPECT_EQ(0, LocalCapacityForPackets(2LL * INT_MAX));
}

}  // namespace
