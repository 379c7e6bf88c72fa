// The channel manager against simulated devices: enumeration, the filter, the refresh merge,
// tokens and references.

#include "wirelet/device/manager.h"

#include <gmock/gmock.h>

#include "device_fixture.h"
#include "wirelet/support/check.h"

using namespace NDeviceTest;
using NHidSim::SDeviceSpec;
using NHidSim::TReport;

namespace {

class ManagerTest : public CDeviceTest {
protected:
    int PlugDevice(const std::string& name, unsigned short vendorId, unsigned short productId,
                   unsigned short version = 0x0100, int inputLength = 65) {
        SDeviceSpec spec;
        spec.name = name;
        spec.vendorId = vendorId;
        spec.productId = productId;
        spec.version = version;
        spec.inputReportLength = inputLength;
        return m_Sim.Plug(spec);
    }

    std::vector<TWireletToken> Tokens() {
        std::vector<TWireletToken> tokens;
        for (const TWireletPtr& channel : m_Manager.GetCandidates())
            tokens.push_back(m_Manager.GetToken(channel.Get()));
        return tokens;
    }

    std::vector<int> InputSizes() {
        std::vector<int> sizes;
        for (const TWireletPtr& channel : m_Manager.GetCandidates()) sizes.push_back(channel->GetInputPacketSize());
        return sizes;
    }

    CHidWireletManager m_Manager;
};

TEST_F(ManagerTest, NothingAcceptedGivesNoCandidates) {
    PlugDevice("keyboard", 0x046D, 0xC31C);
    m_Manager.Refresh();
    EXPECT_TRUE(m_Manager.GetCandidates().empty());
    EXPECT_EQ(m_Manager.Find(0).Get(), nullptr);
    m_Manager.Remove(12345);  // unknown: nothing happens
}

TEST_F(ManagerTest, CandidatesComeInAscendingPathOrderNotEnumerationOrder) {
    PlugDevice("c", 0xE47A, 0x0001, 0x0100, 49);
    PlugDevice("a", 0xE47A, 0x0002, 0x0100, 17);
    PlugDevice("foreign", 0x1234, 0x0001);
    PlugDevice("b", 0xF3C5, 0x5E40, 0x0100, 33);
    m_Manager.Refresh();
    EXPECT_THAT(InputSizes(), ::testing::ElementsAre(16, 32, 48));
}

TEST_F(ManagerTest, FilterBoundariesDecideWhatIsListedAndTheVersionNeverMatters) {
    struct SCase {
        unsigned short vendor, product;
        bool accepted;
    } cases[] = {{0xE47A, 0x0000, false}, {0xE47A, 0x0001, true},  {0xE47A, 0x01F4, true}, {0xE47A, 0x01F5, false},
                 {0xE47A, 0x7A21, true},  {0xF3C5, 0x5E3F, false}, {0xF3C5, 0x5E40, true}, {0xF3C5, 0x5E43, true},
                 {0xF3C5, 0x5E44, false}, {0xF3C4, 0x5E40, false}};
    std::vector<int> expected;
    int index = 0;
    for (const SCase& c : cases) {
        // The report length tells the channels apart; the version varies wildly.
        int inputLength = 10 + index;
        PlugDevice("d" + std::to_string(10 + index), c.vendor, c.product, static_cast<unsigned short>(index * 0x1111),
                   inputLength);
        if (c.accepted) expected.push_back(inputLength - 1);
        ++index;
    }
    m_Manager.Refresh();
    EXPECT_EQ(InputSizes(), expected);
}

TEST_F(ManagerTest, ChannelsAndTokensSurviveARefreshWithoutReopening) {
    int first = PlugDevice("first", 0xE47A, 0x0001);
    m_Manager.Refresh();
    std::vector<TWireletToken> before = Tokens();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_NE(before[0], 0);
    ASSERT_TRUE(m_Sim.WaitForOpenHandles(first, 2, 5000));
    const int opens = m_Sim.OpenCount(first);

    int second = PlugDevice("second", 0xE47A, 0x0002);
    m_Manager.Refresh();
    std::vector<TWireletToken> after = Tokens();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    // The only new open of the known device is the enumeration's brief probe.
    EXPECT_EQ(m_Sim.OpenCount(first), opens + 1);
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(first, 2, 5000));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(second, 2, 5000));

    TWireletPtr found = m_Manager.Find(before[0]);
    ASSERT_NE(found.Get(), nullptr);
    EXPECT_EQ(m_Manager.GetToken(found.Get()), before[0]);
    EXPECT_EQ(found.GetRefCount(), 2);  // the map's and ours
}

TEST_F(ManagerTest, DeviceHeldWithoutSharingIsSkipped) {
    int held = PlugDevice("held", 0xE47A, 0x0001);
    PlugDevice("free", 0xE47A, 0x0002, 0x0100, 33);
    m_Sim.HoldExclusively(held, true);
    m_Manager.Refresh();
    EXPECT_THAT(InputSizes(), ::testing::ElementsAre(32));
    m_Sim.HoldExclusively(held, false);
    m_Manager.Refresh();
    EXPECT_EQ(m_Manager.GetCandidates().size(), 2u);
}

TEST_F(ManagerTest, UnplugReleasesTheChannelUnlessSomeoneStillHoldsIt) {
    int kept = PlugDevice("kept", 0xE47A, 0x0001);
    int dropped = PlugDevice("dropped", 0xE47A, 0x0002);
    m_Manager.Refresh();
    std::vector<TWireletPtr> candidates = m_Manager.GetCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    TWireletPtr attached = candidates[0];  // "...-dropped" sorts before "...-kept"
    const TWireletToken token = m_Manager.GetToken(attached.Get());
    candidates.clear();
    ASSERT_EQ(attached->GetInputPacketSize(), 64);

    m_Sim.Unplug(dropped);
    m_Sim.Unplug(kept);
    m_Manager.Refresh();
    EXPECT_TRUE(m_Manager.GetCandidates().empty());
    EXPECT_EQ(m_Manager.Find(token).Get(), nullptr);
    EXPECT_EQ(m_Manager.GetToken(attached.Get()), 0);
    // Still alive for whoever holds it; its transactions now fail at once.
    EXPECT_EQ(attached.GetRefCount(), 1);
    std::vector<unsigned char> reply(64);
    int received = 0;
    double start = NowMs();
    EXPECT_FALSE(attached->WriteReadPackets({}, {reply.data()}, &received, 5000));
    EXPECT_LT(NowMs() - start, 1000);
    attached.Release();
}

TEST_F(ManagerTest, AReplugIntoTheSamePortGetsAFreshChannelAndTheOldTokenNamesNothing) {
    int device = PlugDevice("remote", 0xE47A, 0x0001);
    m_Sim.OnOutputReport(device, [&](const TReport& report) {
        m_Sim.SendPacket(device, TReport(report.begin() + 1, report.end()));  // echo
    });
    m_Manager.Refresh();
    const TWireletToken old = Tokens().at(0);
    TWireletPtr attached = m_Manager.Find(old);  // as the attached-channel map holds it
    m_Sim.Unplug(device);
    ASSERT_TRUE(WaitUntil([&] { return attached->IsDeviceGone(); }, 10000));
    m_Sim.Replug(device);
    m_Manager.Refresh();

    std::vector<TWireletToken> tokens = Tokens();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_NE(tokens[0], old);
    EXPECT_EQ(m_Manager.Find(old).Get(), nullptr);
    TWireletPtr fresh = m_Manager.Find(tokens[0]);
    ASSERT_NE(fresh.Get(), nullptr);
    TReport out(64, 0x5A), reply(64, 0);
    int received = 0;
    EXPECT_TRUE(fresh->WriteReadPackets({out.data()}, {reply.data()}, &received, 5000));
    EXPECT_EQ(reply, out);
    EXPECT_FALSE(attached->WriteReadPackets({out.data()}, {reply.data()}, &received, 5000));
    EXPECT_EQ(attached.GetRefCount(), 1);  // only the holder keeps the dead channel
}

TEST_F(ManagerTest, AfterRemoveARefreshOpensANewChannelWithANewToken) {
    int device = PlugDevice("remote", 0xE47A, 0x0001);
    m_Manager.Refresh();
    TWireletToken token = Tokens().at(0);
    TWireletPtr stillHeld = m_Manager.Find(token);
    m_Manager.Remove(token);
    EXPECT_TRUE(m_Manager.GetCandidates().empty());
    EXPECT_EQ(stillHeld.GetRefCount(), 1);

    m_Manager.Refresh();
    std::vector<TWireletToken> tokens = Tokens();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_NE(tokens[0], token);
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 4, 5000));  // the old channel is still open too
    stillHeld.Release();
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 2, 5000));
}

TEST_F(ManagerTest, ADeviceThatCannotBeTestedOrOpenedIsSkippedAndTheOthersAreListed) {
    PlugDevice("a", 0xE47A, 0x0001, 0x0100, 17);
    int untestable = PlugDevice("b", 0xE47A, 0x0002, 0x0100, 33);
    int unopenable = PlugDevice("c", 0xE47A, 0x0003, 0x0100, 49);
    // The probe of one cannot free its preparsed data; the driver refuses the other's buffer count.
    m_Sim.FailCall(NHidSim::kHidD_FreePreparsedData, ERROR_INVALID_HANDLE, untestable);
    m_Sim.FailCall(NHidSim::kHidD_SetNumInputBuffers, ERROR_INVALID_FUNCTION, unopenable);
    m_Manager.Refresh();
    EXPECT_THAT(InputSizes(), ::testing::ElementsAre(16));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(untestable, 0, 5000));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(unopenable, 0, 5000));

    m_Sim.ClearFailures();
    m_Manager.Refresh();
    EXPECT_THAT(InputSizes(), ::testing::ElementsAre(16, 32, 48));
}

TEST_F(ManagerTest, AFailedDeviceListCleanupThrowsOutOfRefreshAndLeavesTheMapUnchanged) {
    PlugDevice("a", 0xE47A, 0x0001);
    m_Manager.Refresh();
    std::vector<TWireletToken> before = Tokens();
    int added = PlugDevice("b", 0xE47A, 0x0002);

    m_Sim.FailCall(NHidSim::kSetupDiDestroyDeviceInfoList, ERROR_INVALID_HANDLE, -1, 0, 1);
    try {
        m_Manager.Refresh();
        ADD_FAILURE() << "Refresh did not throw";
    } catch (const NQuillonWin32::CCheckException& e) {
        EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(Tokens(), before);
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(added, 0, 5000));
    m_Sim.ClearFailures();
    m_Manager.Refresh();
    EXPECT_EQ(Tokens().size(), 2u);
}

TEST_F(ManagerTest, EnumerationFailuresSkipDevicesOrListNothing) {
    int a = PlugDevice("a", 0xE47A, 0x0001, 0x0100, 17);
    PlugDevice("b", 0xE47A, 0x0002, 0x0100, 33);
    int c = PlugDevice("c", 0xE47A, 0x0003, 0x0100, 49);
    m_Sim.FailCall(NHidSim::kSetupDiEnumDeviceInterfaces, ERROR_GEN_FAILURE, a, 0, 1);
    m_Sim.FailCall(NHidSim::kSetupDiGetDeviceInterfaceDetailA, ERROR_GEN_FAILURE, c, 0, 1);
    m_Manager.Refresh();
    EXPECT_THAT(InputSizes(), ::testing::ElementsAre(32));

    m_Sim.ClearFailures();
    m_Sim.FailCall(NHidSim::kSetupDiGetClassDevsA, ERROR_GEN_FAILURE, -1, 0, 1);
    m_Manager.Refresh();
    EXPECT_TRUE(m_Manager.GetCandidates().empty());
}

TEST_F(ManagerTest, DestroyingTheManagerClosesEveryChannel) {
    int device = PlugDevice("remote", 0xE47A, 0x0001);
    {
        CHidWireletManager manager;
        manager.Refresh();
        EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 2, 5000));
    }
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 0, 5000));
}

}  // namespace
