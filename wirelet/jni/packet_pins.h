#pragma once
// CPacketPins: the byte arrays of Java packet objects, pinned for one native call so that the
// channel reads and writes packet bytes in place. A packet object is any object whose class has
// GetRawData "()[B"; its array must hold at least the packet size, since the channel reads or
// writes exactly that many bytes. Every pin is released with mode 0 (the bytes are copied back
// into the Java array) by Release or, on any early exit, by the destructor.

#include <jni.h>

#include <utility>
#include <vector>

#include "wirelet/device/wirelet.h"

namespace NWireletJni {

class CPacketPins {
public:
    explicit CPacketPins(JNIEnv* env) noexcept : m_Env(env) {}
    ~CPacketPins() { Release(); }
    CPacketPins(const CPacketPins&) = delete;
    CPacketPins& operator=(const CPacketPins&) = delete;

    // Pins the raw data of every element of packets, in array order. GetRawData is looked up once,
    // on the first element's class, and used for every element of that class. Returns false and
    // pins nothing further when the array or an element is null, a class has no GetRawData,
    // GetRawData throws or returns null or fewer than minSize bytes, or the VM cannot pin an array.
    // A Java exception raised on the way stays pending for the caller. Holds one local reference
    // per pinned packet (plus two while working): the caller ensures that capacity.
    bool AddArray(jobjectArray packets, jsize minSize);
    // The same for one packet object.
    bool AddPacket(jobject packet, jsize minSize);

    // One pointer per pinned packet, in the order added.
    const TPacketPointers& Pointers() const noexcept { return m_Pointers; }

    // Releases every pin in the order added, copying the bytes back, and forgets them.
    void Release() noexcept;

private:
    // GetRawData of the packet's class; null (with NoSuchMethodError pending) when it has none.
    jmethodID FindGetRawData(jobject packet);
    bool Pin(jobject packet, jmethodID getRawData, jsize minSize);

    JNIEnv* m_Env;
    TPacketPointers m_Pointers;
    std::vector<std::pair<jbyteArray, jbyte*>> m_Pins;
};

// The local references a call needs to pin packetCount packets at once, with room for the
// working references; 0 when that cannot be expressed as a jint.
jint LocalCapacityForPackets(long long packetCount);

}  // namespace NWireletJni
