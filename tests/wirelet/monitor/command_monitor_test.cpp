// The command monitor in one process, its Java side played by the JVM double: the receiver's
// methods are C++ bodies that record what reached them. The double's strict checks apply to the
// monitor thread too (pending exceptions, local references, attachment, global references).
#include "wirelet/monitor/command_monitor.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/jvm_double_gtest.h"
#include "wirelet/desktop/window_search.h"
#include "wirelet/monitor/command_payload.h"
#include "wirelet/monitor/monitor_api.h"

using namespace NWireletMonitor;

// This program's heap fills every block it frees with 0xDD, so that memory read after it was freed
// shows as garbage rather than as the data it held.
void* operator new(std::size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    std::memset(block, 0xDD, HeapSize(GetProcessHeap(), 0, block));
    HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

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
                        DestroyCommandMonitor(env, m_QuitToken.load());
                        SetEvent(m_Quit);
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
    // True when the monitor took the command.
    bool Send(jint token, const std::u16string& method, const std::u16string* argument) {
        bool sent = false;
        m_Vm.call_native([&](JNIEnv* env) {
            jstring text = argument ? m_Vm.new_string(*argument) : nullptr;
            sent = SendCommandToCommandMonitor(env, token, m_Vm.new_string(method), text);
        });
        return sent;
    }
    bool Send(jint token, const std::u16string& method, const std::u16string& argument) {
        return Send(token, method, &argument);
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
    // Commands run on the monitor thread after their send has returned: waits for them.
    std::vector<SReceived> ReceivedAtLeast(std::size_t count, DWORD timeoutMs = 20000) {
        for (DWORD start = GetTickCount(); Received().size() < count && GetTickCount() - start < timeoutMs;) Sleep(10);
        return Received();
    }
    // Commands run in the order they were taken: once a last "Open sync" has run, so has every
    // command before it. What was received, without it.
    std::vector<SReceived> ReceivedAfterSync(jint token) {
        const std::size_t before = Received().size();
        Send(token, u"Open", u"sync");
        auto received = ReceivedAtLeast(before + 1);
        EXPECT_FALSE(received.empty());
        if (!received.empty() && received.back().argument == u"sync") received.pop_back();
        return received;
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
    HANDLE m_Quit = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<jint> m_QuitToken{0};
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

TEST_F(CommandMonitor, CommandsReachTheReceiverInOrderOnTheMonitorThread) {
    m_Token = Token();
    const std::u16string nonAscii = u"\u00c4rger \u65e5\u672c \U0001F600 \"q\" \\";
    Send(m_Token, u"Open", u"first");
    Send(m_Token, u"Open", u"");
    Send(m_Token, u"Open", nullptr);
    Send(m_Token, u"Open", nonAscii);
    Send(m_Token, u"open", u"lower case is another method");
    auto received = ReceivedAtLeast(5);
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received[0].argument, u"first");
    EXPECT_FALSE(received[1].null);  // an empty String, not null
    EXPECT_EQ(received[1].argument, u"");
    EXPECT_FALSE(received[2].null);  // a null argument is sent as empty
    EXPECT_EQ(received[2].argument, u"");
    EXPECT_EQ(received[3].argument, nonAscii);
    EXPECT_EQ(received[4].method, "open");
    for (const auto& r : received) {
        // One thread, attached to the VM; not the window's, which never calls into Java.
        EXPECT_EQ(r.thread, received[0].thread);
        EXPECT_NE(r.thread, GetWindowThreadProcessId(WindowOf(m_Token), nullptr));
        EXPECT_NE(r.thread, GetCurrentThreadId());
        EXPECT_EQ(r.localRefs, received[0].localRefs);  // each command's references are deleted
    }
}

TEST_F(CommandMonitor, DroppedAndFailingCommandsLeaveItServing) {
    m_Token = Token();
    for (const char16_t* name : {u"Missing", u"Count", u"<init>", u"", u"OPEN", u"Boom", u"java.lang.Object"}) {
        Send(m_Token, name, u"x");
    }
    EXPECT_TRUE(ReceivedAfterSync(m_Token).empty());
    for (int i = 0; i < 40; ++i) Send(m_Token, i % 2 ? u"Boom" : u"Open", u"again");  // beyond 16 local refs
    EXPECT_EQ(ReceivedAfterSync(m_Token).size(), 21u);                                // the first sync among them
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
    EXPECT_TRUE(ReceivedAfterSync(m_Token).empty());
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Received.clear();
    }
    send(1, std::string("Open\0kept\0ignored\0Open\0", 23));
    send(1, "Open");                                          // no zero byte: empty argument
    send(1, std::string("Open\0\xff\xc0\x80z\xed\xa0", 11));  // malformed: decoded safely
    send(1, std::string("Op\xffn\0x\0", 7));                  // malformed name: dropped
    send(1, "");
    auto received = ReceivedAfterSync(m_Token);
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
    ASSERT_EQ(ReceivedAtLeast(1).size(), 1u);
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
    EXPECT_EQ(ReceivedAtLeast(1).size(), 1u);
}

TEST_F(CommandMonitor, ReceiverMayDestroyTheMonitorFromItsOwnThread) {
    m_Token = Token();
    m_QuitToken = m_Token;
    Send(m_Token, u"Quit", u"");
    // The command runs after its send has returned: until it has, a token call still finds the
    // monitor it is about to destroy.
    ASSERT_EQ(WaitForSingleObject(m_Quit, 20000), WAIT_OBJECT_0);
    // The monitor is forgotten at once; its thread ends after the command and is cleaned up by
    // the next call.
    m_Token = Token();
    ASSERT_NE(m_Token, 0);
    Send(m_Token, u"Open", u"next monitor");
    EXPECT_EQ(ReceivedAtLeast(1).size(), 1u);

    // A token call while the receiver's destroy call runs: the two take turns. The token is the
    // old monitor's when the token call came first, and that monitor then takes no more commands;
    // otherwise it is a new monitor's, which the destroy call leaves serving.
    for (int round = 0; round < 30; ++round) {
        const jint old = m_Token;
        m_QuitToken = old;
        Send(old, u"Quit", u"");
        jint next = Token();
        ASSERT_EQ(WaitForSingleObject(m_Quit, 20000), WAIT_OBJECT_0);
        if (next == old) {
            EXPECT_FALSE(Send(old, u"Open", nullptr));
            next = Token();
        }
        ASSERT_NE(next, 0);
        ASSERT_NE(next, old) << "round " << round;
        m_Token = next;
        const std::u16string argument = u"round " + std::u16string(1, static_cast<char16_t>(u'A' + round));
        Send(m_Token, u"Open", argument);
        ReceivedAtLeast(static_cast<std::size_t>(round) + 2, 5000);
        ASSERT_TRUE(ReceivedArgument(argument)) << "round " << round << ": the new monitor did not serve";
    }
}

TEST_F(CommandMonitor, AReceiverThatRunsLongHangsNoCallerAndItsThreadEndsByItself) {
    m_Token = Token();
    HWND window = WindowOf(m_Token);
    std::thread sender = HoldReceiver();

    // While the monitor thread is held, nothing waits for it: the window answers, takes a command
    // for later, and goes with the destroy call, after which it takes none.
    const DWORD start = GetTickCount();
    EXPECT_EQ(NWireletDesktop::FindWindowWithPartialTitle(L"commandMONITOR::unique"), window);
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutA(window, WM_SETTINGCHANGE, 0, 0, SMTO_NORMAL, 5000, &answer), 0)
        << "the window did not answer while its receiver ran";
    auto send = [&](const char16_t* argument) {
        bool sent = false;
        m_Vm.call_native([&](JNIEnv* env) {
            sent = SendCommandToCommandMonitor(env, m_Token, m_Vm.new_string(u"Open"), m_Vm.new_string(argument), 300);
        });
        return sent;
    };
    EXPECT_TRUE(send(u"taken before the destroy call"));
    // Destroy gives the thread its second, then lets go of the monitor without ending the thread.
    Destroy(m_Token);
    EXPECT_FALSE(IsWindow(window)) << "the window outlived the destroy call";
    EXPECT_FALSE(send(u"after the destroy call"));
    EXPECT_LT(GetTickCount() - start, 5000u) << "a call waited for the held receiver";
    EXPECT_EQ(m_Vm.non_daemon_threads(), 2);  // still attached, still in the receiver
    EXPECT_TRUE(Received().empty());

    SetEvent(m_Release);
    sender.join();
    // The thread runs what it took, releases the receiver and detaches by itself.
    for (int i = 0; i < 200 && m_Vm.non_daemon_threads() != 1; ++i) Sleep(50);
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    auto received = Received();
    ASSERT_EQ(received.size(), 1u) << "the command taken before the destroy call did not run";
    EXPECT_EQ(received[0].argument, u"taken before the destroy call");

    m_Token = Token();  // a fresh monitor, once the old one is out of the way
    ASSERT_NE(m_Token, 0);
    Send(m_Token, u"Open", u"fresh");
    received = ReceivedAtLeast(2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received.back().argument, u"fresh");
    EXPECT_TRUE(jvm_double::violations().empty());
}

TEST_F(CommandMonitor, ABusyReceiverGetsACommandSentAfterTheSystemCallsItHung) {
    // A thread that has not taken a message for 5 s counts as hung; its window thread is not.
    m_Token = Token();
    std::thread holder = HoldReceiver();
    Sleep(6000);
    EXPECT_TRUE(Send(m_Token, u"Open", u"busy"));
    SetEvent(m_Release);
    holder.join();
    EXPECT_EQ(ReceivedAtLeast(1).size(), 1u);
    EXPECT_TRUE(ReceivedArgument(u"busy"));
}

namespace {
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
    // The window thread takes the message but gets to the window procedure only after the sender
    // has given up and returned: the command must still be there, whole. Freed blocks are filled
    // with 0xDD in this program (operator delete below), so a block freed too early shows.
    m_Token = Token();
    DWORD windowThread = GetWindowThreadProcessId(WindowOf(m_Token), nullptr);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, &DelayFirstCommand, nullptr, windowThread);
    ASSERT_NE(hook, nullptr);
    bool sent = true;
    m_Vm.call_native([&](JNIEnv* env) {
        sent = SendCommandToCommandMonitor(env, m_Token, m_Vm.new_string(u"Open"), m_Vm.new_string(u"late"), 300);
    });
    EXPECT_FALSE(sent);
    auto received = ReceivedAtLeast(1, 5000);
    UnhookWindowsHookEx(hook);
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

namespace {

// Makes one of this program's CreateEventA or CreateThread calls fail, by pointing its import of
// the function at a stand-in. Events are counted on the arming thread only, where the monitor makes
// all of its own; threads on every thread.
using CreateEventAFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
using CreateThreadFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                             LPDWORD);
CreateEventAFunction g_RealCreateEventA = nullptr;
CreateThreadFunction g_RealCreateThread = nullptr;
std::atomic<DWORD> g_ArmedThread{0};
std::atomic<int> g_EventCallToFail{0};
std::atomic<int> g_ThreadCallToFail{0};
std::atomic<int> g_EventCalls{0};
std::atomic<int> g_ThreadCalls{0};

HANDLE WINAPI FailingCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name) {
    if (GetCurrentThreadId() == g_ArmedThread.load() && ++g_EventCalls == g_EventCallToFail.load()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_RealCreateEventA(security, manual, initial, name);
}

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                  LPVOID parameter, DWORD flags, LPDWORD id) {
    if (g_ArmedThread.load() != 0 && ++g_ThreadCalls == g_ThreadCallToFail.load()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_RealCreateThread(security, stack, start, parameter, flags, id);
}

// Replaces this program's import of kernel32's `name` with `hook`; the import's old target.
void* HookImport(const char* name, void* hook) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<char*>(base + d->Name), "kernel32.dll") != 0 || d->OriginalFirstThunk == 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (std::size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            void* old = reinterpret_cast<void*>(slots[i].u1.Function);
            DWORD protection = 0;
            VirtualProtect(&slots[i].u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &protection);
            slots[i].u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots[i].u1.Function, sizeof(ULONG_PTR), protection, &protection);
            return old;
        }
    }
    return nullptr;
}

struct SCreationFault {
    const char* call;
    int nth;  // which call made by the token call fails, from 1
};
void PrintTo(const SCreationFault& fault, std::ostream* out) { *out << fault.call << " call " << fault.nth; }

class CommandMonitorCreation : public CommandMonitor, public ::testing::WithParamInterface<SCreationFault> {};

}  // namespace

TEST_P(CommandMonitorCreation, AFailedEventOrThreadCreationEndsTheTokenCallAtOnce) {
    g_RealCreateEventA = reinterpret_cast<CreateEventAFunction>(
        HookImport("CreateEventA", reinterpret_cast<void*>(&FailingCreateEventA)));
    g_RealCreateThread = reinterpret_cast<CreateThreadFunction>(
        HookImport("CreateThread", reinterpret_cast<void*>(&FailingCreateThread)));
    ASSERT_NE(g_RealCreateEventA, nullptr);
    ASSERT_NE(g_RealCreateThread, nullptr);
    (std::strcmp(GetParam().call, "CreateEventA") == 0 ? g_EventCallToFail : g_ThreadCallToFail) = GetParam().nth;

    // The token call runs on a thread of its own, so that a call that never returns fails the case.
    jint token = -1;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_Vm.start_thread("token caller", [&](JNIEnv*) {
        g_ArmedThread = GetCurrentThreadId();
        jint result = 0;
        m_Vm.call_native([&](JNIEnv* callEnv) {
            try {
                result = GetCommandMonitorToken(callEnv, m_Vm.new_object(kReceiverClass));
            } catch (...) {
                result = 0;  // the export's wall answers 0
            }
        });
        token = result;
        SetEvent(done);
    });
    if (WaitForSingleObject(done, 20000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << GetParam().call << " call " << GetParam().nth << " failing: the token call never returned";
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    g_ArmedThread = 0;
    EXPECT_GE((std::strcmp(GetParam().call, "CreateEventA") == 0 ? g_EventCalls : g_ThreadCalls).load(), GetParam().nth)
        << "the token call made no such call";
    EXPECT_EQ(token, 0);
    EXPECT_EQ(FindWindowA(kMonitorClassName, nullptr), nullptr);
    // Nothing left behind: the threads that started have detached, the receiver is released.
    for (int i = 0; i < 100 && m_Vm.non_daemon_threads() != 1; ++i) Sleep(50);
    EXPECT_EQ(m_Vm.non_daemon_threads(), 1);
    EXPECT_EQ(m_Vm.live_global_refs(), 0u);
    CloseHandle(done);
}

INSTANTIATE_TEST_SUITE_P(EveryCreation, CommandMonitorCreation,
                         ::testing::Values(SCreationFault{"CreateEventA", 1}, SCreationFault{"CreateEventA", 2},
                                           SCreationFault{"CreateEventA", 3}, SCreationFault{"CreateEventA", 4},
                                           SCreationFault{"CreateThread", 1}, SCreationFault{"CreateThread", 2}),
                         [](const ::testing::TestParamInfo<SCreationFault>& info) {
                             return std::string(info.param.call) + "_" + std::to_string(info.param.nth);
                         });

TEST(MonitorOwner, ThisProcessReadsItsOwnUserAndLevelAndNoneOfAProcessThatIsGone) {
    // Under Wine every process has the same user and level; Windows gives each its own.
    std::optional<SOwnerIdentity> self = ReadProcessIdentity(GetCurrentProcessId());
    ASSERT_TRUE(self.has_value());
    EXPECT_FALSE(self->userSid.empty());
    EXPECT_TRUE(self->integrityLevel.has_value());
    EXPECT_TRUE(MayServeAsPrimary(self, self));
    EXPECT_FALSE(ReadProcessIdentity(0xFFFFFFF0u).has_value());
}
