#pragma once
// A strict stand-in for a Java VM, for tests of native code that talks JNI.
//
// One object model and one set of checks serve two uses:
//  - in-process: a test program links the static library `jvm_double_model`, creates a `Vm`, and calls
//    native functions (for example the exports of Wirelet.dll) with `vm.env()` and objects it made;
//  - jvm.dll: the same model behind the JNI invocation exports, loaded by the real launcher.
//
// "Java code" is C++: a class's methods are callables supplied by the test. Such code uses the
// Java-side helpers of `Vm` (which are not JNI calls and are not checked) or JNI calls through its env.
//
// Strictness, in the spirit of -Xcheck:jni. Each of these is a violation:
//  - a JNI call while an exception is pending, other than the calls JNI allows then;
//  - an env used on a thread it does not belong to; a JNI call on a thread that is not attached;
//  - a dead, foreign-thread or otherwise invalid reference; null where JNI forbids it; wrong object kinds;
//  - a Call<Type>Method whose type differs from the method's return type, or a static/instance mix-up;
//  - NewStringUTF with bytes that are not valid modified UTF-8;
//  - element or chars pointers released twice, released with a pointer the VM never gave, written past
//    their end, or still held when the native call returns or the VM is destroyed;
//  - more live local references in a native frame than its capacity (16 unless EnsureLocalCapacity or
//    PushLocalFrame asked for more);
//  - global references still alive when the VM is destroyed or when `check_released` is asked;
//  - any JNIEnv slot this double does not implement (it records the slot name, then ends the process,
//    since returning from a call of unknown signature would corrupt the caller's stack).
// Every violation is appended to `violations()` and passed to the handler (see jvm_double_gtest.h).

#include <jni.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace jvm_double {

// ---- Violations and tracing (process-wide) ----

using TextHandler = std::function<void(const std::string&)>;

// Called for every violation, on the thread that committed it. Default: none (the list still grows).
void set_violation_handler(TextHandler handler);
// Every violation so far, oldest first.
std::vector<std::string> violations();
void clear_violations();

// ---- Java method implementations ----

// The arguments of a Java method call, in descriptor order; `self` is the object (instance methods)
// or the class (static methods) as a local reference of the calling thread.
using MethodBody = std::function<jvalue(JNIEnv* env, jobject self, const std::vector<jvalue>& args)>;

// Helpers to build return values.
inline jvalue void_result() { return jvalue{}; }
inline jvalue int_result(jint v) {
    jvalue r{};
    r.i = v;
    return r;
}
inline jvalue bool_result(bool v) {
    jvalue r{};
    r.z = v ? JNI_TRUE : JNI_FALSE;
    return r;
}
inline jvalue object_result(jobject v) {
    jvalue r{};
    r.l = v;
    return r;
}

class Vm;

// Adds members to a class defined through Vm::define_class. Returned by value; cheap to copy.
class ClassBuilder {
public:
    ClassBuilder& method(const std::string& name, const std::string& descriptor, MethodBody body);
    ClassBuilder& static_method(const std::string& name, const std::string& descriptor, MethodBody body);
    // An instance field of type int ("I"), initially 0.
    ClassBuilder& int_field(const std::string& name);

private:
    friend class Vm;
    ClassBuilder(Vm* vm, void* cls) : vm_(vm), cls_(cls) {}
    Vm* vm_;
    void* cls_;
};

// A native library loaded the way a Java VM loads one (see Vm::load_library).
struct NativeLibrary {
    void* module = nullptr;  // HMODULE
    std::wstring path;
    jint onload_version = 0;  // what JNI_OnLoad returned (0 when it has none)
};

// The name a native method is exported under, without decoration: "Java_" + mangled class + "_" +
// mangled method, with JNI's escapes (_1 for '_', _2 for ';', _3 for '[', _0xxxx for non-ASCII).
std::string native_export_name(const std::string& internal_class_name, const std::string& method_name);
// Looks a native up as a Java VM of this build's architecture does: a 32-bit one tries "_name@N" first
// (N = argument bytes including the env and the object or class), then the plain "name"; a 64-bit one
// knows the plain "name" only. Null when none exists.
void* find_native(void* module, const std::string& export_name, int argument_bytes);

struct VmOptions {
    std::vector<std::string> options;  // "-Dkey=value" and others, as given to JNI_CreateJavaVM
    // Attach the creating thread as the VM's main thread (as JNI_CreateJavaVM does). False leaves the
    // creating thread unattached: a VM that "already existed" in the process.
    bool attach_creator = true;
};

class Vm {
public:
    Vm();
    explicit Vm(const VmOptions& options);
    // Destroys the VM if DestroyJavaVM has not: waits (bounded, 10 s) for the other non-daemon threads,
    // reports leftovers (global references, unreleased pointers, threads still attached) as violations.
    ~Vm();
    Vm(const Vm&) = delete;
    Vm& operator=(const Vm&) = delete;

    JavaVM* java_vm();
    // The env of the calling thread; null (and a violation) when the thread is not attached.
    JNIEnv* env();
    static Vm* from(JavaVM* vm);
    static Vm* from(JNIEnv* env);

    // A system property given as "-Dname=value" at creation; empty when absent.
    std::string property(const std::string& name) const;

    // ---- Classes ----
    // Defines a class by its internal name ("com/x/Y"); the superclass must exist (defined earlier or
    // built in: java/lang/Object, java/lang/String, java/lang/Throwable and the usual exceptions).
    ClassBuilder define_class(const std::string& internal_name, const std::string& super_name = "java/lang/Object");
    // A Throwable subclass, e.g. define_exception("com/x/MyError", "java/lang/RuntimeException").
    ClassBuilder define_exception(const std::string& internal_name,
                                  const std::string& super_name = "java/lang/RuntimeException");
    bool has_class(const std::string& internal_name) const;

    // ---- Java-side helpers: what Java code does directly. Not JNI calls, not checked for pending
    // exceptions; new objects come back as local references in the calling thread's current frame. ----
    jobject new_object(const std::string& class_name);
    jstring new_string(const std::u16string& text);
    jstring new_string_utf8(const std::string& utf8);  // standard UTF-8 in
    jbyteArray new_byte_array(const std::vector<jbyte>& bytes);
    jobjectArray new_object_array(const std::string& element_class, const std::vector<jobject>& elements);

    std::u16string string_value(jobject string) const;
    std::string string_utf8(jobject string) const;  // standard UTF-8 out
    std::vector<jbyte> byte_array(jobject array) const;
    void set_byte_array(jobject array, const std::vector<jbyte>& bytes);
    std::vector<jobject> array_elements(jobject array);  // local references
    jint int_field(jobject object, const std::string& name) const;
    void set_int_field(jobject object, const std::string& name, jint value);
    std::string class_name_of(jobject object) const;
    bool is_same(jobject a, jobject b) const;

    // Java code throwing: sets the calling thread's pending exception.
    void throw_new(const std::string& class_name, const std::string& message);
    // The calling thread's pending exception: its class name (empty when none) and message.
    std::string pending_exception_class() const;
    std::string pending_exception_message() const;
    void clear_pending_exception();

    // ---- Calling natives as the VM does ----
    // Runs `body` as one native method call on the calling thread: a fresh local frame of capacity 16,
    // and at its end every pointer still held from Get*Elements/Get*Chars is a violation; the frame's
    // local references are freed. The body must not throw.
    void call_native(const std::function<void(JNIEnv*)>& body);

    // Loads <name>.dll from the directories of java.library.path (in order; the file must exist there),
    // and calls its JNI_OnLoad (looked up as "_JNI_OnLoad@8", then "JNI_OnLoad") as a native call.
    // A library not found gives a null module and UnsatisfiedLinkError pending.
    NativeLibrary load_library(const std::string& name);
    // Calls JNI_OnUnload (if present) as a native call, then reports live global references as
    // violations, then unloads the library.
    void unload_library(NativeLibrary& library);

    // ---- Threads ----
    // Starts a Java thread (attached for its whole run, non-daemon unless asked) running `body` as Java
    // code. DestroyJavaVM waits for non-daemon ones.
    void start_thread(const std::string& name, std::function<void(JNIEnv*)> body, bool daemon = false);
    // Number of attached non-daemon threads, the calling thread included if it is one.
    int non_daemon_threads() const;
    // The next `count` AttachCurrentThread(AsDaemon) calls of unattached threads fail with JNI_ENOMEM,
    // as a VM that is out of memory or shutting down refuses them.
    void refuse_attach(int count);

    // ---- Inspection ----
    std::size_t live_global_refs() const;
    std::size_t live_local_refs() const;  // of the calling thread, all frames
    std::size_t held_pointers() const;    // element/chars pointers not yet released
    // Reports every live global reference and every held pointer as a violation naming `when`.
    void check_released(const std::string& when);
    // Called with a one-line description of each JNI and invocation call, in order ("FindClass x/Y",
    // "GetStaticMethodID main ([Ljava/lang/String;)V", "DestroyJavaVM returned", ...). Default: none.
    void set_trace(TextHandler handler);

    struct Impl;
    Impl* impl() { return impl_.get(); }

private:
    friend class ClassBuilder;
    std::unique_ptr<Impl> impl_;
};

// Text helpers shared by the double and its tests.
std::string utf16_to_utf8(const std::u16string& text);
std::u16string utf8_to_utf16(const std::string& text);
// Decodes modified UTF-8; false when the bytes are not valid modified UTF-8 (then `out` holds a decoding
// with U+FFFD for the bad bytes).
bool decode_modified_utf8(const char* bytes, std::u16string& out);
std::string encode_modified_utf8(const std::u16string& text);

}  // namespace jvm_double
