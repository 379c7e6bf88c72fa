#include "wirelet/jni/packet_pins.h"

#include <climits>

#include "common/java_names.h"
#include "wirelet/jni/local_ref.h"

namespace NWireletJni {

namespace {
// Live local references besides the pinned arrays: the call's own arguments, one element, its
// class and the array GetRawData returned before it is kept, with room to spare.
const long long kWorkingLocalRefs = 16;
}  // namespace

jint LocalCapacityForPackets(long long packetCount) {
    if (packetCount < 0 || packetCount > INT_MAX - kWorkingLocalRefs) return 0;
    return static_cast<jint>(packetCount + kWorkingLocalRefs);
}

bool CPacketPins::AddArray(jobjectArray packets, jsize minSize) {
    if (packets == nullptr) return false;
    const jsize count = m_Env->GetArrayLength(packets);
    m_Pointers.reserve(m_Pointers.size() + count);
    m_Pins.reserve(m_Pins.size() + count);

    CLocalRef<jclass> firstClass(m_Env, nullptr);
    jmethodID firstGetRawData = nullptr;
    for (jsize i = 0; i < count; ++i) {
        CLocalRef<> element(m_Env, m_Env->GetObjectArrayElement(packets, i));
        if (!element) return false;
        jmethodID getRawData = firstGetRawData;
        if (i == 0) {
            firstClass.Reset(m_Env->GetObjectClass(element.Get()));
            getRawData = firstGetRawData = m_Env->GetMethodID(firstClass.Get(), zephra_java::kGetRawDataMethod,
                                                              zephra_java::kGetRawDataDescriptor);
        } else if (!m_Env->IsInstanceOf(element.Get(), firstClass.Get())) {
            // A method ID is only valid for objects of its class: another packet class gets its own.
            getRawData = FindGetRawData(element.Get());
        }
        if (getRawData == nullptr) return false;
        if (!Pin(element.Get(), getRawData, minSize)) return false;
    }
    return true;
}

bool CPacketPins::AddPacket(jobject packet, jsize minSize) {
    if (packet == nullptr) return false;
    m_Pointers.reserve(m_Pointers.size() + 1);
    m_Pins.reserve(m_Pins.size() + 1);
    jmethodID getRawData = FindGetRawData(packet);
    return getRawData != nullptr && Pin(packet, getRawData, minSize);
}

jmethodID CPacketPins::FindGetRawData(jobject packet) {
    CLocalRef<jclass> packetClass(m_Env, m_Env->GetObjectClass(packet));
    return m_Env->GetMethodID(packetClass.Get(), zephra_java::kGetRawDataMethod, zephra_java::kGetRawDataDescriptor);
}

bool CPacketPins::Pin(jobject packet, jmethodID getRawData, jsize minSize) {
    CLocalRef<jbyteArray> bytes(m_Env, static_cast<jbyteArray>(m_Env->CallObjectMethod(packet, getRawData)));
    if (m_Env->ExceptionCheck() || !bytes) return false;
    if (m_Env->GetArrayLength(bytes.Get()) < minSize) return false;
    jbyte* elements = m_Env->GetByteArrayElements(bytes.Get(), nullptr);
    if (elements == nullptr) return false;
    // Both sequences were reserved, so neither push_back can throw and leave a pin untracked.
    m_Pins.push_back(std::make_pair(bytes.Release(), elements));
    m_Pointers.push_back(reinterpret_cast<unsigned char*>(elements));
    return true;
}

void CPacketPins::Release() noexcept {
    for (auto& pin : m_Pins) {
        m_Env->ReleaseByteArrayElements(pin.first, pin.second, 0);
        m_Env->DeleteLocalRef(pin.first);
    }
    m_Pins.clear();
    m_Pointers.clear();
}

}  // namespace NWireletJni
