// The HID channel against simulated devices: reports, transactions, continuous read, shutdown.

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "device_fixture.h"
#include "wirelet/device/hid_api.h"
#include "wirelet/device/hid_wirelet.h"
#include "wirelet/support/check.h"

using namespace NDeviceTest;
using NHidSim::TReport;
using ::testing::ElementsAre;

namespace {

// Every channel test runs twice: on a driver whose HidD_FlushQueue works (Windows) and on one
// where it fails with ERROR_NOT_SUPPORTED (Wine's own HID stack).
class ChannelTest : public CDeviceTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { m_Sim.SetFlushSupported(FlushWorks()); }
    bool FlushWorks() const { return GetParam(); }

    // Opens a channel on the device and waits until its two handles are open.
    std::unique_ptr<CHidWirelet> OpenChannel(int device) {
        std::unique_ptr<CHidWirelet> channel(new CHidWirelet);
        EXPECT_TRUE(channel->Open(m_Sim.DevicePath(device)));
        EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 2, 5000));
        return channel;
    }

    static TPacketPointers Pointers(std::vector<TReport>& buffers) {
        TPacketPointers pointers;
        for (TReport& buffer : buffers) pointers.push_back(buffer.data());
        return pointers;
    }

    // Packets whose first byte identifies them.
    void SendTagged(int device, std::initializer_list<unsigned char> tags) {
        for (unsigned char tag : tags) m_Sim.SendPacket(device, {tag, 0xA5});
    }

    // Gives input just sent time to reach the channel's queue.
    static void Settle() { Sleep(150); }

    static unsigned long SequenceOf(const TReport& packet, std::size_t at = 0) {
        return packet[at] | (packet[at + 1] << 8) | (packet[at + 2] << 16) |
               (static_cast<unsigned long>(packet[at + 3]) << 24);
    }
};

// Key presses at about 250 Hz from a thread of their own, numbered from 0: packets tagged 0x4B
// with the number in bytes 1 to 4.
class CSteadyInput {
public:
    CSteadyInput(NHidSim::CHidSimulator& sim, int device)
        : m_Sim(sim), m_Device(device), m_Thread([this] { Send(); }) {}
    ~CSteadyInput() {
        m_Stop = true;
        m_Thread.join();
    }
    unsigned long Sent() const { return m_Sent; }

private:
    void Send() {
        for (unsigned long n = 0; !m_Stop; ++n) {
            m_Sim.SendPacket(m_Device, {0x4B, static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                        static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)});
            m_Sent = n + 1;
            Sleep(4);
        }
    }

    NHidSim::CHidSimulator& m_Sim;
    int m_Device;
    std::atomic<bool> m_Stop{false};
    std::atomic<unsigned long> m_Sent{0};
    std::thread m_Thread;
};

INSTANTIATE_TEST_SUITE_P(Driver, ChannelTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return std::string(info.param ? "FlushWorks" : "FlushUnsupported");
});

TEST_P(ChannelTest, PacketSizesFollowTheCapabilitiesAndTheDriverBuffersAreRaised) {
    int device = PlugRemote("remote", 33, 9);
    auto channel = OpenChannel(device);
    EXPECT_EQ(channel->GetInputPacketSize(), 32);
    EXPECT_EQ(channel->GetOutputPacketSize(), 8);
    EXPECT_EQ(m_Sim.NumInputBuffers(device), 100);

    CHidWirelet unopened;
    EXPECT_EQ(unopened.GetInputPacketSize(), -1);
    EXPECT_EQ(unopened.GetOutputPacketSize(), -1);
}

TEST_P(ChannelTest, InputReportsUpTo65BytesOpenAndLongerOnesDoNot) {
    int fits = PlugRemote("fits", 65, 65);
    int tooLong = PlugRemote("toolong", 66, 65);
    auto channel = OpenChannel(fits);
    EXPECT_EQ(channel->GetInputPacketSize(), 64);
    EXPECT_EQ(channel->GetOutputPacketSize(), 64);

    const int threads = CountProcessThreads();
    CHidWirelet refused;
    EXPECT_FALSE(refused.Open(m_Sim.DevicePath(tooLong)));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(tooLong, 0, 5000));
    EXPECT_EQ(CountProcessThreads(), threads);
}

TEST_P(ChannelTest, UnreadableCapabilitiesGiveTheFallbackLengths) {
    int device = PlugRemote("remote", 65, 65);
    // Open reads the capabilities once itself; the second reading is the one the sizes come from.
    m_Sim.FailCall(NHidSim::kHidP_GetCaps, ERROR_GEN_FAILURE, device, 1, 1);
    auto channel = OpenChannel(device);
    EXPECT_EQ(channel->GetInputPacketSize(), 16);
    EXPECT_EQ(channel->GetOutputPacketSize(), 8);

    int other = PlugRemote("other", 65, 65);
    m_Sim.FailCall(NHidSim::kHidD_GetPreparsedData, ERROR_GEN_FAILURE, other, 1, 1);
    auto second = OpenChannel(other);
    EXPECT_EQ(second->GetInputPacketSize(), 16);
}

TEST_P(ChannelTest, FailedOpenLeavesNoHandleAndNoThread) {
    int device = PlugRemote("remote");
    const int threads = CountProcessThreads();
    struct SCase {
        NHidSim::ECall call;
        int skip;
    } cases[] = {{NHidSim::kHidD_GetPreparsedData, 0}, {NHidSim::kHidD_GetAttributes, 0}, {NHidSim::kHidP_GetCaps, 0}};
    for (const SCase& failure : cases) {
        m_Sim.ClearFailures();
        m_Sim.FailCall(failure.call, ERROR_GEN_FAILURE, device, failure.skip, 1);
        CHidWirelet channel;
        EXPECT_FALSE(channel.Open(m_Sim.DevicePath(device))) << "call " << failure.call;
        EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 0, 5000)) << "call " << failure.call;
        EXPECT_EQ(CountProcessThreads(), threads);
    }
    m_Sim.ClearFailures();
    m_Sim.Unplug(device);
    CHidWirelet absent;
    EXPECT_FALSE(absent.Open(m_Sim.DevicePath(device)));
}

TEST_P(ChannelTest, DriverRefusingTheBufferCountThrowsWithItsErrorAndClosesTheDevice) {
    int device = PlugRemote("remote");
    for (NHidSim::ECall call : {NHidSim::kHidD_GetNumInputBuffers, NHidSim::kHidD_SetNumInputBuffers}) {
        m_Sim.ClearFailures();
        m_Sim.FailCall(call, ERROR_INVALID_FUNCTION, device, 0, 1);
        CHidWirelet channel;
        try {
            channel.Open(m_Sim.DevicePath(device));
            ADD_FAILURE() << "Open did not throw for call " << call;
        } catch (const NQuillonWin32::CCheckException& e) {
            EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        }
        EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 0, 5000));
    }
}

TEST_P(ChannelTest, OutputReportsCarryReportIdZeroAndInputReportsLoseTheirFirstByte) {
    int device = PlugRemote("remote", 5, 4);
    auto channel = OpenChannel(device);
    std::vector<TReport> out = {{1, 2, 3}, {4, 5, 6}};
    std::vector<TReport> replies(1, TReport(4, 0xEE));
    m_Sim.OnOutputReport(device, [&](const TReport& report) {
        if (report[1] == 4) m_Sim.SendInput(device, {0x07, 10, 11, 12, 13});
    });
    int received = -1;
    ASSERT_TRUE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 3000));
    EXPECT_EQ(received, 1);
    EXPECT_THAT(replies[0], ElementsAre(10, 11, 12, 13));
    EXPECT_THAT(m_Sim.OutputReports(device), ElementsAre(TReport{0, 1, 2, 3}, TReport{0, 4, 5, 6}));
}

TEST_P(ChannelTest, ExtraRepliesStayQueuedUntilTheNextDropAndStalePacketsAreNeverHandedOut) {
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    // Continuous read shows what the transaction leaves queued.
    ASSERT_TRUE(channel->StartContinuousRead());
    SendTagged(device, {0x51});  // stale: arrives before the transaction
    Settle();
    m_Sim.OnOutputReport(device, [&](const TReport&) { SendTagged(device, {1, 2, 3}); });
    std::vector<TReport> out(1, TReport(64, 0x33));
    std::vector<TReport> replies(2, TReport(64, 0));
    int received = 0;
    ASSERT_TRUE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 3000));
    EXPECT_EQ(received, 2);
    EXPECT_EQ(replies[0][0], 1);
    EXPECT_EQ(replies[1][0], 2);

    Settle();
    TReport packet(64, 0);
    ASSERT_TRUE(channel->ContinuousRead(packet.data()));
    EXPECT_EQ(packet[0], 3);
    EXPECT_FALSE(channel->ContinuousRead(packet.data())) << "the stale packet survived the transaction";

    // The next transaction drops what is queued before it collects.
    m_Sim.OnOutputReport(device, nullptr);
    SendTagged(device, {4});
    Settle();
    std::vector<TReport> late(1, TReport(64, 0));
    EXPECT_FALSE(channel->WriteReadPackets({}, Pointers(late), &received, 300));
    EXPECT_EQ(received, 0);
    EXPECT_EQ(late[0][0], 0) << "a packet queued before the transaction was handed out";
}

TEST_P(ChannelTest, UnpromptedInputNobodyTakesNeverPassesForAReply) {
    // Key presses while the channel is idle (no transaction, no continuous read): more than the
    // pool and the driver hold together. The channel keeps reading them, dropping the oldest, so
    // none is left behind in the driver.
    int device = PlugRemote("idle");
    auto channel = OpenChannel(device);
    const TReport answer(64, 0xA5);  // the device's answer to every output report
    m_Sim.OnOutputReport(device, [&](const TReport&) { m_Sim.SendPacket(device, answer); });
    m_Sim.SendSequence(device, 0, 250, 20000.0);
    ASSERT_TRUE(m_Sim.WaitForDrained(device, 10000)) << "input backed up in the driver";

    // Also the last report read, which may still be on its way into the pool.
    std::vector<TReport> out(3, TReport(64, 0x33));
    std::vector<TReport> replies(3, TReport(64, 0));
    int received = 0;
    ASSERT_TRUE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 5000));
    EXPECT_EQ(received, 3);
    for (const TReport& reply : replies) EXPECT_EQ(reply, answer) << "old input came back as a reply";
}

TEST_P(ChannelTest, InputLeftInTheDriverWhenContinuousReadStopsNeverPassesForAReply) {
    // The client stops polling for a while and then stops continuous read: the pool and the
    // driver's queue are full of old reports, and the transaction right after must see none of
    // them, whether the driver flushes its queue or the channel has to read it empty.
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    const TReport answer(64, 0xA5);  // the device's answer to every output report
    m_Sim.OnOutputReport(device, [&](const TReport&) { m_Sim.SendPacket(device, answer); });
    ASSERT_TRUE(channel->StartContinuousRead());
    const DWORD start = GetTickCount();
    m_Sim.SendSequence(device, 0, 250, 20000.0);
    Sleep(500 - std::min<DWORD>(500, GetTickCount() - start));
    ASSERT_TRUE(channel->StopContinuousRead());
    std::vector<TReport> out(1, TReport(64, 0x33));
    std::vector<TReport> replies(1, TReport(64, 0));
    int received = 0;
    ASSERT_TRUE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 5000));
    EXPECT_EQ(received, 1);
    EXPECT_EQ(replies[0], answer) << "old input came back as the reply";
    if (FlushWorks()) {
        EXPECT_GT(m_Sim.FlushedReports(device), 0);
    }
}

TEST_P(ChannelTest, TransactionsUnderSteadyInputSucceedWithTheDefaultTimeOut) {
    // A remote whose keys send input all the time. Each transaction drops what came before it and
    // then has its whole time-out for the replies, also where the driver cannot flush its queue.
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    const TReport answer(64, 0xA5);
    m_Sim.OnOutputReport(device, [&](const TReport&) { m_Sim.SendPacket(device, answer); });
    CSteadyInput keys(m_Sim, device);
    ASSERT_TRUE(WaitUntil([&] { return keys.Sent() >= 25; }, 5000));
    // Starting and stopping continuous read while input comes leaves nothing behind either.
    ASSERT_TRUE(channel->StartContinuousRead());
    Sleep(100);
    ASSERT_TRUE(channel->StopContinuousRead());
    int succeeded = 0;
    for (int i = 0; i < 10; ++i) {
        const unsigned long before = keys.Sent();
        std::vector<TReport> out(1, TReport(64, 0x33));
        std::vector<TReport> replies(1, TReport(64, 0));
        int received = 0;
        if (!channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 0)) continue;
        ++succeeded;
        // The reply is the answer, or a key press that came once the transaction had begun.
        if (replies[0] != answer) {
            EXPECT_EQ(replies[0][0], 0x4B);
            EXPECT_GE(SequenceOf(replies[0], 1) + 1, before) << "transaction " << i << " got input from before it";
        }
    }
    EXPECT_EQ(succeeded, 10);
}

TEST_P(ChannelTest, AReportTakenFromTheDriverQueueJustBeforeTheDropIsNoReply) {
    // Continuous read fills the pool, so the next report waits in the driver's queue. When the
    // client takes one packet, the read thread reads that report at once, and the platform takes
    // a while to say so: a transaction that starts meanwhile must still treat it as stale.
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    const TReport answer(64, 0xA5);
    m_Sim.OnOutputReport(device, [&](const TReport&) { m_Sim.SendPacket(device, answer); });
    ASSERT_TRUE(channel->StartContinuousRead());
    m_Sim.SendSequence(device, 0, 100, 20000.0);
    ASSERT_TRUE(m_Sim.WaitForDelivered(device, 100, 10000));
    Settle();  // the last of them is queued; the read thread has no free buffer
    m_Sim.DelayQueuedReads(device, 600);
    SendTagged(device, {0x58});
    Settle();
    TReport packet(64, 0);
    ASSERT_TRUE(channel->ContinuousRead(packet.data()));  // frees a buffer: the read takes 0x58
    Sleep(100);
    std::vector<TReport> out(1, TReport(64, 0x33));
    std::vector<TReport> replies(1, TReport(64, 0));
    int received = 0;
    ASSERT_TRUE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 3000));
    EXPECT_EQ(replies[0], answer) << "a report from before the transaction came back as its reply";
    m_Sim.DelayQueuedReads(device, 0);
}

TEST_P(ChannelTest, TheDriverDoubleHoldsACallOnASynchronousHandleBehindAPendingRead) {
    // As on Windows: what a program calls on a handle opened without FILE_FLAG_OVERLAPPED waits
    // until the read pending there has its report.
    m_ExpectedProblem = "HidD_FlushQueue on a synchronous handle waited behind a ReadFile";
    int device = PlugRemote("remote");
    HANDLE handle = CreateFileA(m_Sim.DevicePath(device).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::thread reader([handle] {
        unsigned char report[65];
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(handle, report, sizeof report, &got, nullptr));
    });
    Sleep(200);  // the read is pending
    volatile LONG flushed = 0;
    std::thread flusher([&] {
        EXPECT_EQ(HidD_FlushQueue(handle) != FALSE, FlushWorks());
        InterlockedExchange(&flushed, 1);
    });
    Sleep(500);
    EXPECT_EQ(flushed, 0) << "the call did not wait for the pending read";
    SendTagged(device, {1});
    reader.join();
    flusher.join();
    EXPECT_EQ(flushed, 1);
    CloseHandle(handle);
    bool noted = false;
    for (const std::string& problem : m_Sim.Problems()) noted = noted || problem.find(m_ExpectedProblem) == 0;
    EXPECT_TRUE(noted);
}

TEST_P(ChannelTest, TheDriverDoubleKeepsTheInputBufferCountAndTheQueuePerHandle) {
    int device = PlugRemote("remote");
    auto open = [&] {
        return CreateFileA(m_Sim.DevicePath(device).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    };
    HANDLE few = open();
    HANDLE more = open();
    ASSERT_NE(few, INVALID_HANDLE_VALUE);
    ASSERT_NE(more, INVALID_HANDLE_VALUE);
    ULONG count = 0;
    ASSERT_TRUE(HidD_GetNumInputBuffers(few, &count));
    EXPECT_EQ(count, 32u);
    EXPECT_FALSE(HidD_SetNumInputBuffers(few, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(HidD_SetNumInputBuffers(few, 513));
    ASSERT_TRUE(HidD_SetNumInputBuffers(few, 4));
    ASSERT_TRUE(HidD_SetNumInputBuffers(more, 8));
    ASSERT_TRUE(HidD_GetNumInputBuffers(few, &count));
    EXPECT_EQ(count, 4u);

    // Each handle keeps the newest reports its own count allows.
    m_Sim.SendSequence(device, 0, 10, 20000.0);
    ASSERT_TRUE(m_Sim.WaitForOpenHandles(device, 2, 5000));
    Settle();
    auto next = [](HANDLE handle) {
        TReport report(65, 0);
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(handle, report.data(), 65, &got, nullptr));
        return SequenceOf(report, 1);
    };
    for (unsigned long expected = 6; expected < 10; ++expected) EXPECT_EQ(next(few), expected);
    EXPECT_EQ(next(more), 2u);
    EXPECT_EQ(m_Sim.Overruns(device), 6u + 2u);

    // A handle opened anew starts at 32, whatever value it gets.
    CloseHandle(few);
    HANDLE fresh = open();
    ASSERT_TRUE(HidD_GetNumInputBuffers(fresh, &count));
    EXPECT_EQ(count, 32u);
    CloseHandle(fresh);
    CloseHandle(more);
}

TEST_P(ChannelTest, MissingRepliesFailAfterTheTimeOutWithNothingReceived) {
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    m_Sim.OnOutputReport(device, [&](const TReport&) { SendTagged(device, {1, 2}); });
    std::vector<TReport> out(1, TReport(64, 0));
    std::vector<TReport> replies(3, TReport(64, 0));
    int received = -1;
    double start = NowMs();
    EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 400));
    double took = NowMs() - start;
    EXPECT_EQ(received, 0);
    EXPECT_GE(took, 350);
    EXPECT_LT(took, 2000);

    // More replies than the pool holds can never arrive.
    std::vector<TReport> many(101, TReport(64, 0));
    m_Sim.OnOutputReport(device, [&](const TReport&) {
        for (int i = 0; i < 101; ++i) SendTagged(device, {static_cast<unsigned char>(i)});
    });
    EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), Pointers(many), &received, 500));
    EXPECT_EQ(received, 0);
}

TEST_P(ChannelTest, DefaultTimeOutIs2000PlusHundredPerReply) {
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    std::vector<TReport> replies(3, TReport(64, 0));
    int received = 0;
    double start = NowMs();
    EXPECT_FALSE(channel->WriteReadPackets({}, Pointers(replies), &received, 0));
    double took = NowMs() - start;
    EXPECT_GE(took, 2250);
    EXPECT_LT(took, 4000);
}

TEST_P(ChannelTest, TransactionWithoutRepliesIsAPlainWriteThatLeavesTheQueueAlone) {
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    ASSERT_TRUE(channel->StartContinuousRead());
    SendTagged(device, {9});
    Settle();
    std::vector<TReport> out = {TReport(64, 1), TReport(64, 2)};
    int received = -1;
    EXPECT_TRUE(channel->WriteReadPackets(Pointers(out), {}, &received, 0));
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(m_Sim.WaitForOutputReports(device, 2, 3000));
    TReport packet(64, 0);
    EXPECT_TRUE(channel->ContinuousRead(packet.data()));
    EXPECT_EQ(packet[0], 9);

    // Only collecting replies writes nothing.
    SendTagged(device, {7});
    Settle();
    std::vector<TReport> replies(1, TReport(64, 0));
    std::thread late([&] {
        Sleep(100);
        SendTagged(device, {8});
    });
    EXPECT_TRUE(channel->WriteReadPackets({}, Pointers(replies), &received, 3000));
    late.join();
    EXPECT_EQ(replies[0][0], 8);
    EXPECT_EQ(m_Sim.OutputReports(device).size(), 2u);
}

TEST_P(ChannelTest, BlockedWriteEndsWithTheTimeOutAndDropsWhatArrivedMeanwhile) {
    // Also where the write, once the driver has handed it on, cannot be cancelled: it ends only
    // when the device takes the report or goes away.
    for (bool cancelable : {true, false}) {
        SCOPED_TRACE(cancelable ? "cancelable writes" : "writes that ignore cancellation");
        int device = PlugRemote(cancelable ? "cancelable" : "uncancelable");
        m_Sim.SetWritesCancelable(device, cancelable);
        auto channel = OpenChannel(device);
        ASSERT_TRUE(channel->StartContinuousRead());
        m_Sim.StallOutput(device, true);
        std::vector<TReport> out(8, TReport(64, 0x44));
        std::vector<TReport> replies(1, TReport(64, 0));
        std::thread meanwhile([&] {
            Sleep(100);
            SendTagged(device, {1, 2});
        });
        // A channel that waits for the write to end would wait for as long as the stall lasts.
        HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread unstall([&] {
            WaitForSingleObject(returned, 6000);
            m_Sim.StallOutput(device, false);
        });
        int received = -1;
        double start = NowMs();
        EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 500));
        double took = NowMs() - start;
        SetEvent(returned);
        meanwhile.join();
        EXPECT_LT(took, 1500) << "a blocked write held the caller past its time-out";
        EXPECT_GE(took, 450);
        Settle();
        TReport packet(64, 0);
        // Packets that came during the failed transaction were dropped with it; continuous read
        // stays on and sees new input.
        EXPECT_FALSE(channel->ContinuousRead(packet.data()));

        // Once the device takes reports again the channel works.
        unstall.join();
        CloseHandle(returned);
        m_Sim.OnOutputReport(device, [&](const TReport& report) {
            if (report[1] == 0x55) SendTagged(device, {5});
        });
        std::vector<TReport> one(1, TReport(64, 0x55));
        EXPECT_TRUE(channel->WriteReadPackets(Pointers(one), Pointers(replies), &received, 3000));
        EXPECT_EQ(replies[0][0], 5);

        // A channel closed while its write is stuck closes promptly all the same.
        m_Sim.OnOutputReport(device, nullptr);
        m_Sim.StallOutput(device, true);
        EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 300));
        start = NowMs();
        channel.reset();
        EXPECT_LT(NowMs() - start, 3000);
        EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 0, 5000));
        m_Sim.StallOutput(device, false);
    }
}

TEST_P(ChannelTest, ContinuousReadStartStopAndPollRules) {
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    TReport packet(64, 0);
    EXPECT_FALSE(channel->StopContinuousRead());
    EXPECT_FALSE(channel->ContinuousRead(packet.data()));

    ASSERT_TRUE(channel->StartContinuousRead());
    EXPECT_FALSE(channel->ContinuousRead(packet.data())) << "empty queue";
    SendTagged(device, {1, 2});
    Settle();
    EXPECT_FALSE(channel->StartContinuousRead()) << "second start";
    ASSERT_TRUE(channel->ContinuousRead(packet.data()));
    EXPECT_EQ(packet[0], 1) << "the second start dropped packets";
    ASSERT_TRUE(channel->ContinuousRead(packet.data()));
    EXPECT_EQ(packet[0], 2);
    EXPECT_FALSE(channel->ContinuousRead(packet.data()));

    // A transaction in the middle takes its reply and leaves continuous read on.
    m_Sim.OnOutputReport(device, [&](const TReport&) { SendTagged(device, {3}); });
    std::vector<TReport> out(1, TReport(64, 0));
    std::vector<TReport> replies(1, TReport(64, 0));
    int received = 0;
    ASSERT_TRUE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, 3000));
    EXPECT_EQ(replies[0][0], 3);
    SendTagged(device, {4});
    Settle();
    ASSERT_TRUE(channel->ContinuousRead(packet.data()));
    EXPECT_EQ(packet[0], 4);

    SendTagged(device, {5});
    Settle();
    EXPECT_TRUE(channel->StopContinuousRead());
    EXPECT_FALSE(channel->ContinuousRead(packet.data()));
    EXPECT_TRUE(channel->StartContinuousRead());
    EXPECT_FALSE(channel->ContinuousRead(packet.data())) << "stop did not drop the queue";
}

TEST_P(ChannelTest, ContinuousReadKeepsEveryPacketHoweverLongTheClientPauses) {
    int device = PlugRemote("remote");
    auto channel = OpenChannel(device);
    ASSERT_TRUE(channel->StartContinuousRead());
    // More than the pool holds, arriving while the client does not poll for 2.6 s (a long garbage
    // collection, a modal dialog): the pool fills, the rest waits in the driver's buffer, and all
    // of it follows in order once the client polls again.
    const DWORD start = GetTickCount();
    m_Sim.SendSequence(device, 0, 150, 62.5);
    Sleep(2600 - std::min<DWORD>(2600, GetTickCount() - start));
    TReport packet(64, 0);
    unsigned long expected = 0, received = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            while (channel->ContinuousRead(packet.data())) {
                unsigned long sequence = SequenceOf(packet);
                EXPECT_EQ(sequence, expected);
                expected = sequence + 1;
                ++received;
            }
            return expected == 150;
        },
        5000))
        << "received " << received << ", the last numbered " << expected - 1;
    EXPECT_EQ(received, 150u);
}

TEST_P(ChannelTest, DestructionWhileAReadIsBlockedIsPromptAndLeavesNothingOpen) {
    int device = PlugRemote("remote");
    const int threads = CountProcessThreads();
    auto channel = OpenChannel(device);
    Settle();  // the read thread is now blocked in its read
    double start = NowMs();
    channel.reset();
    double took = NowMs() - start;
    EXPECT_LT(took, 500);
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 0, 5000));
    EXPECT_TRUE(WaitUntil([&] { return CountProcessThreads() == threads; }, 5000));
}

TEST_P(ChannelTest, UnplugInTheMiddleOfATransactionFailsItAtOnceAndLeaksNothing) {
    // One unplug in the middle of a transaction, then further calls on the lost device.
    auto unplugMidway = [&](const char* name) {
        int device = PlugRemote(name);
        auto channel = OpenChannel(device);
        m_Sim.OnOutputReport(device, [this, device](const TReport&) { m_Sim.Unplug(device); });
        std::vector<TReport> out(1, TReport(64, 0));
        std::vector<TReport> replies(1, TReport(64, 0));
        int received = -1;
        // Failing "at once" is told from waiting out the time-out with a wide margin, so that a
        // busy machine cannot fail the test.
        const int timeoutMs = 30000;
        double start = NowMs();
        EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, timeoutMs));
        EXPECT_LT(NowMs() - start, timeoutMs / 3);
        EXPECT_EQ(received, 0);
        EXPECT_TRUE(channel->IsDeviceGone());

        start = NowMs();
        EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), Pointers(replies), &received, timeoutMs));
        EXPECT_LT(NowMs() - start, timeoutMs / 3) << "a transaction on a lost device waited";
        EXPECT_EQ(m_Sim.OutputReports(device).size(), 1u) << "a transaction on a lost device wrote";
        EXPECT_FALSE(channel->WriteReadPackets(Pointers(out), {}, &received, 1000));
    };
    // A leak leaves something behind for every channel. The runtime makes a few lasting objects of
    // its own once, when first needed and at a moment of its choosing (under Wine a handle to the
    // calling thread and an event, now and then only after the first time through): fewer than
    // one for each channel of the count.
    unplugMidway("warmup");
    const int kChannels = 4;
    const int handles = CountProcessHandles();
    const int threads = CountProcessThreads();
    for (int i = 0; i < kChannels; ++i) unplugMidway(("remote " + std::to_string(i)).c_str());
    EXPECT_TRUE(WaitUntil([&] { return CountProcessThreads() <= threads; }, 15000));
    EXPECT_TRUE(WaitUntil([&] { return CountProcessHandles() < handles + kChannels; }, 15000))
        << CountProcessHandles() << " handles open after " << kChannels << " channels, " << handles << " before";
}

}  // namespace
