#pragma once
// Java packet objects for tests on the JVM double: classes with GetRawData "()[B" that return the
// byte array the test gave each packet (or null, or throw when asked).

#include <string>
#include <vector>

#include "doubles/jvm/jvm_double.h"

namespace zephra_test {

const char kPacketClass[] = "com/brevant/zephra/client/io/Packet";
// A second packet class: a packet array need not hold one class only.
const char kOtherPacketClass[] = "com/example/OtherPacket";
// A class without GetRawData.
const char kNotAPacketClass[] = "com/example/NotAPacket";

class CJavaPackets {
public:
    explicit CJavaPackets(jvm_double::Vm& vm) : m_Vm(vm) {
        auto rawData = [this](JNIEnv*, jobject self, const std::vector<jvalue>&) {
            ++m_RawDataCalls;
            if (m_ThrowFromRawData) {
                m_Vm.throw_new("java/lang/IllegalStateException", "no data");
                return jvm_double::object_result(nullptr);
            }
            jint index = m_Vm.int_field(self, "m_Index");
            return jvm_double::object_result(index < 0 ? nullptr : m_RawData[static_cast<std::size_t>(index)]);
        };
        m_Vm.define_class(kPacketClass).int_field("m_Index").method("GetRawData", "()[B", rawData);
        m_Vm.define_class(kOtherPacketClass).int_field("m_Index").method("GetRawData", "()[B", rawData);
        m_Vm.define_class(kNotAPacketClass).int_field("m_Index");
    }

    // A packet whose GetRawData returns an array holding bytes.
    jobject New(const std::vector<jbyte>& bytes, const char* packetClass = kPacketClass) {
        jobject packet = m_Vm.new_object(packetClass);
        m_Vm.set_int_field(packet, "m_Index", static_cast<jint>(m_RawData.size()));
        m_RawData.push_back(m_Vm.new_byte_array(bytes));
        return packet;
    }
    jobject OfSize(std::size_t size, jbyte fill = 0) { return New(std::vector<jbyte>(size, fill)); }
    // A packet whose GetRawData returns null.
    jobject WithoutData() {
        jobject packet = m_Vm.new_object(kPacketClass);
        m_Vm.set_int_field(packet, "m_Index", -1);
        return packet;
    }
    jobject NotAPacket() { return m_Vm.new_object(kNotAPacketClass); }

    std::vector<jbyte> Bytes(jobject packet) const {
        return m_Vm.byte_array(m_RawData[static_cast<std::size_t>(m_Vm.int_field(packet, "m_Index"))]);
    }
    void SetBytes(jobject packet, const std::vector<jbyte>& bytes) {
        m_Vm.set_byte_array(m_RawData[static_cast<std::size_t>(m_Vm.int_field(packet, "m_Index"))], bytes);
    }
    jobjectArray Array(const std::vector<jobject>& packets) {
        return m_Vm.new_object_array("java/lang/Object", packets);
    }

    int RawDataCalls() const { return m_RawDataCalls; }
    void ThrowFromRawData(bool enable) { m_ThrowFromRawData = enable; }

private:
    jvm_double::Vm& m_Vm;
    std::vector<jobject> m_RawData;
    int m_RawDataCalls = 0;
    bool m_ThrowFromRawData = false;
};

}  // namespace zephra_test
