// The JNI invocation exports of the jvm.dll double. Behaviour per process comes from the scenario
// named by ZEPHRA_JVM_SCENARIO; everything seen goes to the record (see scenario.h, record.h).
//
// The functions carry internal names; the .def files export them under the plain JNI names, the way
// the real runtime's jvm.dll does (no stdcall decoration).

#include <windows.h>

#include <string>

#include "doubles/jvm/model.h"
#include "doubles/jvm/scenario.h"

namespace jvm_double {
namespace {

Record& record() {
    static Record* r = new Record;  // lives to process end: DLL unload still writes to it
    return *r;
}

Vm* g_vm = nullptr;

std::string narrow_utf8(const std::wstring& w) { return utf16_to_utf8(std::u16string(w.begin(), w.end())); }

// Option strings are in the ANSI code page, as a launcher builds them.
std::string ansi_to_utf8(const char* text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &w[0], n);
    w.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return narrow_utf8(w);
}

std::string environment_path() {
    DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (n == 0) return "(unset)";
    std::wstring w(n, L'\0');
    n = GetEnvironmentVariableW(L"PATH", &w[0], n);
    w.resize(n);
    return narrow_utf8(w);
}

std::string current_directory() {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, buf);
    return narrow_utf8(std::wstring(buf, n));
}

std::string scenario_name() {
    wchar_t buf[256];
    DWORD n = GetEnvironmentVariableW(L"ZEPHRA_JVM_SCENARIO", buf, 256);
    if (n == 0 || n >= 256) return "normal";
    return narrow_utf8(std::wstring(buf, n));
}

void record_arguments(const JavaVMInitArgs* args) {
    char version[16];
    wsprintfA(version, "0x%08lX", static_cast<unsigned long>(args->version));
    record().write("create-version", version);
    record().write("create-noptions", std::to_string(args->nOptions));
    for (jint i = 0; i < args->nOptions; ++i) {
        const JavaVMOption& o = args->options[i];
        if (o.optionString == nullptr) {
            report_violation("JNI_CreateJavaVM: option " + std::to_string(i) + " has no string");
            continue;
        }
        record().write("create-option", ansi_to_utf8(o.optionString));
        if (o.extraInfo != nullptr) record().write("create-option-extra", std::to_string(i));
    }
    record().write("create-ignore-unrecognized", std::to_string(args->ignoreUnrecognized));
}

Vm* make_vm(const JavaVMInitArgs* args, const Scenario& scenario) {
    VmOptions options;
    for (jint i = 0; i < args->nOptions; ++i) {
        if (args->options[i].optionString != nullptr) options.options.push_back(args->options[i].optionString);
    }
    options.attach_creator = false;
    Vm* vm = new Vm(options);
    if (scenario.define) scenario.define(*vm, record());
    return vm;
}

void start_trace(Vm* vm) {
    vm->set_trace([](const std::string& line) { record().write("jni", line); });
}

}  // namespace
}  // namespace jvm_double

using namespace jvm_double;

extern "C" jint JNICALL double_get_default_init_args(void* args) {
    record().write("call", "JNI_GetDefaultJavaVMInitArgs");
    if (args == nullptr) return JNI_ERR;
    static_cast<JavaVMInitArgs*>(args)->version = JNI_VERSION_1_4;
    return JNI_OK;
}

extern "C" jint JNICALL double_create_java_vm(JavaVM** pvm, void** penv, void* vm_args) {
    record().write("call", "JNI_CreateJavaVM");
    record().write("create-thread", std::to_string(GetCurrentThreadId()));
    record().write("create-path", environment_path());
    record().write("create-cwd", current_directory());
    if (pvm == nullptr || penv == nullptr || vm_args == nullptr) {
        report_violation("JNI_CreateJavaVM: null argument");
        return JNI_ERR;
    }
    const auto* args = static_cast<const JavaVMInitArgs*>(vm_args);
    record_arguments(args);
    if (args->version != JNI_VERSION_1_2 && args->version != JNI_VERSION_1_4 && args->version != JNI_VERSION_1_6 &&
        args->version != JNI_VERSION_1_8) {
        return JNI_EVERSION;
    }
    if (g_vm != nullptr) return JNI_EEXIST;  // one VM per process
    std::string name = scenario_name();
    record().write("scenario", name);
    const Scenario* scenario = find_scenario(name);
    if (scenario == nullptr) {
        report_violation("unknown scenario " + name);
        return JNI_ERR;
    }
    switch (scenario->create) {
        case CreateMode::fail:
            return JNI_ERR;
        case CreateMode::exists_none:
            return JNI_EEXIST;
        case CreateMode::exists:
            // The VM "was there before": nothing is attached and the out-parameters stay untouched.
            g_vm = make_vm(args, *scenario);
            start_trace(g_vm);
            return JNI_EEXIST;
        case CreateMode::normal:
            break;
    }
    g_vm = make_vm(args, *scenario);
    JavaVM* vm = g_vm->java_vm();
    JNIEnv* env = nullptr;
    vm->functions->AttachCurrentThread(vm, reinterpret_cast<void**>(&env), nullptr);
    start_trace(g_vm);
    *pvm = vm;
    *penv = env;
    return JNI_OK;
}

extern "C" jint JNICALL double_get_created_java_vms(JavaVM** buffer, jsize length, jsize* count) {
    record().write("call", "JNI_GetCreatedJavaVMs");
    if (count == nullptr || (buffer == nullptr && length > 0) || length < 0) {
        report_violation("JNI_GetCreatedJavaVMs: bad arguments");
        return JNI_ERR;
    }
    *count = g_vm != nullptr ? 1 : 0;
    if (g_vm != nullptr && length >= 1) buffer[0] = g_vm->java_vm();
    return JNI_OK;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        set_violation_handler([](const std::string& text) { record().write("violation", text); });
        record().write("loaded");
    } else if (reason == DLL_PROCESS_DETACH) {
        record().write(reserved == nullptr ? "unloaded" : "process-exit");
    }
    return TRUE;
}
