// The whole client under Wine: the real ZephraClient.exe, installed as the installer would lay it out,
// starts the jvm.dll double whose scripted client loads the real Wirelet.dll from the library path and
// talks to two simulated remote controls (a foreign HID device beside them); remote 2 is unplugged and
// replugged while attached; a second launch hands the primary its arguments through the command monitor.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/process.h"
#include "system/stage.h"

namespace {

using namespace zephra_system;
using zephra_test::narrow;

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += item + "\n";
    return out;
}

// Everything one launch must show whatever it did: a clean end, no JNI misuse, no surprise of the script.
void ExpectCleanLaunch(const SLaunch& launch, const char* which) {
    SCOPED_TRACE(which);
    EXPECT_TRUE(launch.ended);
    EXPECT_EQ(launch.exitCode, 0u);
    EXPECT_EQ(launch.messageBox, "");
    EXPECT_EQ(Join(TextsOf(launch.events, "violation")), "");
    EXPECT_EQ(Join(TextsOf(launch.events, "error")), "");
    // main returned, DestroyJavaVM came back, and the runtime was unloaded before the process ended.
    int returning = IndexOf(launch.events, "main-returning");
    int destroyed = IndexOf(launch.events, "jni", "DestroyJavaVM returned");
    EXPECT_GE(returning, 0);
    EXPECT_GT(destroyed, returning);
    EXPECT_GT(IndexOf(launch.events, "unloaded"), destroyed);
}

class WholeClient : public ::testing::Test {
protected:
    static std::string OnlyText(const std::vector<SEvent>& events, const std::string& name) {
        std::vector<std::string> texts = TextsOf(events, name);
        EXPECT_EQ(texts.size(), 1u) << name;
        return texts.empty() ? "" : texts.front();
    }
};

TEST_F(WholeClient, TwoRemotesAnUnplugAndASecondLaunchFromStartToExit) {
    SStageOptions options;
    options.primaryArguments = L"--tray";
    CStage stage(options);
    SRunResult run = stage.Run();
    const std::vector<SEvent>& primary = run.primary.events;

    ExpectCleanLaunch(run.primary, "primary");
    ASSERT_EQ(run.seconds.size(), 1u);
    ExpectCleanLaunch(run.seconds[0], "second launch");
    EXPECT_EQ(Join(run.problems), "");

    // What the launcher set up reached the VM: the library path names the directory Wirelet.dll is in,
    // and the library was loaded from there, its load hook answering JNI 1.2.
    const std::string install = narrow(stage.InstallDirectory());
    const std::string runtime = install + "\\" + narrow(stage.RuntimeFolder());
    const std::string searchPath =
        install + ";" + runtime + "\\bin;" + runtime + "\\bin\\" + narrow(stage.VmFolder()) + ";" + install + "\\gre";
    EXPECT_EQ(OnlyText(primary, "create-path"), searchPath);
    EXPECT_EQ(OnlyText(primary, "create-cwd"), install);
    EXPECT_EQ(OnlyText(primary, "java-library-path"), searchPath);
    EXPECT_EQ(OnlyText(primary, "library"), narrow(stage.WireletPath()) + " JNI_OnLoad=0x00010002");
    EXPECT_EQ(OnlyText(primary, "main"), "1 argument(s): --tray");

    // Every native was found by the name the VM tries first: decorated on 32-bit, plain on 64-bit.
    std::vector<std::string> natives = TextsOf(primary, "native");
    EXPECT_EQ(natives.size(), 14u);
    const char* expectedPrefix = sizeof(void*) == 4 ? " _Java_com_brevant_" : " Java_com_brevant_";
    for (const std::string& native : natives) EXPECT_NE(native.find(expectedPrefix), std::string::npos) << native;

    EXPECT_EQ(OnlyText(primary, "role"), "primary");
    EXPECT_EQ(OnlyText(run.seconds[0].events, "role"), "second-launch");
    EXPECT_EQ(TextsOf(primary, "monitor-token"), TextsOf(run.seconds[0].events, "monitor-token"));

    // Two remotes listed (the foreign device is not), in path order, with their own packet sizes.
    std::vector<std::string> candidates = TextsOf(primary, "candidates");
    ASSERT_GE(candidates.size(), 3u);
    EXPECT_EQ(candidates[0].substr(0, 2), "2 ");
    EXPECT_EQ(candidates[1].substr(0, 2), "1 ") << "the unplugged remote is listed";
    EXPECT_EQ(candidates[2].substr(0, 2), "2 ") << "the replugged remote is not listed";
    std::vector<std::string> attached = TextsOf(primary, "attach");
    ASSERT_GE(attached.size(), 3u);
    EXPECT_NE(attached[0].find("remote 1 input 64 output 64"), std::string::npos) << attached[0];
    EXPECT_NE(attached[1].find("remote 2 input 32 output 16"), std::string::npos) << attached[1];
    EXPECT_NE(attached[2].find("remote 2 input 32 output 16"), std::string::npos) << attached[2];
    EXPECT_EQ(run.handlesWhileAttached, 4);

    // Transactions: 4 per remote, then one on the unplugged remote (failed) and one on remote 1, then 4 per
    // remote again after the replug. The summary counts them; the script checked every reply's bytes.
    std::string summary = OnlyText(primary, "summary");
    EXPECT_EQ(ValueOf(summary, "transactions"), "18") << summary;
    EXPECT_EQ(ValueOf(summary, "failures"), "0") << summary;
    EXPECT_EQ(ValueOf(summary, "unplugged_failures"), "1") << summary;
    EXPECT_EQ(CountOf(primary, "tx", ""), 18);
    // Right after the unplug: remote 2's transaction fails, remote 1's succeeds.
    std::vector<std::string> afterUnplug;
    for (std::size_t i = static_cast<std::size_t>(std::max(0, IndexOf(primary, "stage-ask", "unplug 2")));
         i < primary.size() && afterUnplug.size() < 2; ++i) {
        if (primary[i].name == "tx") afterUnplug.push_back(primary[i].text);
    }
    ASSERT_EQ(afterUnplug.size(), 2u);
    EXPECT_NE(afterUnplug[0].find("remote 2 failed"), std::string::npos) << afterUnplug[0];
    EXPECT_NE(afterUnplug[1].find("remote 1 ok"), std::string::npos) << afterUnplug[1];

    // The device side saw each packet the client wrote while the remote was present: 17 echo requests and
    // 2 stream requests, and answered 17 replies and 10 stream packets.
    int outputs = 0, inputs = 0;
    for (const SDevicePacket& packet : run.devicePackets) (packet.output ? outputs : inputs)++;
    EXPECT_EQ(outputs, 19);
    EXPECT_EQ(inputs, 27);
    EXPECT_EQ(CountOf(primary, "stream-packet"), 10);

    // No read thread outlives its channel; the monitor's two threads (its window's and the one that
    // calls the receiver) end with the destroy call.
    std::vector<std::string> threads = TextsOf(primary, "threads");
    ASSERT_EQ(threads.size(), 5u);
    auto count = [](const std::string& text) { return std::atoi(text.substr(text.rfind(' ') + 1).c_str()); };
    EXPECT_EQ(count(threads[1]), count(threads[0]) + 2) << "attached: one read thread per remote";
    EXPECT_EQ(count(threads[3]), count(threads[0])) << "detached: read threads left";
    EXPECT_EQ(count(threads[4]), count(threads[0]) - 2) << "a monitor thread outlived the destroy call";
    EXPECT_EQ(run.leakedHandles, 0);

    // The hand-over: the second launch's arguments reached the primary's receiver on the monitor thread,
    // after the second launch began to send them; then the primary destroyed the monitor.
    std::string received = OnlyText(primary, "command-received");
    EXPECT_NE(received.find("HandleCommandLine open\nC:\\My Remotes\\layout 1.zrl\n--minimized"), std::string::npos)
        << received;
    EXPECT_EQ(received.find("thread " + OnlyText(primary, "main-thread") + " "), std::string::npos)
        << "the command ran on the main thread";
    int receivedAt = IndexOf(primary, "command-received");
    int sendingAt = IndexOf(run.seconds[0].events, "command-sending");
    ASSERT_GE(receivedAt, 0);
    ASSERT_GE(sendingAt, 0);
    EXPECT_GE(primary[static_cast<std::size_t>(receivedAt)].ms,
              run.seconds[0].events[static_cast<std::size_t>(sendingAt)].ms);
    EXPECT_EQ(OnlyText(primary, "monitor-destroyed"), "window gone");
    EXPECT_GT(IndexOf(primary, "monitor-destroyed"), receivedAt);
    EXPECT_EQ(run.monitorWindowsLeft, 0);
}

TEST_F(WholeClient, TheLibraryIsFoundInTheLastSearchPathDirectoryToo) {
    SStageOptions options;
    options.wireletFolder = L"gre";
    options.plan.transactions = 1;
    options.plan.stream = 1;
    options.plan.cycles = 0;
    options.plan.commands = 0;
    CStage stage(options);
    SRunResult run = stage.Run();
    ExpectCleanLaunch(run.primary, "primary");
    EXPECT_TRUE(run.seconds.empty());
    EXPECT_EQ(Join(run.problems), "");
    EXPECT_EQ(OnlyText(run.primary.events, "library"), narrow(stage.WireletPath()) + " JNI_OnLoad=0x00010002");
    EXPECT_EQ(ValueOf(OnlyText(run.primary.events, "summary"), "transactions"), "2");
}

TEST_F(WholeClient, ALibraryOutsideTheSearchPathEndsInTheFatalErrorBox) {
    SStageOptions options;
    options.wireletFolder = L"";  // not installed: the Java side's UnsatisfiedLinkError leaves main
    options.runTimeoutMs = 60000;
    CStage stage(options);
    SRunResult run = stage.Run();
    EXPECT_TRUE(run.primary.ended);
    EXPECT_EQ(run.primary.exitCode, 0u);
    EXPECT_EQ(run.primary.messageBox,
              "Fatal exception caught executing JVM runtime:\nException or Error thrown from Java");
    EXPECT_GE(IndexOf(run.primary.events, "jni", "ExceptionOccurred java/lang/UnsatisfiedLinkError"), 0);
    EXPECT_TRUE(run.seconds.empty());
    EXPECT_EQ(run.monitorWindowsLeft, 0);
}

}  // namespace
