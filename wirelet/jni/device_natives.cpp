// The library's load and unload hooks and the native methods of the Java classes Wirelet and
// WireletManager. A Java Wirelet object names its channel by the token in its int field m_Token;
// every call looks the channel up through the manager, works on it and lets go of it before
// returning. The attached-channel map keeps a reference per attached token.
//
// Every body runs behind the JNI wall: whatever is thrown beneath (a failed Win32 call under
// Refresh, an allocation failure) ends the call with its failure value (0, false, or nothing),
// and pinned packet arrays are released on the way out. Calls that find a Java object unfit
// (a missing member, a null or short packet array) return their failure value before any device
// is touched; a Java exception raised on the way is left pending for the caller.
//
// Without a manager (its creation failed at load), the calls behave as for an unknown token:
// listing reports nothing, attach changes nothing, the queries return 0 or false, and detach
// still lets go of the attached channel and clears m_Token.

#include <jni.h>

#include <new>
#include <vector>

#include "com_brevant_zephra_client_io_Wirelet.h"
#include "com_brevant_zephra_client_io_WireletManager.h"
#include "common/java_names.h"
#include "wirelet/device/manager.h"
#include "wirelet/jni/attached_channels.h"
#include "wirelet/jni/jni_wall.h"
#include "wirelet/jni/library_manager.h"
#include "wirelet/jni/local_ref.h"
#include "wirelet/jni/packet_pins.h"
#include "wirelet/monitor/monitor_api.h"

using NWireletJni::CAttachedChannels;
using NWireletJni::CLocalRef;
using NWireletJni::CPacketPins;
using NWireletJni::JniWall;
using NWireletJni::JniWallVoid;

namespace {

// The library's one channel manager, from JNI_OnLoad to JNI_OnUnload.
CWireletManager* g_Manager = nullptr;
// Emptied by JNI_OnUnload, and again when the library leaves the process.
CAttachedChannels g_Attached;

// The ID of m_Token in the object's class; null, with NoSuchFieldError pending, when it has none.
jfieldID TokenFieldOf(JNIEnv* env, jobject object) {
    CLocalRef<jclass> objectClass(env, env->GetObjectClass(object));
    return env->GetFieldID(objectClass.Get(), zephra_java::kTokenField, zephra_java::kTokenFieldDescriptor);
}

// Reads m_Token; false when the object has no such field.
bool GetTokenField(JNIEnv* env, jobject object, TWireletToken* token) {
    jfieldID field = TokenFieldOf(env, object);
    if (field == nullptr) return false;
    *token = env->GetIntField(object, field);
    return true;
}

// The channel of the object's token, or a handle holding none (token 0, unknown, no manager, or
// no m_Token field). The attached-channel map is not consulted: a channel the manager no longer
// holds counts as missing.
TWireletPtr FindChannel(JNIEnv* env, jobject self) {
    TWireletToken token = 0;
    if (!GetTokenField(env, self, &token) || token == 0 || g_Manager == nullptr) return TWireletPtr();
    return g_Manager->Find(token);
}

jint PacketSize(int size) { return size > 0 ? size : 0; }

}  // namespace

CWireletManager* NWireletJni::LibraryManager() { return g_Manager; }

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM*, void*) {
    JniWallVoid([] {
        if (g_Manager == nullptr) g_Manager = new (std::nothrow) CHidWireletManager();
    });
    return JNI_VERSION_1_2;
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* vm, void*) {
    // The command monitor first: its threads must have left the library's code (or hold it loaded)
    // before it goes. Separate walls, so that a failure while destroying the manager's channels
    // still empties the map.
    JniWallVoid([vm] { NWireletMonitor::StopCommandMonitorsForUnload(vm); });
    JniWallVoid([] {
        CWireletManager* manager = g_Manager;
        g_Manager = nullptr;
        delete manager;
    });
    JniWallVoid([] { g_Attached.Clear(); });
}

JNIEXPORT void JNICALL Java_com_brevant_zephra_client_io_WireletManager_nativeGetCandidateIoPipes(JNIEnv* env,
                                                                                                  jobject self) {
    JniWallVoid([&] {
        if (g_Manager == nullptr) return;
        jmethodID addCandidate = nullptr;
        {
            CLocalRef<jclass> selfClass(env, env->GetObjectClass(self));
            addCandidate = env->GetMethodID(selfClass.Get(), zephra_java::kAddCandidateMethod,
                                            zephra_java::kAddCandidateDescriptor);
        }
        if (addCandidate == nullptr) return;

        g_Manager->Refresh();
        std::vector<TWireletPtr> candidates = g_Manager->GetCandidates();
        for (const TWireletPtr& candidate : candidates) {
            env->CallVoidMethod(self, addCandidate, static_cast<jint>(g_Manager->GetToken(candidate.Get())));
            // A throwing callback ends the listing; its exception stays pending for the caller.
            if (env->ExceptionCheck()) break;
        }
    });
}

JNIEXPORT void JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeAttach(JNIEnv* env, jobject self, jint token) {
    JniWallVoid([&] {
        jfieldID tokenField = TokenFieldOf(env, self);
        if (tokenField == nullptr || token == 0 || g_Manager == nullptr) return;
        TWireletPtr channel = g_Manager->Find(token);
        if (channel.Get() == nullptr) return;
        g_Attached.Attach(token, channel);
        env->SetIntField(self, tokenField, token);
    });
}

JNIEXPORT void JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeDetach(JNIEnv* env, jobject self) {
    JniWallVoid([&] {
        jfieldID tokenField = TokenFieldOf(env, self);
        if (tokenField == nullptr) return;
        const TWireletToken token = env->GetIntField(self, tokenField);
        if (token == 0) return;
        if (g_Manager != nullptr) g_Manager->Remove(token);
        g_Attached.Detach(token);
        env->SetIntField(self, tokenField, 0);
    });
}

JNIEXPORT jint JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeGetInputPacketSize(JNIEnv* env, jobject self) {
    return JniWall<jint>(0, [&]() -> jint {
        TWireletPtr channel = FindChannel(env, self);
        return channel.Get() != nullptr ? PacketSize(channel->GetInputPacketSize()) : 0;
    });
}

JNIEXPORT jint JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeGetOutputPacketSize(JNIEnv* env, jobject self) {
    return JniWall<jint>(0, [&]() -> jint {
        TWireletPtr channel = FindChannel(env, self);
        return channel.Get() != nullptr ? PacketSize(channel->GetOutputPacketSize()) : 0;
    });
}

JNIEXPORT jboolean JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeWriteReadPackets(JNIEnv* env, jobject self,
                                                                                            jobjectArray outPackets,
                                                                                            jobjectArray replyPackets,
                                                                                            jint timeoutMs) {
    return JniWall<jboolean>(JNI_FALSE, [&]() -> jboolean {
        TWireletPtr channel = FindChannel(env, self);
        if (channel.Get() == nullptr) return JNI_FALSE;
        if (outPackets == nullptr || replyPackets == nullptr) return JNI_FALSE;

        // Every packet's array stays referenced while pinned: make room for all of them at once.
        const long long packetCount =
            static_cast<long long>(env->GetArrayLength(outPackets)) + env->GetArrayLength(replyPackets);
        const jint capacity = NWireletJni::LocalCapacityForPackets(packetCount);
        if (capacity == 0 || env->EnsureLocalCapacity(capacity) != JNI_OK) return JNI_FALSE;

        // Pins are released in reverse order of declaration on an early exit; on the way through,
        // the outgoing ones first, then the replies.
        CPacketPins outgoing(env);
        CPacketPins replies(env);
        if (!outgoing.AddArray(outPackets, PacketSize(channel->GetOutputPacketSize()))) return JNI_FALSE;
        if (!replies.AddArray(replyPackets, PacketSize(channel->GetInputPacketSize()))) return JNI_FALSE;

        int received = 0;
        const bool written = channel->WriteReadPackets(outgoing.Pointers(), replies.Pointers(), &received, timeoutMs);
        const bool complete = written && received == static_cast<int>(replies.Pointers().size());
        // Release mode 0 copies the reply bytes back, also when the transaction fell short.
        outgoing.Release();
        replies.Release();
        return complete ? JNI_TRUE : JNI_FALSE;
    });
}

JNIEXPORT jboolean JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeStartContinuousRead(JNIEnv* env,
                                                                                               jobject self) {
    return JniWall<jboolean>(JNI_FALSE, [&]() -> jboolean {
        TWireletPtr channel = FindChannel(env, self);
        return channel.Get() != nullptr && channel->StartContinuousRead() ? JNI_TRUE : JNI_FALSE;
    });
}

JNIEXPORT jboolean JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeStopContinuousRead(JNIEnv* env,
                                                                                              jobject self) {
    return JniWall<jboolean>(JNI_FALSE, [&]() -> jboolean {
        TWireletPtr channel = FindChannel(env, self);
        return channel.Get() != nullptr && channel->StopContinuousRead() ? JNI_TRUE : JNI_FALSE;
    });
}

JNIEXPORT jboolean JNICALL Java_com_brevant_zephra_client_io_Wirelet_nativeContinuousRead(JNIEnv* env, jobject self,
                                                                                          jobject packet) {
    return JniWall<jboolean>(JNI_FALSE, [&]() -> jboolean {
        TWireletPtr channel = FindChannel(env, self);
        if (channel.Get() == nullptr) return JNI_FALSE;
        CPacketPins pin(env);
        if (!pin.AddPacket(packet, PacketSize(channel->GetInputPacketSize()))) return JNI_FALSE;
        const bool delivered = channel->ContinuousRead(pin.Pointers().front());
        pin.Release();
        return delivered ? JNI_TRUE : JNI_FALSE;
    });
}
