// The scripted Java client ("client" scenario): what the real client does with Wirelet.dll, played by C++
// inside the jvm.dll double. It loads the library through java.library.path, takes the command monitor
// token, and then either
//  - is the primary instance: lists the remote controls, attaches, asks the packet sizes, runs write-read
//    transactions and continuous reads, lives through unplug and replug cycles, detaches, waits for the
//    commands of later launches and destroys the monitor; or
//  - is a later launch: sends the primary a command carrying its arguments and ends.
// Each step goes to the record as "<event> <milliseconds> <details>" (the milliseconds from the
// performance counter, comparable across processes). The script checks every result itself and writes
// an "error" event for each surprise. Checkpoints are reported to the test's stage (stage_protocol.h).

#include <windows.h>
//
#include <tlhelp32.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/java_names.h"
#include "doubles/jvm/scenario.h"
#include "system/stage_protocol.h"

namespace jvm_double {
namespace {

const char kWinMainClass[] = "com/brevant/zephra/client/maincontrol/WinMain";
const char kWireletClass[] = "com/brevant/zephra/client/io/Wirelet";
const char kManagerClass[] = "com/brevant/zephra/client/io/WireletManager";
const char kPacketClass[] = "com/brevant/zephra/client/io/Packet";
const char kReceiverClass[] = "com/brevant/zephra/client/maincontrol/CommandReceiver";

const DWORD kStageTimeoutMs = 60000;
const DWORD kCommandTimeoutMs = 30000;
const DWORD kStreamTimeoutMs = 5000;

typedef std::vector<unsigned char> TBytes;

double NowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string Hex(const TBytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out.empty() ? "-" : out;
}

std::string TokenText(jint token) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08lx", static_cast<unsigned long>(token));
    return buffer;
}

std::string EnvironmentText(const wchar_t* name) {
    wchar_t buffer[512];
    DWORD n = GetEnvironmentVariableW(name, buffer, 512);
    if (n == 0 || n >= 512) return "";
    return utf16_to_utf8(std::u16string(buffer, buffer + n));
}

// Threads of this process now (the read threads of open channels and the monitor thread among them).
int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// The client end of the stage's pipe. Every operation is bounded.
class CStageLink {
public:
    ~CStageLink() {
        if (m_Pipe != INVALID_HANDLE_VALUE) CloseHandle(m_Pipe);
        if (m_Event != nullptr) CloseHandle(m_Event);
    }

    bool Connect(const std::string& name, DWORD timeoutMs) {
        std::u16string wide = utf8_to_utf16(name);
        std::wstring path(wide.begin(), wide.end());
        const DWORD start = GetTickCount();
        for (;;) {
            m_Pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
            if (m_Pipe != INVALID_HANDLE_VALUE) break;
            if (GetTickCount() - start > timeoutMs) return false;
            if (GetLastError() == ERROR_PIPE_BUSY) {
                WaitNamedPipeW(path.c_str(), 200);
            } else {
                Sleep(50);
            }
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(m_Pipe, &mode, nullptr, nullptr);
        m_Event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return m_Event != nullptr;
    }

    bool Connected() const { return m_Pipe != INVALID_HANDLE_VALUE; }

    // The stage's answer, or an empty text when none came in time.
    std::string Ask(const std::string& request, DWORD timeoutMs) {
        if (!Connected()) return "";
        std::string copy = request;
        if (!Transfer(true, &copy[0], static_cast<DWORD>(copy.size()), timeoutMs, nullptr)) return "";
        char buffer[512];
        DWORD received = 0;
        if (!Transfer(false, buffer, sizeof buffer, timeoutMs, &received)) return "";
        return std::string(buffer, received);
    }

private:
    bool Transfer(bool write, char* data, DWORD size, DWORD timeoutMs, DWORD* transferred) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_Event;
        ResetEvent(m_Event);
        BOOL ok = write ? WriteFile(m_Pipe, data, size, nullptr, &overlapped)
                        : ReadFile(m_Pipe, data, size, nullptr, &overlapped);
        if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
        DWORD bytes = 0;
        if (WaitForSingleObject(m_Event, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(m_Pipe);
            GetOverlappedResult(m_Pipe, &overlapped, &bytes, TRUE);  // the buffer is ours again
            return false;
        }
        if (!GetOverlappedResult(m_Pipe, &overlapped, &bytes, FALSE)) return false;
        if (transferred != nullptr) *transferred = bytes;
        return true;
    }

    HANDLE m_Pipe = INVALID_HANDLE_VALUE;
    HANDLE m_Event = nullptr;
};

// What the Java classes' methods share with the script.
struct SShared {
    std::vector<jint> candidates;     // AddCandidateIoPipe, main thread
    std::vector<jobject> rawData;     // GetRawData's arrays by the packet's m_Index, main thread
    HANDLE commandArrived = nullptr;  // auto-reset, set by the receiver on the monitor thread
    std::mutex mutex;
    std::vector<std::string> commands;  // arguments received, in order
};

struct SNatives {
    jint(JNICALL* token)(JNIEnv*, jclass, jobject) = nullptr;
    jboolean(JNICALL* isThisProcess)(JNIEnv*, jclass, jint) = nullptr;
    void(JNICALL* send)(JNIEnv*, jclass, jint, jstring, jstring) = nullptr;
    void(JNICALL* bringToFront)(JNIEnv*, jclass, jint) = nullptr;
    void(JNICALL* destroy)(JNIEnv*, jclass, jint) = nullptr;
    void(JNICALL* candidates)(JNIEnv*, jobject) = nullptr;
    void(JNICALL* attach)(JNIEnv*, jobject, jint) = nullptr;
    void(JNICALL* detach)(JNIEnv*, jobject) = nullptr;
    jint(JNICALL* inputSize)(JNIEnv*, jobject) = nullptr;
    jint(JNICALL* outputSize)(JNIEnv*, jobject) = nullptr;
    jboolean(JNICALL* writeRead)(JNIEnv*, jobject, jobjectArray, jobjectArray, jint) = nullptr;
    jboolean(JNICALL* startRead)(JNIEnv*, jobject) = nullptr;
    jboolean(JNICALL* stopRead)(JNIEnv*, jobject) = nullptr;
    jboolean(JNICALL* read)(JNIEnv*, jobject, jobject) = nullptr;
};

// One attached remote control as the Java side keeps it: the Wirelet object and reusable packets.
struct SRemote {
    int number = 0;  // 1 or 2, by candidate order
    jint token = 0;
    jobject wirelet = nullptr;
    int inputSize = 0;
    int outputSize = 0;
    jobject outPacket = nullptr;
    jobject replyPacket = nullptr;
    jobjectArray outArray = nullptr;
    jobjectArray replyArray = nullptr;
    jobjectArray noPackets = nullptr;
};

class CClient {
public:
    CClient(Vm& vm, Record& record, std::shared_ptr<SShared> shared, jclass winMain)
        : m_Vm(vm), m_Record(record), m_Shared(std::move(shared)), m_WinMain(winMain) {}

    void Main(const std::vector<std::string>& args) {
        m_Plan = zephra_stage::ParsePlan(EnvironmentText(zephra_stage::kPlanVariable));
        std::string joined;
        for (std::size_t i = 0; i < args.size(); ++i) joined += (i ? "\n" : "") + args[i];
        Note("main", std::to_string(args.size()) + " argument(s): " + joined);
        Note("java-library-path", m_Vm.property("java.library.path"));
        if (!LoadLibrary()) return;

        jobject receiver = m_Vm.new_object(kReceiverClass);
        Native([&](JNIEnv* env) { m_MonitorToken = m_Natives.token(env, m_WinMain, receiver); });
        Note("monitor-token", TokenText(m_MonitorToken));
        if (m_MonitorToken == 0) Error("no command monitor token");
        jboolean mine = JNI_FALSE;
        Native([&](JNIEnv* env) { mine = m_Natives.isThisProcess(env, m_WinMain, m_MonitorToken); });
        Note("role", mine ? "primary" : "second-launch");
        if (mine) {
            Primary();
        } else {
            SecondLaunch(joined);
        }
    }

private:
    // ---- The record ----
    void Note(const std::string& event, const std::string& details = "") {
        m_Record.write(event, Format("%.3f", NowMs()) + (details.empty() ? "" : " " + details));
    }
    void Error(const std::string& what) {
        ++m_Errors;
        Note("error", what);
    }

    void Native(const std::function<void(JNIEnv*)>& body) { m_Vm.call_native(body); }

    // ---- Loading ----
    template <typename Function>
    void Resolve(const char* javaClass, const char* method, int argumentBytes, Function& function) {
        std::string name = native_export_name(javaClass, method);
        std::string decorated = "_" + name + "@" + std::to_string(argumentBytes);
        function = reinterpret_cast<Function>(find_native(m_Library.module, name, argumentBytes));
        bool isDecorated = GetProcAddress(static_cast<HMODULE>(m_Library.module), decorated.c_str()) != nullptr;
        Note("native", std::string(method) + " " + (function == nullptr ? "missing" : isDecorated ? decorated : name));
        if (function == nullptr) Error(std::string("native not found: ") + method);
    }

    bool LoadLibrary() {
        m_Library = m_Vm.load_library("Wirelet");
        if (m_Library.module == nullptr) {
            // UnsatisfiedLinkError stays pending and leaves main, as it would in Java.
            Error("Wirelet not found in java.library.path");
            return false;
        }
        char version[16];
        std::snprintf(version, sizeof version, "0x%08lx", static_cast<unsigned long>(m_Library.onload_version));
        Note("library",
             utf16_to_utf8(std::u16string(m_Library.path.begin(), m_Library.path.end())) + " JNI_OnLoad=" + version);
        Resolve(kWinMainClass, "nativeGetCommandMonitorToken", 12, m_Natives.token);
        Resolve(kWinMainClass, "nativeIsCommandMonitorThisProcess", 12, m_Natives.isThisProcess);
        Resolve(kWinMainClass, "nativeSendCommandToCommandMonitor", 20, m_Natives.send);
        Resolve(kWinMainClass, "nativeBringCommandMonitorProcessToFront", 12, m_Natives.bringToFront);
        Resolve(kWinMainClass, "nativeDestroyCommandMonitor", 12, m_Natives.destroy);
        Resolve(kManagerClass, "nativeGetCandidateIoPipes", 8, m_Natives.candidates);
        Resolve(kWireletClass, "nativeAttach", 12, m_Natives.attach);
        Resolve(kWireletClass, "nativeDetach", 8, m_Natives.detach);
        Resolve(kWireletClass, "nativeGetInputPacketSize", 8, m_Natives.inputSize);
        Resolve(kWireletClass, "nativeGetOutputPacketSize", 8, m_Natives.outputSize);
        Resolve(kWireletClass, "nativeWriteReadPackets", 20, m_Natives.writeRead);
        Resolve(kWireletClass, "nativeStartContinuousRead", 8, m_Natives.startRead);
        Resolve(kWireletClass, "nativeStopContinuousRead", 8, m_Natives.stopRead);
        Resolve(kWireletClass, "nativeContinuousRead", 12, m_Natives.read);
        return m_Errors == 0;
    }

    // ---- A later launch ----
    void SecondLaunch(const std::string& joined) {
        Native([&](JNIEnv* env) { m_Natives.bringToFront(env, m_WinMain, m_MonitorToken); });
        jstring method = m_Vm.new_string_utf8(zephra_stage::kCommandMethod);
        jstring argument = m_Vm.new_string_utf8(joined);
        Note("command-sending", std::string(zephra_stage::kCommandMethod) + " " + joined);
        Native([&](JNIEnv* env) { m_Natives.send(env, m_WinMain, m_MonitorToken, method, argument); });
        Note("command-sent");
        Note("main-returning");
    }

    // ---- The primary instance ----
    void Primary() {
        if (!m_Stage.Connect(EnvironmentText(zephra_stage::kPipeVariable), 10000)) Error("stage not reachable");
        Note("plan", zephra_stage::FormatPlan(m_Plan));
        Note("threads", "baseline " + std::to_string(ThreadCount()));
        m_Manager = m_Vm.new_object(kManagerClass);

        std::vector<jint> listed = List();
        if (listed.size() != 2) Error("expected 2 candidates, got " + std::to_string(listed.size()));
        for (std::size_t i = 0; i < listed.size(); ++i) Attach(static_cast<int>(i) + 1, listed[i]);
        Ask(std::string(zephra_stage::kListed) + " " + std::to_string(m_Remotes.size()));
        Note("threads", "attached " + std::to_string(ThreadCount()));

        for (auto& remote : m_Remotes) Transactions(*remote, m_Plan.transactions);
        for (auto& remote : m_Remotes) Stream(*remote, m_Plan.stream);

        for (int cycle = 1; cycle <= m_Plan.cycles && m_Remotes.size() == 2; ++cycle) Cycle(cycle);

        while (!m_Remotes.empty()) Detach(m_Remotes.back());
        Note("threads", "detached " + std::to_string(ThreadCount()));
        Ask(zephra_stage::kDetached);

        for (int n = 1; n <= m_Plan.commands; ++n) AwaitCommand(n);

        Native([&](JNIEnv* env) { m_Natives.destroy(env, m_WinMain, m_MonitorToken); });
        Note("monitor-destroyed", FindWindowA("Brevant_Zephra_Remote_CommandMonitor::UniqueWindow", nullptr) == nullptr
                                      ? "window gone"
                                      : "window still there");
        Note("threads", "end " + std::to_string(ThreadCount()));
        Note("summary", "transactions=" + std::to_string(m_Transactions) + " failures=" + std::to_string(m_Failures) +
                            " unplugged_failures=" + std::to_string(m_UnpluggedFailures) +
                            " longest_ms=" + Format("%.3f", m_LongestMs) + " total_ms=" + Format("%.3f", m_TotalMs) +
                            " commands=" + std::to_string(m_Commands) + " errors=" + std::to_string(m_Errors));
        Note("main-returning");
    }

    std::string Ask(const std::string& request) {
        if (!m_Stage.Connected()) return "";
        Note("stage-ask", request);
        std::string answer = m_Stage.Ask(request, kStageTimeoutMs);
        Note("stage-answer", answer.empty() ? "(none)" : answer);
        if (answer != zephra_stage::kGo) Error("stage did not answer " + request);
        return answer;
    }

    std::vector<jint> List() {
        m_Shared->candidates.clear();
        Native([&](JNIEnv* env) { m_Natives.candidates(env, m_Manager); });
        std::string text;
        for (jint token : m_Shared->candidates) text += (text.empty() ? "" : " ") + TokenText(token);
        Note("candidates", std::to_string(m_Shared->candidates.size()) + (text.empty() ? "" : " " + text));
        return m_Shared->candidates;
    }

    jobject NewPacket(int size) {
        jobject packet = m_Vm.new_object(kPacketClass);
        m_Vm.set_int_field(packet, "m_Index", static_cast<jint>(m_Shared->rawData.size()));
        m_Shared->rawData.push_back(m_Vm.new_byte_array(std::vector<jbyte>(static_cast<std::size_t>(size), 0)));
        return packet;
    }
    jobject RawData(jobject packet) {
        return m_Shared->rawData[static_cast<std::size_t>(m_Vm.int_field(packet, "m_Index"))];
    }
    TBytes Bytes(jobject packet) {
        std::vector<jbyte> bytes = m_Vm.byte_array(RawData(packet));
        return TBytes(bytes.begin(), bytes.end());
    }
    void SetBytes(jobject packet, const TBytes& bytes) {
        m_Vm.set_byte_array(RawData(packet), std::vector<jbyte>(bytes.begin(), bytes.end()));
    }

    void Attach(int number, jint token) {
        auto remote = std::make_unique<SRemote>();
        remote->number = number;
        remote->token = token;
        remote->wirelet = m_Vm.new_object(kWireletClass);
        Native([&](JNIEnv* env) { m_Natives.attach(env, remote->wirelet, token); });
        if (m_Vm.int_field(remote->wirelet, zephra_java::kTokenField) != token) Error("attach left m_Token unset");
        Native([&](JNIEnv* env) {
            remote->inputSize = m_Natives.inputSize(env, remote->wirelet);
            remote->outputSize = m_Natives.outputSize(env, remote->wirelet);
        });
        Note("attach", TokenText(token) + " remote " + std::to_string(number) + " input " +
                           std::to_string(remote->inputSize) + " output " + std::to_string(remote->outputSize));
        if (remote->inputSize <= 3 || remote->outputSize <= 3) Error("packet sizes too small to talk to a remote");
        remote->outPacket = NewPacket(remote->outputSize);
        remote->replyPacket = NewPacket(remote->inputSize);
        remote->outArray = m_Vm.new_object_array("java/lang/Object", {remote->outPacket});
        remote->replyArray = m_Vm.new_object_array("java/lang/Object", {remote->replyPacket});
        remote->noPackets = m_Vm.new_object_array("java/lang/Object", {});
        m_Remotes.push_back(std::move(remote));
    }

    void Detach(std::unique_ptr<SRemote>& remote) {
        Native([&](JNIEnv* env) { m_Natives.detach(env, remote->wirelet); });
        jint left = m_Vm.int_field(remote->wirelet, zephra_java::kTokenField);
        jint size = -1;
        Native([&](JNIEnv* env) { size = m_Natives.inputSize(env, remote->wirelet); });
        Note("detach", TokenText(remote->token) + " remote " + std::to_string(remote->number));
        if (left != 0 || size != 0) Error("detach left the object attached");
        for (std::size_t i = 0; i < m_Remotes.size(); ++i) {
            if (m_Remotes[i].get() == remote.get()) {
                m_Remotes.erase(m_Remotes.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
        }
    }

    SRemote* RemoteNumbered(int number) {
        for (auto& remote : m_Remotes) {
            if (remote->number == number) return remote.get();
        }
        return nullptr;
    }

    // One write-read transaction with one reply; `present` says whether the remote should answer.
    bool Transaction(SRemote& remote, bool present) {
        unsigned sequence = ++m_Sequence;
        TBytes request = zephra_stage::EchoRequest(sequence, static_cast<std::size_t>(remote.outputSize));
        SetBytes(remote.outPacket, request);
        SetBytes(remote.replyPacket, TBytes(static_cast<std::size_t>(remote.inputSize), 0));
        jboolean result = JNI_FALSE;
        const double start = NowMs();
        Native([&](JNIEnv* env) {
            result = m_Natives.writeRead(env, remote.wirelet, remote.outArray, remote.replyArray, 0);
        });
        const double ms = NowMs() - start;
        TBytes reply = Bytes(remote.replyPacket);
        ++m_Transactions;
        m_TotalMs += ms;
        if (ms > m_LongestMs) m_LongestMs = ms;
        auto expected = zephra_stage::RemoteAnswer(request, zephra_stage::RemoteTag(remote.number),
                                                   static_cast<std::size_t>(remote.inputSize));
        bool good = result == JNI_TRUE && !expected.empty() && reply == expected.front();
        m_Record.write("tx", Format("%.3f", start) + " " + TokenText(remote.token) + " remote " +
                                 std::to_string(remote.number) + (result ? " ok " : " failed ") + Format("%.3f", ms) +
                                 " " + Hex(request) + " " + (result ? Hex(reply) : "-"));
        if (present && !good) {
            ++m_Failures;
            Error("transaction " + std::to_string(sequence) + " on remote " + std::to_string(remote.number) +
                  (result ? " got a wrong reply" : " failed"));
        }
        if (!present) {
            if (result) Error("a transaction succeeded on an unplugged remote");
            ++m_UnpluggedFailures;
        }
        return good;
    }

    void Transactions(SRemote& remote, int count) {
        for (int i = 0; i < count; ++i) Transaction(remote, true);
    }

    // Continuous read: the remote is asked (by a plain write) to send `count` packets, which the client
    // polls for.
    void Stream(SRemote& remote, int count) {
        if (count <= 0) return;
        jboolean started = JNI_FALSE;
        Native([&](JNIEnv* env) { started = m_Natives.startRead(env, remote.wirelet); });
        if (!started) Error("continuous read did not start");
        SetBytes(remote.outPacket, zephra_stage::StreamRequest(static_cast<unsigned>(count),
                                                               static_cast<std::size_t>(remote.outputSize)));
        Note("stream-request",
             TokenText(remote.token) + " remote " + std::to_string(remote.number) + " " + std::to_string(count));
        jboolean written = JNI_FALSE;
        Native([&](JNIEnv* env) {
            written = m_Natives.writeRead(env, remote.wirelet, remote.outArray, remote.noPackets, 0);
        });
        if (!written) Error("the stream request was not written");
        int received = 0;
        const DWORD start = GetTickCount();
        while (received < count && GetTickCount() - start < kStreamTimeoutMs) {
            jboolean got = JNI_FALSE;
            Native([&](JNIEnv* env) { got = m_Natives.read(env, remote.wirelet, remote.replyPacket); });
            if (!got) {
                Sleep(2);
                continue;
            }
            TBytes packet = Bytes(remote.replyPacket);
            Note("stream-packet",
                 TokenText(remote.token) + " remote " + std::to_string(remote.number) + " " + Hex(packet));
            TBytes expected(static_cast<std::size_t>(remote.inputSize), 0);
            expected[0] = static_cast<unsigned char>(received);
            expected[1] = zephra_stage::kStreamCommand;
            expected[2] = zephra_stage::RemoteTag(remote.number);
            if (packet != expected) Error("continuous read delivered an unexpected packet");
            ++received;
        }
        jboolean stopped = JNI_FALSE;
        Native([&](JNIEnv* env) { stopped = m_Natives.stopRead(env, remote.wirelet); });
        Note("stream-end", TokenText(remote.token) + " remote " + std::to_string(remote.number) + " received " +
                               std::to_string(received) + " of " + std::to_string(count));
        if (received != count || !stopped) Error("continuous read incomplete");
    }

    // Remote 2 is unplugged while attached: its transactions fail, remote 1 keeps working; it comes back
    // as a new channel.
    void Cycle(int cycle) {
        Note("cycle", std::to_string(cycle));
        Ask(std::string(zephra_stage::kUnplug) + " 2");
        SRemote* gone = RemoteNumbered(2);
        SRemote* stays = RemoteNumbered(1);
        if (gone == nullptr || stays == nullptr) {
            Error("remotes missing before the unplug");
            return;
        }
        Transaction(*gone, false);
        Transaction(*stays, true);
        std::vector<jint> listed = List();
        if (listed.size() != 1 || listed[0] != stays->token) Error("the unplugged remote is still listed");
        for (auto& remote : m_Remotes) {
            if (remote.get() == gone) {
                Detach(remote);
                break;
            }
        }
        Ask(std::string(zephra_stage::kReplug) + " 2");
        listed = List();
        if (listed.size() != 2 || listed[0] != RemoteNumbered(1)->token) {
            Error("after the replug the candidates are not remote 1 and a new remote 2");
            return;
        }
        Attach(2, listed[1]);
        const int each = m_Plan.transactions > 0 ? m_Plan.transactions : 1;
        Transactions(*RemoteNumbered(1), each);
        Transactions(*RemoteNumbered(2), each);
        Note("threads", "cycle " + std::to_string(cycle) + " " + std::to_string(ThreadCount()));
    }

    void AwaitCommand(int n) {
        Ask(std::string(zephra_stage::kAwaitingCommand) + " " + std::to_string(n));
        if (WaitForSingleObject(m_Shared->commandArrived, kCommandTimeoutMs) != WAIT_OBJECT_0) {
            Error("no command from second launch " + std::to_string(n));
            return;
        }
        ++m_Commands;
        Note("command-handled", std::to_string(n));
    }

    Vm& m_Vm;
    Record& m_Record;
    std::shared_ptr<SShared> m_Shared;
    jclass m_WinMain;
    zephra_stage::SPlan m_Plan;
    NativeLibrary m_Library;
    SNatives m_Natives;
    CStageLink m_Stage;
    jint m_MonitorToken = 0;
    jobject m_Manager = nullptr;
    std::vector<std::unique_ptr<SRemote>> m_Remotes;
    unsigned m_Sequence = 0;
    int m_Transactions = 0;
    int m_Failures = 0;
    int m_UnpluggedFailures = 0;
    int m_Commands = 0;
    int m_Errors = 0;
    double m_LongestMs = 0;
    double m_TotalMs = 0;
};

Scenario ClientScenario() {
    Scenario s;
    s.define = [](Vm& vm, Record& record) {
        auto shared = std::make_shared<SShared>();
        shared->commandArrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        vm.define_class(kManagerClass)
            .method(zephra_java::kAddCandidateMethod, zephra_java::kAddCandidateDescriptor,
                    [shared](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                        shared->candidates.push_back(args[0].i);
                        return void_result();
                    });
        vm.define_class(kWireletClass).int_field(zephra_java::kTokenField);
        vm.define_class(kPacketClass)
            .int_field("m_Index")
            .method(zephra_java::kGetRawDataMethod, zephra_java::kGetRawDataDescriptor,
                    [&vm, shared](JNIEnv*, jobject self, const std::vector<jvalue>&) {
                        return object_result(shared->rawData[static_cast<std::size_t>(vm.int_field(self, "m_Index"))]);
                    });
        vm.define_class(kReceiverClass)
            .method(zephra_stage::kCommandMethod, zephra_java::kCommandDescriptor,
                    [&vm, &record, shared](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                        std::string argument = args[0].l == nullptr ? "(null)" : vm.string_utf8(args[0].l);
                        record.write("command-received", Format("%.3f", NowMs()) + " thread " +
                                                             std::to_string(GetCurrentThreadId()) + " " +
                                                             zephra_stage::kCommandMethod + " " + argument);
                        {
                            std::lock_guard<std::mutex> lock(shared->mutex);
                            shared->commands.push_back(argument);
                        }
                        SetEvent(shared->commandArrived);
                        return void_result();
                    });
        vm.define_class(kWinMainClass)
            .static_method(zephra_java::kMainMethod, zephra_java::kMainDescriptor,
                           [&vm, &record, shared](JNIEnv*, jobject self, const std::vector<jvalue>& args) {
                               record.write("main-thread", std::to_string(GetCurrentThreadId()));
                               std::vector<std::string> arguments;
                               if (args[0].l != nullptr) {
                                   for (jobject element : vm.array_elements(args[0].l)) {
                                       arguments.push_back(element == nullptr ? "" : vm.string_utf8(element));
                                   }
                               }
                               CClient client(vm, record, shared, static_cast<jclass>(self));
                               client.Main(arguments);
                               return void_result();
                           });
    };
    return s;
}

ScenarioRegistrar client(zephra_stage::kScenario, ClientScenario());

}  // namespace
}  // namespace jvm_double
