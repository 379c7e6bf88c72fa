// The command monitor in one process, its Java side played by the JVM double: the receiver's
// methods are C++ bodies that record what reached them. The double's strict checks apply to the
// monitor thread too (pending exceptions, local references, attachment, global references).
#include "wirelet/monitor/command_monitor.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/jvm_double_gtest.h"
#include "wirelet/desktop/window_search.h"
#include "wirelet/monitor/command_payload.h"
#include "wirelet/monitor/monitor_api.h"

using namespace NWireletMonitor;

namespace {

const char kReceiverClass[] = "test/Receiver";
const char kCommand[] = "(Ljava/lang/String;)V";

struct SReceived {
    std::string method;
    std::u16string argument;
    bool null = false;
    DWORD thread = 0;
    std::size_t localRefs = 0;
};

HWND WindowOf(jint token) { return reinterpret_cast<HWND>(static_cast<INT_PTR>(token)); }

class CommandMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        auto record = [this](const char* method) {
            return [this, method](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                SReceived r;
                r.method = method;
                r.null = args[0].l == nullptr;
                if (!r.null) r.argument = m_Vm.string_value(args[0].l);
                r.thread = GetCurrentThreadId();
                r.localRefs = m_Vm.live_local_refs();
                std::lock_guard<std::mutex> lock(m_Mutex);
                m_Received.push_back(r);
                return jvm_double::void_result();
            };
        };
        m_Vm.define_class(kReceiverClass)
            .method("Open", kCommand, record("Open"))
            .method("open", kCommand, record("open"))
            .method("Boom", kCommand,
                    [this](JNIEnv*, jobject, const std::vector<jvalue>&) {
                        m_Vm.throw_new("java/lang/IllegalStateException", "receiver failed");
                        return jvm_double::void_result();
                    })
            .method("Hold", kCommand,
                    [this](JNIEnv*, jobject, const std::vector<jvalue>&) {
                        // A receiver that takes long: it runs until the test lets it go.
                        SetEvent(m_Holding);
                        WaitForSingleObject(m_Release, 10000);
                        return jvm_double::void_result();
                    })
            .method("Quit", kCommand,
                    [this](JNIEnv* env, jobject, const std::vector<jvalue>&) {
                        // A receiver that destroys the monitor from the monitor thread itself.
                        DestroyCommandMonitor(env, m_Token);
                        return jvm_double::void_result();
                    })
            .method("Count", "(I)V", [](JNIEnv*, jobject, const std::vector<jvalue>&) {
                ADD_FAILURE() << "a method of another signature was called";
                return jvm_double::void_result();
            });
    }
    void TearDown() override {
        Destroy(m_Token);
        EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), nullptr);
        EXPECT_EQ(m_Vm.live_global_refs(), 0u);
        EXPECT_EQ(m_Vm.non_daemon_threads(), 1);  // the monitor thread has detached
    }

    jint Token(bool nullReceiver = false) {
        jint token = 0;
        m_Vm.call_native([&](JNIEnv* env) {
            token = GetCommandMonitorToken(env, nullReceiver ? nullptr : m_Vm.new_object(kReceiverClass));
        });
        return token;
    }
    void Send(jint token, const std::u16string& method, const std::u16string* argument) {
        m_Vm.call_native([&](JNIEnv* env) {
            jstring text = argument ? m_Vm.new_string(*argument) : nullptr;
            SendCommandToCommandMonitor(env, token, m_Vm.new_string(method), text);
        });
    }
    void Send(jint token, const std::u16string& method, const std::u16string& argument) {
        Send(token, method, &argument);
    }
    void Destroy(jint token) {
        m_Vm.call_native([&](JNIEnv* env) { DestroyCommandMonitor(env, token); });
    }
    std::vector<SReceived> Received() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Received;
    }
    bool ReceivedArgument(const std::u16string& argument) {
        for (const auto& r : Received()) {
            if (r.argument == argument) return true;
        }
        return false;
    }
    // Sends "Hold" from a thread of its own and returns once the receiver is inside it.
    std::thread HoldReceiver() {
        HWND window = WindowOf(m_Token);
        std::thread sender([window] {
            const std::string bytes("Hold\0x\0", 7);
            COPYDATASTRUCT data{kCommandDataTag, static_cast<DWORD>(bytes.size()), const_cast<char*>(bytes.data())};
            SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        });
        EXPECT_EQ(WaitForSingleObject(m_Holding, 10000), WAIT_OBJECT_0);
        return sender;
    }

    jvm_double::Vm m_Vm;
    jint m_Token = 0;
    HANDLE m_Holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE m_Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex m_Mutex;
    std::vector<SReceived> m_Received;
};

}  // namespace

TEST_F(CommandMonitor, TokenIsAHiddenMonitorWindowFoundAgainByLaterCalls) {
    m_Token = Token();
    ASSERT_NE(m_Token, 0);
    HWND window = WindowOf(m_Token);
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), window);
    EXPECT_FALSE(IsWindowVisible(window));
    char title[128] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, kMonitorClassName);
    EXPECT_NE(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    EXPECT_TRUE(IsCommandMonitorThisProcess(m_Token));
    EXPECT_EQ(m_Vm.non_daemon_threads(), 2);  // attached as a non-daemon thread

    EXPECT_EQ(Token(), m_Token);  // found by its class name; no second monitor
    EXPECT_EQ(m_Vm.live_global_refs(), 1u);
    // Hidden windows count in the window search, the monitor's among them.
    EXPECT_EQ(NWireletDesktop::FindWindowWithPartialTitle(L"commandMONITOR::unique"), window);
}

TEST_F(CommandMonitor, TokenZeroAndNullReceiver) {
    EXPECT_EQ(Token(true), 0);
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), nullptr);
    EXPECT_FALSE(IsCommandMonitorThisProcess(0));
    EXPECT_FALSE(IsCommandMonitorThisProcess(m_Token));
    m_Token = Token();
    Send(0, u"Open", u"nowhere");
    Destroy(0);  // leaves this process's monitor alone
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), WindowOf(m_Token));
    BringCommandMonitorProcessToFront(m_Token);
    EXPECT_TRUE(Received().empty());
}

TEST_F(CommandMonitor, CommandsReachTheReceiverOnTheMonitorThreadBeforeSendReturns) {
    m_Token = Token();
    const std::u16string nonAscii = u"\u00c4rger \u65e5\u672c \U0001F600 \"q\" \\";
    Send(m_Token, u"Open", u"first");
    ASSERT_EQ(Received().size(), 1u);  // no waiting: SendMessage returned after the call
    Send(m_Token, u"Open", u"");
    Send(m_Token, u"Open", nullptr);
    Send(m_Token, u"Open", nonAscii);
    Send(m_Token, u"open", u"lower case is another method");
    auto received = Received();
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received[0].argument, u"first");
    EXPECT_FALSE(received[1].null);  // an empty String, not null
    EXPECT_EQ(received[1].argument, u"");
    EXPECT_FALSE(received[2].null);  // a null argument is sent as empty
    EXPECT_EQ(received[2].argument, u"");
    EXPECT_EQ(received[3].argument, nonAscii);
    EXPECT_EQ(received[4].method, "open");
    for (const auto& r : received) {
        EXPECT_EQ(r.thread, GetWindowThreadProcessId(WindowOf(m_Token), nullptr));
        EXPECT_EQ(r.localRefs, received[0].localRefs);  // each command's references are deleted
    }
}

TEST_F(CommandMonitor, DroppedAndFailingCommandsLeaveItServing) {
    m_Token = Token();
    for (const char16_t* name : {u"Missing", u"Count", u"<init>", u"", u"OPEN", u"Boom", u"java.lang.Object"}) {
        Send(m_Token, name, u"x");
    }
    EXPECT_TRUE(Received().empty());
    for (int i = 0; i < 40; ++i) Send(m_Token, i % 2 ? u"Boom" : u"Open", u"again");  // beyond 16 local refs
    EXPECT_EQ(Received().size(), 20u);
    EXPECT_TRUE(jvm_double::violations().empty());
}

TEST_F(CommandMonitor, RawMessagesAreParsedSafely) {
    m_Token = Token();
    HWND window = WindowOf(m_Token);
    auto send = [&](ULONG_PTR tag, const std::string& bytes) {
        COPYDATASTRUCT data{tag, static_cast<DWORD>(bytes.size()), const_cast<char*>(bytes.data())};
        return SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    };
    EXPECT_EQ(send(2, std::string("Open\0tag two\0", 13)), 0);
    EXPECT_EQ(SendMessageA(window, WM_COPYDATA, 0, 0), 0);
    EXPECT_TRUE(Received().empty());
    send(1, std::string("Open\0kept\0ignored\0Open\0", 23));
    send(1, "Open");                                          // no zero byte: empty argument
    send(1, std::string("Open\0\xff\xc0\x80z\xed\xa0", 11));  // malformed: decoded safely
    send(1, std::string("Op\xffn\0x\0", 7));                  // malformed name: dropped
    send(1, "");
    auto received = Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].argument, u"kept");
    EXPECT_EQ(received[1].argument, u"");
    EXPECT_EQ(received[2].argument, std::u16string(u"\uFFFD") + u'\0' + u"z\uFFFD\uFFFD");
}

TEST_F(CommandMonitor, DestroyEndsTheThreadAndANewMonitorCanFollow) {
    m_Token = Token();
    Destroy(m_Token);
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), nullptr);
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    // The class stays registered and is reused.
    m_Token = Token();
    ASSERT_NE(m_Token, 0);
    Send(m_Token, u"Open", u"second monitor");
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Received()[0].argument, u"second monitor");
}

TEST_F(CommandMonitor, WindowClosedFromOutsideEndsTheThreadCleanly) {
    m_Token = Token();
    HWND window = WindowOf(m_Token);
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), nullptr);
    Destroy(m_Token);  // nothing left to post to: the thread still ends without force
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);

    // Closed from outside again, then a token call without destroy: a fresh monitor replaces it.
    m_Token = Token();
    SendMessageA(WindowOf(m_Token), WM_CLOSE, 0, 0);
    m_Token = Token();
    ASSERT_NE(m_Token, 0);
    EXPECT_TRUE(IsMonitorWindow(WindowOf(m_Token)));
    Send(m_Token, u"Open", u"after close");
    EXPECT_EQ(Received().size(), 1u);
}

TEST_F(CommandMonitor, ReceiverMayDestroyTheMonitorFromItsOwnThread) {
    m_Token = Token();
    Send(m_Token, u"Quit", u"");
    // The monitor is forgotten at once; its thread ends after the command and is cleaned up by
    // the next call.
    m_Token = Token();
    ASSERT_NE(m_Token, 0);
    Send(m_Token, u"Open", u"next monitor");
    EXPECT_EQ(Received().size(), 1u);
}

TEST_F(CommandMonitor, AReceiverThatRunsLongHangsNoCallerAndItsThreadEndsByItself) {
    m_Token = Token();
    HWND window = WindowOf(m_Token);
    std::thread sender = HoldReceiver();

    // While the monitor thread is held, nothing waits for it: the window search reads titles
    // without messages, and a send gives up after its time-out.
    const DWORD start = GetTickCount();
    EXPECT_EQ(NWireletDesktop::FindWindowWithPartialTitle(L"commandMONITOR::unique"), window);
    bool sent = true;
    m_Vm.call_native([&](JNIEnv* env) {
        sent = SendCommandToCommandMonitor(env, m_Token, m_Vm.new_string(u"Open"), m_Vm.new_string(u"late"), 300);
    });
    EXPECT_FALSE(sent);
    // Destroy gives the thread its second, then lets go of the monitor without ending the thread.
    Destroy(m_Token);
    EXPECT_LT(GetTickCount() - start, 5000u) << "a call waited for the held receiver";
    EXPECT_EQ(m_Vm.non_daemon_threads(), 2);  // still attached, still in the receiver

    SetEvent(m_Release);
    sender.join();
    // The thread finishes the command, releases the receiver and detaches by itself.
    for (int i = 0; i < 200 && m_Vm.non_daemon_threads() != 1; ++i) Sleep(50);
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), nullptr);

    m_Token = Token();  // a fresh monitor, once the old one is out of the way
    ASSERT_NE(m_Token, 0);
    Send(m_Token, u"Open", u"fresh");
    auto received = Received();
    ASSERT_EQ(received.size(), 1u) << "the command that timed out ran after the destroy call";
    EXPECT_EQ(received.back().argument, u"fresh");
    EXPECT_TRUE(jvm_double::violations().empty());
}

TEST_F(CommandMonitor, ABusyReceiverGetsACommandSentAfterTheSystemCallsItHung) {
    // A thread that has not taken a message for 5 s counts as hung; the send waits for it anyway.
    m_Token = Token();
    std::thread holder = HoldReceiver();
    Sleep(6000);
    std::thread releaser([this] {
        Sleep(1000);
        SetEvent(m_Release);
    });
    bool sent = false;
    m_Vm.call_native([&](JNIEnv* env) {
        sent = SendCommandToCommandMonitor(env, m_Token, m_Vm.new_string(u"Open"), m_Vm.new_string(u"busy"));
    });
    releaser.join();
    holder.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(ReceivedArgument(u"busy"));
}

namespace {
// Overwrites the stack below the caller's frame, where a returned call's locals were.
void ScribbleStack() {
    volatile unsigned char junk[64 * 1024];
    for (std::size_t i = 0; i < sizeof junk; ++i) junk[i] = 0x5A;
}

// Holds the first WM_COPYDATA on the receiving thread after it has taken the message and before
// the window procedure runs, for 1 s.
LRESULT CALLBACK DelayFirstCommand(int code, WPARAM wParam, LPARAM lParam) {
    static LONG delayed = 0;
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_COPYDATA && InterlockedExchange(&delayed, 1) == 0) Sleep(1000);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
}  // namespace

TEST_F(CommandMonitor, ACommandTakenAfterItsSendTimedOutIsHandledIntact) {
    // The monitor thread takes the message but gets to the window procedure only after the
    // sender has given up and returned: the command must still be there, whole.
    m_Token = Token();
    DWORD monitorThread = GetWindowThreadProcessId(WindowOf(m_Token), nullptr);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, &DelayFirstCommand, nullptr, monitorThread);
    ASSERT_NE(hook, nullptr);
    bool sent = true;
    m_Vm.call_native([&](JNIEnv* env) {
        sent = SendCommandToCommandMonitor(env, m_Token, m_Vm.new_string(u"Open"), m_Vm.new_string(u"late"), 300);
    });
    EXPECT_FALSE(sent);
    ScribbleStack();  // whatever the send kept on its stack is gone now
    for (int i = 0; i < 100 && Received().empty(); ++i) Sleep(50);
    UnhookWindowsHookEx(hook);
    auto received = Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].argument, u"late");
}

TEST_F(CommandMonitor, AMonitorThreadThatCannotAttachLeavesNoReference) {
    m_Vm.refuse_attach(1);
    EXPECT_EQ(Token(), 0);
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    EXPECT_EQ(Token(), 0);  // the failed monitor stays: later calls answer 0 at once
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    EXPECT_TRUE(jvm_double::violations().empty());
}

TEST_F(CommandMonitor, SendToAWindowThatIsNoMonitorDoesNothing) {
    HWND other = CreateWindowExA(0, "STATIC", "not a monitor", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    jint token = static_cast<jint>(reinterpret_cast<INT_PTR>(other));
    Send(token, u"Open", u"x");
    Destroy(token);
    EXPECT_TRUE(IsWindow(other));
    DestroyWindow(other);
}
