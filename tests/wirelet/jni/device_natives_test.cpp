// Wirelet.dll's device natives, called the way a 32-bit Java VM calls them: the library is loaded
// through the JVM double (exports looked up as _name@N), every native runs as one native call on
// strict JNI checks, and the Java classes are stand-ins whose methods are written here.

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

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
    ASSERT_NE(nullptr, address) << method << " is not exported as a 32-bit VM looks it up";
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

}  // namespace
