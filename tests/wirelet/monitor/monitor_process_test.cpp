// The command monitor between two real processes under Wine: this test program is the first
// client (JVM double + the real Wirelet.dll), monitor_peer.exe the later launch or any other
// program on the desktop. Under Wine every process runs as the same user at the same integrity
// level, so every peer's monitor is one this process may take, and the other way round.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/jvm_double_gtest.h"
#include "support/gui_process.h"
#include "support/process.h"
#include "wirelet_monitor_client.h"

using namespace zephra_test;

namespace {

struct SReceived {
    std::string method;
    std::u16string argument;
    int peerSendsDone = 0;  // "sent" lines in the peer's log when the call arrived
};

HWND WindowOf(jint token) { return reinterpret_cast<HWND>(static_cast<INT_PTR>(token)); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A peer's log on one line, for a failure message.
std::string Joined(const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines) joined += (joined.empty() ? "" : " | ") + line;
    return joined;
}

std::wstring Hex(const std::string& bytes) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

class MonitorAcrossProcesses : public ::testing::Test {
protected:
    MonitorAcrossProcesses() : m_Vm(monitor_client::WireletVmOptions()), m_Natives((DefineReceiver(), m_Vm)) {}

    void TearDown() override {
        m_Natives.Destroy(m_Token);
        EXPECT_EQ(FindWindowA(monitor_client::kMonitorClassName, nullptr), nullptr);
        EXPECT_EQ(m_Vm.non_daemon_threads(), 1);  // the monitor thread detached
        EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    }

    int DefineReceiver() {
        auto record = [this](const char* method) {
            return [this, method](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                SReceived r{method, args[0].l ? m_Vm.string_value(args[0].l) : u"<null>", 0};
                for (const auto& line : Lines(read_file(m_PeerLog.path() + L"log.txt"))) {
                    if (line.rfind("sent ", 0) == 0) ++r.peerSendsDone;
                }
                std::lock_guard<std::mutex> lock(m_Mutex);
                m_Received.push_back(r);
                return jvm_double::void_result();
            };
        };
        m_Vm.define_class("test/Receiver")
            .method("Open", monitor_client::kCommandDescriptor, record("Open"))
            .method("Valid", monitor_client::kCommandDescriptor, record("Valid"))
            .method("Hold", monitor_client::kCommandDescriptor,
                    [this](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                        // A receiver that takes 3 s, "long": 65 s, "on": 3 s and then until released.
                        const std::u16string how = m_Vm.string_value(args[0].l);
                        SetEvent(m_Holding);
                        Sleep(how == u"long" ? 65000 : 3000);
                        if (how == u"on") WaitForSingleObject(m_Release, 60000);
                        std::lock_guard<std::mutex> lock(m_Mutex);
                        m_ReceivedBeforeHoldEnded = m_Received.size();
                        SetEvent(m_HoldEnded);
                        return jvm_double::void_result();
                    });
        return 0;
    }

    // Sends "Hold" with the argument to the token's window from a thread of its own and returns
    // once the receiver is inside it. The send returns at once; m_HoldEnded tells when the
    // receiver has.
    std::thread HoldReceiver(const std::string& how = "x") {
        HWND window = WindowOf(m_Token);
        std::thread sender([window, how] {
            const std::string bytes = std::string("Hold") + '\0' + how + '\0';
            COPYDATASTRUCT data{1, static_cast<DWORD>(bytes.size()), const_cast<char*>(bytes.data())};
            SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        });
        EXPECT_EQ(WaitForSingleObject(m_Holding, 10000), WAIT_OBJECT_0);
        ResetEvent(m_Holding);
        return sender;
    }

    // Commands run on the monitor thread after the send has returned: waits for them.
    std::vector<SReceived> ReceivedAtLeast(std::size_t count, DWORD timeoutMs = 20000) {
        for (DWORD start = GetTickCount(); Received().size() < count && GetTickCount() - start < timeoutMs;) Sleep(20);
        return Received();
    }
    bool ReceivedArgument(const std::u16string& argument) {
        for (const auto& r : Received()) {
            if (r.argument == argument) return true;
        }
        return false;
    }

    // Runs the peer with the actions and returns its log; it must end well within the time.
    std::vector<std::string> Peer(const std::vector<std::wstring>& actions, DWORD timeoutMs = 60000) {
        std::wstring log = m_PeerLog.path() + L"log.txt";
        DeleteFileW(log.c_str());
        std::vector<std::wstring> args{test_bin_dir() + L"monitor_peer.exe", log};
        args.insert(args.end(), actions.begin(), actions.end());
        process_result result = run_process(args, timeoutMs);
        std::vector<std::string> lines = Lines(read_file(log));
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(result.exit_code, 0u) << read_file(log);
        return lines;
    }

    std::vector<SReceived> Received() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Received;
    }

    temp_dir m_PeerLog{L"monitor peer"};
    std::mutex m_Mutex;
    std::vector<SReceived> m_Received;
    jvm_double::Vm m_Vm;
    monitor_client::CWireletNatives m_Natives;
    jint m_Token = 0;
    HANDLE m_Holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE m_HoldEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE m_Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::size_t m_ReceivedBeforeHoldEnded = 0;
};

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST_F(MonitorAcrossProcesses, LaterLaunchFindsTheMonitorAndItsCommandsArriveInOrder) {
    m_Token = m_Natives.Token("test/Receiver");
    ASSERT_NE(m_Token, 0);
    EXPECT_TRUE(m_Natives.IsThisProcess(m_Token));
    const std::wstring nonAscii = L"\u00c4rger \u65e5\u672c \u20ac \"q\" C:\\x\\";
    auto log = Peer({L"token", L"this",  L"send",  L"Open", L"hello", L"send", L"Missing",  L"x",
                     L"send",  L"Count", L"y",     L"send", L"Open",  L"",     L"sendnull", L"Open",
                     L"send",  L"Open",  nonAscii, L"send", L"Open",  L"last"});
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "token " + std::to_string(m_Token));
    EXPECT_EQ(log[1], "this 0");
    auto received = ReceivedAtLeast(5);
    ASSERT_EQ(received.size(), 5u);
    const std::u16string expected[] = {u"hello", u"", u"", std::u16string(nonAscii.begin(), nonAscii.end()), u"last"};
    const int sendsBefore[] = {0, 3, 4, 5, 6};  // the dropped Missing and Count were sent too
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(received[i].argument, expected[i]) << i;
        EXPECT_GE(received[i].peerSendsDone, sendsBefore[i]) << i;  // not before it was sent
    }
    EXPECT_EQ(m_Natives.Token("test/Receiver"), m_Token);  // second call in the first process
    m_Natives.BringToFront(m_Token);
    EXPECT_TRUE(jvm_double::violations().empty());
}

TEST_F(MonitorAcrossProcesses, OtherTagsAndTrailingDataAreIgnored) {
    m_Token = m_Natives.Token("test/Receiver");
    Peer({L"find", L"raw", L"2", Hex(std::string("Open\0tag two\0", 13)), L"raw", L"1",
          Hex(std::string("Open\0kept\0Open\0dropped\0", 23)), L"raw", L"1", L"", L"send", L"Valid", L"end"});
    auto received = ReceivedAtLeast(2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].method, "Valid");
    received.pop_back();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].argument, u"kept");
}

TEST_F(MonitorAcrossProcesses, AfterDestroyEitherProcessCreatesAFreshMonitor) {
    m_Token = m_Natives.Token("test/Receiver");
    m_Natives.Destroy(m_Token);
    EXPECT_EQ(FindWindowA(monitor_client::kMonitorClassName, nullptr), nullptr);
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);

    // The peer becomes the primary, serves a command of its own, and destroys its monitor.
    auto log = Peer({L"token", L"this", L"send", L"Open", L"to myself", L"destroy", L"find"});
    ASSERT_EQ(log.size(), 6u);
    EXPECT_NE(log[0], "token 0");
    EXPECT_EQ(log[1], "this 1");
    // Taken before the destroy call, so run before the monitor thread ended.
    auto destroyed = std::find(log.begin(), log.end(), "destroyed");
    EXPECT_NE(std::find(log.begin(), destroyed, "peer-received to myself"), destroyed);
    EXPECT_EQ(log[5], "find 0");

    m_Token = m_Natives.Token("test/Receiver");
    ASSERT_NE(m_Token, 0);
    EXPECT_TRUE(m_Natives.IsThisProcess(m_Token));
    log = Peer({L"token", L"this", L"send", L"Open", L"back to the first"});
    EXPECT_EQ(log[0], "token " + std::to_string(m_Token));
    EXPECT_EQ(log[1], "this 0");
    ASSERT_EQ(ReceivedAtLeast(1).size(), 1u);
    EXPECT_EQ(Received()[0].argument, u"back to the first");
}

TEST_F(MonitorAcrossProcesses, AfterDestroyTheNextLaunchIsPrimaryWhileTheOldReceiverStillRuns) {
    m_Token = m_Natives.Token("test/Receiver");
    HWND window = WindowOf(m_Token);
    std::thread holder = HoldReceiver();
    m_Natives.Destroy(m_Token);  // the monitor thread is still in the receiver; its window is gone all the same
    EXPECT_FALSE(IsWindow(window));

    auto log = Peer({L"token", L"this", L"send", L"Open", L"after destroy", L"destroy"});
    ASSERT_GE(log.size(), 3u);
    EXPECT_NE(log[0], "token " + std::to_string(m_Token)) << "the launch took the monitor that was let go of";
    EXPECT_EQ(log[1], "this 1");
    EXPECT_TRUE(Has(log, "peer-received after destroy"));
    holder.join();
    for (int i = 0; i < 200 && m_Vm.non_daemon_threads() != 1; ++i) Sleep(50);
    for (const auto& r : Received()) EXPECT_NE(r.argument, u"after destroy") << "it reached the old receiver";
}

TEST_F(MonitorAcrossProcesses, DestroyAfterAnOutsideCloseEndsTheThreadCleanly) {
    m_Token = m_Natives.Token("test/Receiver");
    auto log = Peer({L"find", L"close", L"find"});
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "find " + std::to_string(m_Token));
    EXPECT_EQ(log[2], "find 0");
    m_Natives.Destroy(m_Token);
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);  // detached by itself, not terminated
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    m_Token = m_Natives.Token("test/Receiver");
    EXPECT_NE(m_Token, 0);
}

TEST_F(MonitorAcrossProcesses, HostileSenderCannotStopValidCommands) {
    m_Token = m_Natives.Token("test/Receiver");
    auto log = Peer({L"find", L"hostile", L"3000", L"20240607", L"send", L"Valid", L"after the storm"}, 110000);
    ASSERT_EQ(log.size(), 3u);
    ASSERT_EQ(log[1].rfind("hostile ", 0), 0u);
    int validSent = std::stoi(log[1].substr(8));
    EXPECT_EQ(validSent, 60);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000 && !ReceivedArgument(u"after the storm");)
        Sleep(50);
    std::vector<std::u16string> valid;
    for (const auto& r : Received()) {
        if (r.method == "Valid" && (r.argument.rfind(u"valid-", 0) == 0 || r.argument == u"after the storm")) {
            valid.push_back(r.argument);
        }
    }
    ASSERT_EQ(valid.size(), static_cast<std::size_t>(validSent) + 1);
    for (int k = 0; k < validSent; ++k) {
        std::string expected = "valid-" + std::to_string(k);
        EXPECT_EQ(valid[k], std::u16string(expected.begin(), expected.end()));
    }
    EXPECT_EQ(valid.back(), u"after the storm");
    EXPECT_TRUE(IsWindow(WindowOf(m_Token)));
    EXPECT_TRUE(jvm_double::violations().empty());
}

TEST_F(MonitorAcrossProcesses, TwoLaunchesAtTheSameInstantGiveOnePrimary) {
    // This process keeps out of it: the two peers race each other for the monitor, 20 times.
    for (int round = 0; round < 20; ++round) {
        const std::wstring eventName = L"zephra-monitor-race-" + std::to_wstring(GetCurrentProcessId());
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
        ASSERT_NE(go, nullptr);
        std::wstring logs[2] = {m_PeerLog.path() + L"a.txt", m_PeerLog.path() + L"b.txt"};
        const wchar_t* names[2] = {L"from-a", L"from-b"};
        std::vector<std::unique_ptr<child_process>> peers;
        for (int i = 0; i < 2; ++i) {
            DeleteFileW(logs[i].c_str());
            peers.push_back(std::make_unique<child_process>(make_command_line(
                {test_bin_dir() + L"monitor_peer.exe", logs[i], L"go", eventName, L"race", names[i], L"20000"})));
        }
        SetEvent(go);
        for (auto& peer : peers) {
            EXPECT_TRUE(peer->wait(60000));
            EXPECT_EQ(peer->exit_code(), 0u);
        }
        CloseHandle(go);
        std::vector<std::string> lines[2] = {Lines(read_file(logs[0])), Lines(read_file(logs[1]))};
        int primaries = 0;
        for (int i = 0; i < 2; ++i) {
            bool primary = std::find(lines[i].begin(), lines[i].end(), "primary") != lines[i].end();
            if (!primary) continue;
            ++primaries;
            const std::string other = zephra_test::narrow(names[1 - i]);
            EXPECT_NE(std::find(lines[i].begin(), lines[i].end(), "peer-received " + other), lines[i].end())
                << "round " << round << ": the secondary's command did not reach the primary";
            EXPECT_NE(std::find(lines[1 - i].begin(), lines[1 - i].end(), "secondary"), lines[1 - i].end());
        }
        ASSERT_EQ(primaries, 1) << "round " << round << "\na: " << Joined(lines[0]) << "\nb: " << Joined(lines[1]);
    }
}

TEST_F(MonitorAcrossProcesses, AHeldReceiverLeavesTheWindowAnsweringAndTheNextCommandWaitsItsTurn) {
    // The receiver is held for 3 s and then until the peer has finished: a broadcast and a later
    // launch's send are answered by the window meanwhile, and the command runs once the receiver
    // has returned.
    m_Token = m_Natives.Token("test/Receiver");
    std::thread holder = HoldReceiver("on");
    auto log = Peer({L"token", L"this", L"broadcast", L"timedsend", L"Open", L"during the hold"}, 20000);
    EXPECT_EQ(WaitForSingleObject(m_HoldEnded, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the peer was kept waiting until the receiver returned";
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "token " + std::to_string(m_Token));
    EXPECT_EQ(log[1], "this 0");
    std::printf("figures: %s; %s (receiver held 3 s and more)\n", log[2].c_str(), log[3].c_str());
    EXPECT_TRUE(Received().empty());
    SetEvent(m_Release);
    holder.join();
    auto received = ReceivedAtLeast(1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].argument, u"during the hold");
    EXPECT_EQ(m_ReceivedBeforeHoldEnded, 0u) << "the command ran before the receiver ahead of it returned";
}

// Cases that take over a minute: labelled slow.
using MonitorAcrossProcessesSlow = MonitorAcrossProcesses;

TEST_F(MonitorAcrossProcessesSlow, AReceiverHeldFor65sLosesNoCommandSentMeanwhile) {
    m_Token = m_Natives.Token("test/Receiver");
    std::thread holder = HoldReceiver("long");
    auto log = Peer({L"token", L"timedsend", L"Open", L"during the long hold"}, 90000);
    ASSERT_EQ(log.size(), 2u);
    std::printf("figures: %s (receiver held 65 s)\n", log[1].c_str());
    holder.join();
    EXPECT_TRUE(Received().empty());
    ASSERT_EQ(WaitForSingleObject(m_HoldEnded, 90000), WAIT_OBJECT_0);
    auto received = ReceivedAtLeast(1);
    ASSERT_EQ(received.size(), 1u) << "the command sent while the receiver was held was lost";
    EXPECT_EQ(received[0].argument, u"during the long hold");
}

TEST_F(MonitorAcrossProcesses, ATokenCallNeverReturnsItsOwnMonitorRetiredByAnotherProcess) {
    // Retired from outside while its receiver runs, by a destroy call with its token and by a bare
    // stop message: this process's next token call makes a fresh monitor instead.
    m_Token = m_Natives.Token("test/Receiver");
    for (const wchar_t* retire : {L"destroy", L"stop"}) {
        SCOPED_TRACE(narrow(retire));
        const jint old = m_Token;
        std::thread holder = HoldReceiver();
        Peer({L"find", retire});
        for (DWORD start = GetTickCount(); IsWindow(WindowOf(old)) && GetTickCount() - start < 2000;) Sleep(20);
        m_Token = m_Natives.Token("test/Receiver");
        EXPECT_NE(m_Token, old) << "the token call returned the retired monitor";
        EXPECT_TRUE(m_Natives.IsThisProcess(m_Token));
        const std::u16string argument = u"fresh after " + std::u16string(retire, retire + wcslen(retire));
        m_Natives.Send(m_Token, u"Open", &argument);
        ReceivedAtLeast(1);
        EXPECT_TRUE(ReceivedArgument(argument));
        holder.join();
        EXPECT_EQ(WaitForSingleObject(m_HoldEnded, 10000), WAIT_OBJECT_0);
        ResetEvent(m_HoldEnded);
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Received.clear();
    }
}

TEST_F(MonitorAcrossProcesses, DestroyMessagesFromOutsideChangeNothing) {
    m_Token = m_Natives.Token("test/Receiver");
    HWND window = WindowOf(m_Token);
    auto log =
        Peer({L"find", L"fakedestroy", L"fakencdestroy", L"token", L"send", L"Open", L"after the fakes", L"retired"});
    ASSERT_EQ(log.size(), 6u) << Join(log);
    EXPECT_EQ(log[3], "token " + std::to_string(m_Token)) << "the monitor stopped serving";
    EXPECT_EQ(log[5], "retired 0");
    EXPECT_TRUE(IsWindow(window));
    char title[128] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, monitor_client::kMonitorClassName);
    ASSERT_EQ(ReceivedAtLeast(1).size(), 1u);
    EXPECT_EQ(Received()[0].argument, u"after the fakes");

    // Marked retired by another process (its stop request still on the way): a WM_NCDESTROY from
    // outside does not take the mark away, and no launch takes the window.
    log = Peer({L"find", L"mark", L"fakencdestroy", L"retired", L"token", L"this", L"destroy"});
    ASSERT_GE(log.size(), 6u) << Join(log);
    EXPECT_EQ(log[3], "retired 1");
    EXPECT_NE(log[4], "token " + std::to_string(m_Token)) << "a retired monitor was taken";
    EXPECT_EQ(log[5], "this 1");
    // This process's token call takes it for lost too.
    const jint old = m_Token;
    m_Token = m_Natives.Token("test/Receiver");
    EXPECT_NE(m_Token, old);
    EXPECT_TRUE(m_Natives.IsThisProcess(m_Token));
}

TEST_F(MonitorAcrossProcesses, UnloadingTheLibraryStopsTheMonitorAndWaitsForItsThreads) {
    // The peer is the primary; its receiver is busy when its VM unloads the library.
    auto log = Peer({L"token", L"this", L"holdself", L"1500", L"unload"});
    ASSERT_EQ(log.size(), 6u) << Join(log);
    EXPECT_EQ(log[1], "this 1");
    EXPECT_EQ(log[3], "holding");
    EXPECT_EQ(log[4], "hold-end") << "the library was unloaded under the receiver";
    EXPECT_EQ(log[5], "unloaded threads=1 window=0 module=0");
}
