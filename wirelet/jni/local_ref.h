#pragma once
// CLocalRef: owns one JNI local reference and deletes it when it goes out of scope, so that a
// loop over many Java objects stays within the native frame's local-reference capacity.
// DeleteLocalRef is one of the calls JNI allows while an exception is pending.

#include <jni.h>

namespace NWireletJni {

template <typename TRef = jobject>
class CLocalRef {
public:
    CLocalRef(JNIEnv* env, TRef ref) noexcept : m_Env(env), m_Ref(ref) {}
    ~CLocalRef() { Reset(); }
    CLocalRef(const CLocalRef&) = delete;
    CLocalRef& operator=(const CLocalRef&) = delete;

    TRef Get() const noexcept { return m_Ref; }
    explicit operator bool() const noexcept { return m_Ref != nullptr; }
    // Gives up ownership without deleting the reference.
    TRef Release() noexcept {
        TRef ref = m_Ref;
        m_Ref = nullptr;
        return ref;
    }
    void Reset(TRef ref = nullptr) noexcept {
        if (m_Ref != nullptr) m_Env->DeleteLocalRef(m_Ref);
        m_Ref = ref;
    }

private:
    JNIEnv* m_Env;
    TRef m_Ref;
};

}  // namespace NWireletJni
