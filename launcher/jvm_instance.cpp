// The JVM host: loading jvm.dll, creating the VM, running the main class, shutting down.

#include "launcher/jvm_instance.h"

#include "common/java_names.h"
#include "launcher/exceptions.h"
#include "wirelet/support/check.h"

namespace {

const char kStartError[] = "Error starting JVM runtime";

// One NUL-terminated copy of an option string, valid for as long as the VM creation needs it.
std::vector<char> option_buffer(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

template <typename Function>
Function export_of(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

void jvm_instance::create(const std::string& jvm_path, const std::string& class_path, const std::string& library_path) {
    std::vector<char> compiler = option_buffer("-Djava.compiler=NONE");
    std::vector<char> classes = option_buffer("-Djava.class.path=" + class_path);
    std::vector<char> libraries = option_buffer("-Djava.library.path=" + library_path);

    try {
        module = NQuillonWin32::Check([&] { return LoadLibraryExA(jvm_path.c_str(), nullptr, 0); });
    } catch (const NQuillonWin32::CCheckException&) {
        throw jvm_init_exception("Error loading JVM, DLL pathname was: " + jvm_path);
    }

    get_default_init_args = export_of<get_default_init_args_fn>(module, "JNI_GetDefaultJavaVMInitArgs");
    create_vm = export_of<create_vm_fn>(module, "JNI_CreateJavaVM");
    get_created_vms = export_of<get_created_vms_fn>(module, "JNI_GetCreatedJavaVMs");
    if (get_default_init_args == nullptr || create_vm == nullptr || get_created_vms == nullptr) {
        throw jvm_init_exception("Error locating JVM in DLL: " + jvm_path);
    }

    JavaVMOption options[3] = {};
    options[0].optionString = compiler.data();
    options[1].optionString = classes.data();
    options[2].optionString = libraries.data();
    JavaVMInitArgs args = {};
    args.version = JNI_VERSION_1_2;
    args.nOptions = 3;
    args.options = options;
    args.ignoreUnrecognized = JNI_TRUE;

    jint rc = create_vm(&vm, reinterpret_cast<void**>(&env), &args);
    if (rc == JNI_EEXIST) {
        jsize count = 0;
        get_created_vms(&vm, 1, &count);
        if (vm == nullptr) throw jvm_init_exception(kStartError);
        // Neither call gave this thread an env of the adopted VM: get it through the invocation
        // interface, attaching the thread when it is not attached yet.
        env = nullptr;
        jint got = vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2);
        if (got == JNI_EDETACHED) got = vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
        if (got != JNI_OK || env == nullptr) throw jvm_init_exception(kStartError);
    } else if (rc < 0) {
        throw jvm_init_exception(kStartError);
    }
}

void jvm_instance::run_main(const std::string& class_name, std::vector<std::wstring> args) {
    std::string internal_name = class_name;
    for (char& c : internal_name) {
        if (c == '.') c = '/';
    }
    const jsize count = static_cast<jsize>(args.size());

    // Every reference made here lives until the VM ends: room for the class, the empty string, one
    // string per argument, the String class and the array.
    if (env->EnsureLocalCapacity(count + 4) < 0) {
        throw jvm_execution_exception("Error initializing java String object, out of memory");
    }

    jclass main_class = env->FindClass(internal_name.c_str());
    if (main_class == nullptr) throw jvm_execution_exception("Error loading main class: " + class_name);

    jmethodID main_method = env->GetStaticMethodID(main_class, zephra_java::kMainMethod, zephra_java::kMainDescriptor);
    if (main_method == nullptr) throw jvm_execution_exception("Error retrieving pointer to main() method");

    jstring empty = env->NewStringUTF("");
    if (empty == nullptr) {
        throw jvm_execution_exception("Error initializing empty java String object, out of memory");
    }

    // Arguments go in as UTF-16, so every character the user typed reaches Java as itself.
    std::vector<jstring> strings(args.size(), nullptr);
    for (std::size_t i = 0; i < args.size(); ++i) {
        strings[i] = env->NewString(reinterpret_cast<const jchar*>(args[i].data()), static_cast<jsize>(args[i].size()));
        if (strings[i] == nullptr)
            throw jvm_execution_exception("Error initializing java String object, out of memory");
    }

    jclass string_class = env->FindClass(zephra_java::kStringClass);
    jobjectArray array = env->NewObjectArray(count, string_class, empty);
    if (array == nullptr) throw jvm_execution_exception("Error creating String[] array, out of memory");
    for (jsize i = 0; i < count; ++i) env->SetObjectArrayElement(array, i, strings[static_cast<std::size_t>(i)]);

    env->CallStaticVoidMethod(main_class, main_method, array);
    if (env->ExceptionOccurred() != nullptr) throw jvm_runtime_exception("Exception or Error thrown from Java");
}

void jvm_instance::destroy() {
    vm->DestroyJavaVM();
    if (module != nullptr) {
        FreeLibrary(module);
        module = nullptr;
    }
}
