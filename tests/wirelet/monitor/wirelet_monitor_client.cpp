#include "wirelet_monitor_client.h"

#include <windows.h>

#include <stdexcept>

#include "support/process.h"

namespace monitor_client {
namespace {

const char kWinMainClass[] = "com/brevant/zephra/client/maincontrol/WinMain";

template <typename Function>
void Resolve(void* module, const char* method, int argumentBytes, Function& function) {
    void* address =
        jvm_double::find_native(module, jvm_double::native_export_name(kWinMainClass, method), argumentBytes);
    if (address == nullptr) throw std::runtime_error(std::string("Wirelet.dll lacks ") + method);
    function = reinterpret_cast<Function>(address);
}

}  // namespace

jvm_double::VmOptions WireletVmOptions() {
    jvm_double::VmOptions options;
    options.options.push_back("-Djava.library.path=" + zephra_test::narrow(zephra_test::deliverable(L"")));
    return options;
}

CWireletNatives::CWireletNatives(jvm_double::Vm& vm) : m_Vm(vm) {
    if (!m_Vm.has_class(kWinMainClass)) m_Vm.define_class(kWinMainClass);
    m_Library = m_Vm.load_library("Wirelet");
    if (m_Library.module == nullptr) {
        m_Vm.clear_pending_exception();
        throw std::runtime_error("Wirelet.dll not found");
    }
    Resolve(m_Library.module, "nativeGetCommandMonitorToken", 12, m_Token);
    Resolve(m_Library.module, "nativeIsCommandMonitorThisProcess", 12, m_IsThisProcess);
    Resolve(m_Library.module, "nativeSendCommandToCommandMonitor", 20, m_Send);
    Resolve(m_Library.module, "nativeBringCommandMonitorProcessToFront", 12, m_BringToFront);
    Resolve(m_Library.module, "nativeDestroyCommandMonitor", 12, m_Destroy);
}

CWireletNatives::~CWireletNatives() {
    if (m_Library.module != nullptr) m_Vm.unload_library(m_Library);
}

jint CWireletNatives::Token(const std::string& receiverClass) {
    jint token = 0;
    m_Vm.call_native([&](JNIEnv* env) {
        jobject receiver = receiverClass.empty() ? nullptr : m_Vm.new_object(receiverClass);
        token = m_Token(env, env->FindClass(kWinMainClass), receiver);
    });
    return token;
}

bool CWireletNatives::IsThisProcess(jint token) {
    jboolean result = JNI_FALSE;
    m_Vm.call_native([&](JNIEnv* env) { result = m_IsThisProcess(env, env->FindClass(kWinMainClass), token); });
    return result != JNI_FALSE;
}

void CWireletNatives::Send(jint token, const std::u16string& method, const std::u16string* argument) {
    m_Vm.call_native([&](JNIEnv* env) {
        jstring text = argument != nullptr ? m_Vm.new_string(*argument) : nullptr;
        m_Send(env, env->FindClass(kWinMainClass), token, m_Vm.new_string(method), text);
    });
}

void CWireletNatives::BringToFront(jint token) {
    m_Vm.call_native([&](JNIEnv* env) { m_BringToFront(env, env->FindClass(kWinMainClass), token); });
}

void CWireletNatives::Destroy(jint token) {
    m_Vm.call_native([&](JNIEnv* env) { m_Destroy(env, env->FindClass(kWinMainClass), token); });
}

}  // namespace monitor_client
