#pragma once
// Hosts one Java VM in the launcher's process through the JNI invocation interface.

#include <jni.h>
#include <windows.h>

#include <string>
#include <vector>

class jvm_instance {
public:
    jvm_instance() = default;
    // Neither destroys the VM nor unloads the library: only destroy() does.
    ~jvm_instance() = default;
    jvm_instance(const jvm_instance&) = delete;
    jvm_instance& operator=(const jvm_instance&) = delete;

    // Loads the VM library and creates the VM with the three options; an existing VM in the process
    // is adopted. Throws jvm_init_exception.
    void create(const std::string& jvm_path, const std::string& class_path, const std::string& library_path);

    // Calls the static main(String[]) of the class named in dotted form with the arguments, each
    // made into a Java string from its UTF-16 text. Returns when main returns.
    // Throws jvm_execution_exception, jvm_runtime_exception.
    void run_main(const std::string& class_name, std::vector<std::wstring> args);

    // DestroyJavaVM (which waits for the Java program's last non-daemon thread), then unloads the library.
    void destroy();

private:
    using get_default_init_args_fn = jint(JNICALL*)(void*);
    using create_vm_fn = jint(JNICALL*)(JavaVM**, void**, void*);
    using get_created_vms_fn = jint(JNICALL*)(JavaVM**, jsize, jsize*);

    HMODULE module = nullptr;
    get_default_init_args_fn get_default_init_args = nullptr;
    create_vm_fn create_vm = nullptr;
    get_created_vms_fn get_created_vms = nullptr;
    JNIEnv* env = nullptr;
    JavaVM* vm = nullptr;
};
