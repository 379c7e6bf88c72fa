#include "wirelet/monitor/java_strings.h"

#include <new>

#include "wirelet/monitor/modified_utf8.h"

namespace NWireletMonitor {

std::string JavaStringToNarrow(JNIEnv* env, jstring string) {
    if (string == nullptr) return {};
    const char* bytes = env->GetStringUTFChars(string, nullptr);
    if (bytes == nullptr) throw std::bad_alloc();
    std::string text;
    try {
        text = bytes;
    } catch (...) {
        env->ReleaseStringUTFChars(string, bytes);
        throw;
    }
    env->ReleaseStringUTFChars(string, bytes);
    return text;
}

jstring NarrowToJavaString(JNIEnv* env, const std::string& text) {
    static_assert(sizeof(wchar_t) == sizeof(jchar), "UTF-16 code units");
    std::wstring units = DecodeModifiedUtf8(text);
    return env->NewString(reinterpret_cast<const jchar*>(units.c_str()), static_cast<jsize>(units.size()));
}

}  // namespace NWireletMonitor
