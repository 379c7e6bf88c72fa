// Wirelet.dll's device natives, called the way a Java VM calls them: the library is loaded through
// the JVM double (exports looked up as _name@N on 32-bit, by plain name on 64-bit), every native
// runs as one native call on strict JNI checks, and the Java classes are stand-ins whose methods
// are written here.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "doubles/hid/simulator.h"
#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/jvm_double_gtest.h"
#include "support/process.h"
#include "wirelet/jni/java_packets.h"

namespace {

namespace jd = jvm_double;

const char kWireletClass[] = "com/brevant/zephra/client/io/Wirelet";
const char kManagerClass[] = "com/brevant/zephra/client/io/WireletManager";
// A class that breaks the contract: no m_Token, no AddCandidateIoPipe, no GetRawData.
const char kBareObjectClass[] = "com/example/Bare";

struct SNatives {
    void(JNICALL* getCandidates)(JNIEnv*, jobject) = nullptr;
    void(JNICALL* attach)(JNIEnv*, jobject, jint) = nullptr;
    void(JNICALL* detach)(JNIEnv*, jobject) = nullptr;
    jint(JNICALL* inputSize)(JNIEnv*, jobject) = nullptr;
    jint(JNICALL* outputSize)(JNIEnv*, jobject) = nullptr;
    jboolean(JNICALL* writeRead)(JNIEnv*, jobject, jobjectArray, jobjectArray, jint) = nullptr;
    jboolean(JNICALL* startRead)(JNIEnv*, jobject) = nullptr;
    jboolean(JNICALL* stopRead)(JNIEnv*, jobject) = nullptr;
    jboolean(JNICALL* read)(JNIEnv*, jobject, jobject) = nullptr;
};

template <typename Function>
void Resolve(void* module, const char* javaClass, const char* method, int argumentBytes, Function* out) {
    void* address = jd::find_native(module, jd::native_export_name(javaClass, method), argumentBytes);
    ASSERT_NE(nullptr, address) << method << " is not exported as the VM looks it up";
    *out = reinterpret_cast<Function>(address);
}

// One VM with the library loaded, the Java stand-in classes, and one helper per native.
class DeviceNatives : public ::testing::Test {
protected:
    void SetUp() override {
        jd::VmOptions options;
        options.options.push_back("-Djava.library.path=" +
                                  zephra_test::narrow(zephra_test::test_bin_dir() + L"..\\..\\bin"));
        m_Vm.reset(new jd::Vm(options));
        DefineClasses();
        m_Library = m_Vm->load_library("Wirelet");
        ASSERT_NE(nullptr, m_Library.module) << "Wirelet.dll not found beside the deliverables";
        void* module = m_Library.module;
        Resolve(module, kManagerClass, "nativeGetCandidateIoPipes", 8, &m_Natives.getCandidates);
        Resolve(module, kWireletClass, "nativeAttach", 12, &m_Natives.attach);
        Resolve(module, kWireletClass, "nativeDetach", 8, &m_Natives.detach);
        Resolve(module, kWireletClass, "nativeGetInputPacketSize", 8, &m_Natives.inputSize);
        Resolve(module, kWireletClass, "nativeGetOutputPacketSize", 8, &m_Natives.outputSize);
        Resolve(module, kWireletClass, "nativeWriteReadPackets", 20, &m_Natives.writeRead);
        Resolve(module, kWireletClass, "nativeStartContinuousRead", 8, &m_Natives.startRead);
        Resolve(module, kWireletClass, "nativeStopContinuousRead", 8, &m_Natives.stopRead);
        Resolve(module, kWireletClass, "nativeContinuousRead", 12, &m_Natives.read);
    }

    void TearDown() override {
        Unload();
        m_Vm.reset();
        if (!m_ExpectSimulatorProblems) {
            for (const std::string& problem : m_Sim.Problems()) ADD_FAILURE() << "simulated devices: " << problem;
        }
    }

    void Unload() {
        if (m_Library.module != nullptr) m_Vm->unload_library(m_Library);
    }

    void DefineClasses() {
        m_Vm->define_class(kManagerClass)
            .method("AddCandidateIoPipe", "(I)V", [this](JNIEnv*, jobject, const std::vector<jvalue>& args) {
                m_Candidates.push_back(args[0].i);
                if (m_ThrowFromCandidate) m_Vm->throw_new("java/lang/IllegalStateException", "listing refused");
                return jd::void_result();
            });
        m_Vm->define_class(kWireletClass).int_field("m_Token");
        m_Packets.reset(new zephra_test::CJavaPackets(*m_Vm));
        m_Vm->define_class(kBareObjectClass);
    }

    // ---- Java side ----
    jobject NewWirelet() { return m_Vm->new_object(kWireletClass); }
    jobject NewManager() { return m_Vm->new_object(kManagerClass); }
    jobject NewPacketOfSize(std::size_t size, jbyte fill = 0) { return m_Packets->OfSize(size, fill); }
    jobjectArray Packets(const std::vector<jobject>& packets) { return m_Packets->Array(packets); }
    jint Token(jobject wirelet) { return m_Vm->int_field(wirelet, "m_Token"); }

    // ---- The natives, each as one native call ----
    std::vector<jint> ListCandidates(jobject manager) {
        m_Candidates.clear();
        m_Vm->call_native([&](JNIEnv* env) { m_Natives.getCandidates(env, manager); });
        return m_Candidates;
    }
    std::vector<jint> ListCandidates() { return ListCandidates(NewManager()); }
    void Attach(jobject wirelet, jint token) {
        m_Vm->call_native([&](JNIEnv* env) { m_Natives.attach(env, wirelet, token); });
    }
    void Detach(jobject wirelet) {
        m_Vm->call_native([&](JNIEnv* env) { m_Natives.detach(env, wirelet); });
    }
    jint InputSize(jobject wirelet) {
        jint size = -1;
        m_Vm->call_native([&](JNIEnv* env) { size = m_Natives.inputSize(env, wirelet); });
        return size;
    }
    jint OutputSize(jobject wirelet) {
        jint size = -1;
        m_Vm->call_native([&](JNIEnv* env) { size = m_Natives.outputSize(env, wirelet); });
        return size;
    }
    bool WriteRead(jobject wirelet, jobjectArray out, jobjectArray replies, jint timeoutMs) {
        jboolean result = JNI_FALSE;
        m_Vm->call_native([&](JNIEnv* env) { result = m_Natives.writeRead(env, wirelet, out, replies, timeoutMs); });
        return result == JNI_TRUE;
    }
    bool StartRead(jobject wirelet) {
        jboolean result = JNI_FALSE;
        m_Vm->call_native([&](JNIEnv* env) { result = m_Natives.startRead(env, wirelet); });
        return result == JNI_TRUE;
    }
    bool StopRead(jobject wirelet) {
        jboolean result = JNI_FALSE;
        m_Vm->call_native([&](JNIEnv* env) { result = m_Natives.stopRead(env, wirelet); });
        return result == JNI_TRUE;
    }
    bool Read(jobject wirelet, jobject packet) {
        jboolean result = JNI_FALSE;
        m_Vm->call_native([&](JNIEnv* env) { result = m_Natives.read(env, wirelet, packet); });
        return result == JNI_TRUE;
    }

    // The pending exception's class, cleared so that the next native call may run.
    std::string TakePendingException() {
        std::string name = m_Vm->pending_exception_class();
        m_Vm->clear_pending_exception();
        return name;
    }

    // Devices for the library's HID and SetupAPI calls; the session exists before the library loads.
    NHidSim::CHidSimulator m_Sim;
    bool m_ExpectSimulatorProblems = false;
    std::unique_ptr<jd::Vm> m_Vm;
    jd::NativeLibrary m_Library;
    SNatives m_Natives;
    std::vector<jint> m_Candidates;
    bool m_ThrowFromCandidate = false;
    std::unique_ptr<zephra_test::CJavaPackets> m_Packets;
};

TEST_F(DeviceNatives, LoadReturnsVersionOneTwo) { EXPECT_EQ(0x00010002, m_Library.onload_version); }

TEST_F(DeviceNatives, UnknownTokensLeaveObjectsAsTheyWere) {
    jobject wirelet = NewWirelet();
    Attach(wirelet, 0);
    EXPECT_EQ(0, Token(wirelet));
    Attach(wirelet, 0x12345678);
    EXPECT_EQ(0, Token(wirelet));

    m_Vm->set_int_field(wirelet, "m_Token", 0x0BADF00D);
    Attach(wirelet, 0x12345678);
    EXPECT_EQ(0x0BADF00D, Token(wirelet));
    // Every per-channel call treats an unknown token as no channel.
    EXPECT_EQ(0, InputSize(wirelet));
    EXPECT_EQ(0, OutputSize(wirelet));
    EXPECT_FALSE(StartRead(wirelet));
    EXPECT_FALSE(StopRead(wirelet));
    EXPECT_FALSE(WriteRead(wirelet, Packets({NewPacketOfSize(64)}), Packets({}), 100));
    EXPECT_FALSE(Read(wirelet, NewPacketOfSize(64)));
    EXPECT_EQ(0, m_Packets->RawDataCalls()) << "no packet is looked at without a channel";
    // Detach tells the manager and clears the field even for a token nobody knows.
    Detach(wirelet);
    EXPECT_EQ(0, Token(wirelet));
    Detach(wirelet);
    EXPECT_EQ(0, Token(wirelet));
    EXPECT_TRUE(jd::violations().empty());
}

TEST_F(DeviceNatives, ObjectsWithoutTheContractMembersFailWithTheLookupErrorPending) {
    jobject bare = m_Vm->new_object(kBareObjectClass);
    // No m_Token: every Wirelet native fails and leaves NoSuchFieldError for the Java caller.
    Attach(bare, 1);
    EXPECT_EQ("java/lang/NoSuchFieldError", TakePendingException());
    Detach(bare);
    EXPECT_EQ("java/lang/NoSuchFieldError", TakePendingException());
    EXPECT_EQ(0, InputSize(bare));
    EXPECT_EQ("java/lang/NoSuchFieldError", TakePendingException());
    EXPECT_FALSE(WriteRead(bare, Packets({}), Packets({}), 10));
    EXPECT_EQ("java/lang/NoSuchFieldError", TakePendingException());
    EXPECT_FALSE(Read(bare, NewPacketOfSize(64)));
    EXPECT_EQ("java/lang/NoSuchFieldError", TakePendingException());
    // No AddCandidateIoPipe: nothing is listed.
    EXPECT_TRUE(ListCandidates(bare).empty());
    EXPECT_EQ("java/lang/NoSuchMethodError", TakePendingException());
    EXPECT_EQ(0, m_Packets->RawDataCalls());
}

// ---- With simulated remote controls ----

NHidSim::SDeviceSpec Device(const std::string& name, int inputReportLength = 65, int outputReportLength = 65) {
    NHidSim::SDeviceSpec spec;
    spec.name = name;
    spec.inputReportLength = inputReportLength;
    spec.outputReportLength = outputReportLength;
    return spec;
}

std::vector<jbyte> Sequence(std::size_t size, int first) {
    std::vector<jbyte> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<jbyte>(first + static_cast<int>(i));
    return bytes;
}

NHidSim::TReport AsReport(const std::vector<jbyte>& bytes) { return NHidSim::TReport(bytes.begin(), bytes.end()); }

// An output report as the device receives it: report ID 0, then the packet.
NHidSim::TReport OutputReportOf(const std::vector<jbyte>& packet) {
    NHidSim::TReport report(packet.size() + 1, 0);
    std::copy(packet.begin(), packet.end(), report.begin() + 1);
    return report;
}

class DeviceNativesOnDevices : public DeviceNatives {
protected:
    // Waits until the simulated device has seen `opens` opens in all and every handle closed again.
    // Its pipe keeps a few instances listening and makes new ones as clients connect, so a burst
    // of opens must not outrun it.
    bool WaitUntilSettled(int device, int opens) {
        for (int polls = 0; polls < 500; ++polls) {
            if (m_Sim.OpenCount(device) >= opens && m_Sim.OpenHandles(device) == 0) return true;
            Sleep(10);
        }
        return false;
    }

    // Lists the candidates and attaches a new Wirelet object to the only one.
    jobject AttachOnly() {
        std::vector<jint> tokens = ListCandidates();
        EXPECT_EQ(1u, tokens.size());
        jobject wirelet = NewWirelet();
        if (!tokens.empty()) Attach(wirelet, tokens[0]);
        return wirelet;
    }
};

TEST_F(DeviceNativesOnDevices, ListsOnlyAcceptedDevicesInAscendingPathOrder) {
    EXPECT_TRUE(ListCandidates().empty());
    NHidSim::SDeviceSpec foreign = Device("d-foreign");
    foreign.vendorId = 0x1234;
    m_Sim.Plug(foreign);
    EXPECT_TRUE(ListCandidates().empty()) << "a device of another vendor is never offered";

    // Plugged out of path order; told apart by their input packet sizes.
    m_Sim.Plug(Device("c-third", 33));
    m_Sim.Plug(Device("a-first", 17));
    m_Sim.Plug(Device("b-second", 25));
    std::vector<jint> tokens = ListCandidates();
    ASSERT_EQ(3u, tokens.size());
    std::vector<jint> inputSizes;
    for (jint token : tokens) {
        EXPECT_NE(0, token);
        jobject wirelet = NewWirelet();
        Attach(wirelet, token);
        EXPECT_EQ(token, Token(wirelet));
        inputSizes.push_back(InputSize(wirelet));
    }
    EXPECT_EQ((std::vector<jint>{16, 24, 32}), inputSizes);
    EXPECT_EQ(tokens, ListCandidates()) << "channels and tokens survive a second listing";
}

TEST_F(DeviceNativesOnDevices, AttachAcceptsOnlyListedTokens) {
    m_Sim.Plug(Device("remote", 65, 33));
    std::vector<jint> tokens = ListCandidates();
    ASSERT_EQ(1u, tokens.size());
    jobject wirelet = NewWirelet();
    EXPECT_EQ(0, InputSize(wirelet));
    Attach(wirelet, tokens[0] + 4);
    EXPECT_EQ(0, Token(wirelet));
    Attach(wirelet, tokens[0]);
    EXPECT_EQ(tokens[0], Token(wirelet));
    EXPECT_EQ(64, InputSize(wirelet));
    EXPECT_EQ(32, OutputSize(wirelet));
    Attach(wirelet, tokens[0] + 4);
    EXPECT_EQ(tokens[0], Token(wirelet)) << "an unknown token leaves an attached object as it was";
}

TEST_F(DeviceNativesOnDevices, TwoObjectsOnOneChannelDetachInTurn) {
    int device = m_Sim.Plug(Device("remote"));
    std::vector<jint> tokens = ListCandidates();
    ASSERT_EQ(1u, tokens.size());
    jobject first = NewWirelet();
    jobject second = NewWirelet();
    jobject never = NewWirelet();
    Attach(first, tokens[0]);
    Attach(second, tokens[0]);
    EXPECT_EQ(tokens[0], Token(second));

    Detach(never);  // token 0: nothing happens
    EXPECT_EQ(64, InputSize(second));
    // The probe handles of the listing close; the channel's read and write handles stay open.
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 2, 5000));

    // The first detach removes the channel from the manager and the map: it is destroyed, and the
    // second object, still holding the token, sees no channel.
    Detach(first);
    EXPECT_EQ(0, Token(first));
    EXPECT_EQ(0, InputSize(first));
    EXPECT_EQ(0, OutputSize(first));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(device, 0, 5000));
    EXPECT_EQ(tokens[0], Token(second));
    EXPECT_EQ(0, InputSize(second));
    EXPECT_EQ(0, OutputSize(second));
    EXPECT_FALSE(StartRead(second));
    Detach(second);
    EXPECT_EQ(0, Token(second));

    // The device comes back as a new channel at the next listing.
    int opensBefore = m_Sim.OpenCount(device);
    std::vector<jint> again = ListCandidates();
    ASSERT_EQ(1u, again.size());
    EXPECT_GT(m_Sim.OpenCount(device), opensBefore);
    Attach(first, again[0]);
    EXPECT_EQ(64, InputSize(first));
}

TEST_F(DeviceNativesOnDevices, WriteReadCarriesTheBytesExactlyBothWays) {
    int device = m_Sim.Plug(Device("remote", 65, 33));
    const std::vector<jbyte> firstReply = Sequence(64, 100), secondReply = Sequence(64, -50);
    // The device answers the second output report with two input reports.
    int reports = 0;
    m_Sim.OnOutputReport(device, [&](const NHidSim::TReport&) {
        if (++reports == 2) {
            m_Sim.SendPacket(device, AsReport(firstReply));
            m_Sim.SendPacket(device, AsReport(secondReply));
        }
    });
    jobject wirelet = AttachOnly();
    const std::vector<jbyte> firstOut = Sequence(32, 1), secondOut = Sequence(32, -7);
    jobject replyA = NewPacketOfSize(64, 0x55);
    jobject replyB = m_Packets->New(std::vector<jbyte>(70, 0x66), zephra_test::kOtherPacketClass);

    EXPECT_TRUE(WriteRead(wirelet, Packets({m_Packets->New(firstOut), m_Packets->New(secondOut)}),
                          Packets({replyA, replyB}), 3000));

    std::vector<NHidSim::TReport> written = m_Sim.OutputReports(device);
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(OutputReportOf(firstOut), written[0]);
    EXPECT_EQ(OutputReportOf(secondOut), written[1]);
    EXPECT_EQ(firstReply, m_Packets->Bytes(replyA));
    std::vector<jbyte> expectedB = secondReply;
    expectedB.resize(70, 0x66);  // bytes beyond the packet size stay as they were
    EXPECT_EQ(expectedB, m_Packets->Bytes(replyB));
}

TEST_F(DeviceNativesOnDevices, WriteReadWithoutRepliesReturnsTheWritesResult) {
    int device = m_Sim.Plug(Device("remote"));
    jobject wirelet = AttachOnly();
    EXPECT_TRUE(WriteRead(wirelet, Packets({NewPacketOfSize(64, 9)}), Packets({}), 1000));
    EXPECT_TRUE(m_Sim.WaitForOutputReports(device, 1, 1000));
    EXPECT_TRUE(WriteRead(wirelet, Packets({}), Packets({}), 1000)) << "nothing to write succeeds";

    m_Sim.Unplug(device);
    EXPECT_FALSE(WriteRead(wirelet, Packets({NewPacketOfSize(64, 9)}), Packets({}), 1000));
    EXPECT_EQ(1u, m_Sim.OutputReports(device).size());
}

TEST_F(DeviceNativesOnDevices, MissingRepliesFailAndEveryArrayIsReleasedWithCopyBack) {
    int device = m_Sim.Plug(Device("remote"));
    m_Sim.OnOutputReport(device, [&](const NHidSim::TReport&) {
        m_Sim.SendPacket(device, AsReport(Sequence(64, 1)));
        m_Sim.SendPacket(device, AsReport(Sequence(64, 2)));
    });
    jobject wirelet = AttachOnly();
    std::vector<std::string> releases;
    m_Vm->set_trace([&](const std::string& line) {
        if (line.compare(0, 25, "ReleaseByteArrayElements ") == 0) releases.push_back(line.substr(25));
    });
    jobject replies[3] = {NewPacketOfSize(64, 7), NewPacketOfSize(64, 7), NewPacketOfSize(64, 7)};
    EXPECT_FALSE(
        WriteRead(wirelet, Packets({NewPacketOfSize(64)}), Packets({replies[0], replies[1], replies[2]}), 400));
    m_Vm->set_trace(nullptr);
    // Release mode 0 copies each pinned array back into Java, whatever the result.
    EXPECT_EQ(std::vector<std::string>(4, "mode 0"), releases);
    for (jobject reply : replies) EXPECT_EQ(std::vector<jbyte>(64, 7), m_Packets->Bytes(reply));

    // The channel goes on: the next transaction gets its own replies, not the stale ones.
    jobject reply = NewPacketOfSize(64);
    EXPECT_TRUE(WriteRead(wirelet, Packets({NewPacketOfSize(64)}), Packets({reply}), 2000));
    EXPECT_EQ(Sequence(64, 1), m_Packets->Bytes(reply));
}

TEST_F(DeviceNativesOnDevices, ContinuousReadDeliversPacketsInOrder) {
    int device = m_Sim.Plug(Device("remote", 9, 9));
    jobject wirelet = AttachOnly();
    jobject unattached = NewWirelet();
    EXPECT_FALSE(Read(unattached, NewPacketOfSize(8)));
    EXPECT_FALSE(StartRead(unattached));
    EXPECT_EQ(0, m_Packets->RawDataCalls()) << "an unattached object's packet is never asked for its data";

    EXPECT_FALSE(StopRead(wirelet));
    EXPECT_TRUE(StartRead(wirelet));
    EXPECT_FALSE(StartRead(wirelet));
    for (int i = 0; i < 3; ++i) m_Sim.SendPacket(device, AsReport(Sequence(8, 10 * i)));

    jobject packet = NewPacketOfSize(8);
    std::vector<std::vector<jbyte>> received;
    for (int polls = 0; received.size() < 3 && polls < 300; ++polls) {
        if (Read(wirelet, packet)) {
            received.push_back(m_Packets->Bytes(packet));
        } else {
            Sleep(10);
        }
    }
    ASSERT_EQ(3u, received.size());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Sequence(8, 10 * i), received[i]);
    EXPECT_FALSE(Read(wirelet, packet)) << "nothing queued: no wait, false";
    EXPECT_TRUE(StopRead(wirelet));
    EXPECT_FALSE(Read(wirelet, packet));
}

TEST_F(DeviceNativesOnDevices, UnloadClosesEveryChannel) {
    int attached = m_Sim.Plug(Device("a-attached"));
    int listed = m_Sim.Plug(Device("b-listed"));
    std::vector<jint> tokens = ListCandidates();
    ASSERT_EQ(2u, tokens.size());
    Attach(NewWirelet(), tokens[0]);
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(attached, 2, 5000));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(listed, 2, 5000));
    Unload();
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(attached, 0, 5000));
    EXPECT_TRUE(m_Sim.WaitForOpenHandles(listed, 0, 5000));
}

TEST_F(DeviceNativesOnDevices, AThrowingCallbackEndsTheListingWithItsExceptionPending) {
    m_Sim.Plug(Device("a"));
    m_Sim.Plug(Device("b"));
    m_Sim.Plug(Device("c"));
    m_ThrowFromCandidate = true;
    EXPECT_EQ(1u, ListCandidates().size());
    EXPECT_EQ("java/lang/IllegalStateException", TakePendingException());
    m_ThrowFromCandidate = false;
    EXPECT_EQ(3u, ListCandidates().size());
}

// A failed platform call beneath an export ends that call quietly; the VM and the library go on.
TEST_F(DeviceNativesOnDevices, AFailureUnderRefreshEndsOnlyThatCall) {
    m_ExpectSimulatorProblems = true;  // a device list whose destruction failed stays outstanding
    int device = m_Sim.Plug(Device("remote"));
    // Each failure with the opens the listing makes before it: the probe, and for the buffer
    // count also the channel's read and write handles, closed as the exception leaves.
    const struct {
        NHidSim::ECall call;
        int opens;
    } failing[] = {{NHidSim::kSetupDiDestroyDeviceInfoList, 1},
                   {NHidSim::kHidD_FreePreparsedData, 1},
                   {NHidSim::kHidD_SetNumInputBuffers, 3}};
    int opens = 0;
    for (const auto& failure : failing) {
        m_Sim.FailCall(failure.call, ERROR_GEN_FAILURE);
        EXPECT_TRUE(ListCandidates().empty()) << "call " << failure.call;
        EXPECT_EQ("", TakePendingException());
        m_Sim.ClearFailures();
        opens += failure.opens;
        EXPECT_TRUE(WaitUntilSettled(device, opens)) << "call " << failure.call;
    }
    std::vector<jint> tokens = ListCandidates();
    ASSERT_EQ(1u, tokens.size());
    jobject wirelet = NewWirelet();
    Attach(wirelet, tokens[0]);
    EXPECT_EQ(64, InputSize(wirelet));
}

// Packets the channel would read or write past their end are refused before any device I/O.
TEST_F(DeviceNativesOnDevices, RefusedPacketsTouchNoDevice) {
    int device = m_Sim.Plug(Device("remote", 65, 33));
    jobject wirelet = AttachOnly();
    jobject out = NewPacketOfSize(32);
    jobject reply = NewPacketOfSize(64);
    EXPECT_FALSE(WriteRead(wirelet, nullptr, Packets({reply}), 200));
    EXPECT_FALSE(WriteRead(wirelet, Packets({out}), nullptr, 200));
    EXPECT_FALSE(WriteRead(wirelet, Packets({out, nullptr}), Packets({}), 200));
    EXPECT_FALSE(WriteRead(wirelet, Packets({out, NewPacketOfSize(31)}), Packets({}), 200));
    EXPECT_FALSE(WriteRead(wirelet, Packets({out}), Packets({reply, NewPacketOfSize(63)}), 200));
    EXPECT_FALSE(WriteRead(wirelet, Packets({out}), Packets({m_Packets->WithoutData()}), 200));
    EXPECT_FALSE(WriteRead(wirelet, Packets({out}), Packets({m_Packets->NotAPacket()}), 200));
    EXPECT_EQ("java/lang/NoSuchMethodError", TakePendingException());
    m_Packets->ThrowFromRawData(true);
    EXPECT_FALSE(WriteRead(wirelet, Packets({out}), Packets({}), 200));
    EXPECT_EQ("java/lang/IllegalStateException", TakePendingException());
    m_Packets->ThrowFromRawData(false);
    Sleep(100);
    EXPECT_TRUE(m_Sim.OutputReports(device).empty());

    // A short or missing continuous-read packet leaves the queue as it was.
    EXPECT_TRUE(StartRead(wirelet));
    m_Sim.SendPacket(device, AsReport(Sequence(64, 3)));
    EXPECT_FALSE(Read(wirelet, nullptr));
    EXPECT_FALSE(Read(wirelet, NewPacketOfSize(63)));
    EXPECT_FALSE(Read(wirelet, m_Packets->WithoutData()));
    jobject packet = NewPacketOfSize(64);
    bool delivered = false;
    for (int polls = 0; !delivered && polls < 300; ++polls) {
        delivered = Read(wirelet, packet);
        if (!delivered) Sleep(10);
    }
    EXPECT_TRUE(delivered);
    EXPECT_EQ(Sequence(64, 3), m_Packets->Bytes(packet));
}

TEST_F(DeviceNativesOnDevices, LargePacketArraysAreWrittenWhole) {
    int device = m_Sim.Plug(Device("remote", 65, 9));
    jobject wirelet = AttachOnly();
    std::vector<jobject> packets;
    for (int i = 0; i < 150; ++i) packets.push_back(m_Packets->New(Sequence(8, i)));
    EXPECT_TRUE(WriteRead(wirelet, Packets(packets), Packets({}), 5000));
    ASSERT_TRUE(m_Sim.WaitForOutputReports(device, 150, 5000));
    std::vector<NHidSim::TReport> written = m_Sim.OutputReports(device);
    ASSERT_EQ(150u, written.size());
    EXPECT_EQ(OutputReportOf(Sequence(8, 0)), written[0]);
    EXPECT_EQ(OutputReportOf(Sequence(8, 149)), written[149]);
}

}  // namespace
