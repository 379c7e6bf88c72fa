#pragma once
// Internal object model of the JVM double: classes, objects, references, threads and held pointers.
// Not for tests: they use jvm_double.h.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "doubles/jvm/jvm_double.h"

namespace jvm_double {

// Records one violation (list + handler).
void report_violation(const std::string& text);

struct ClassInfo;
struct FieldInfo;

struct Object {
    enum class Kind { plain, string, object_array, byte_array, class_object };
    Kind kind = Kind::plain;
    ClassInfo* cls = nullptr;
    std::u16string text;  // strings; the message of throwables
    bool has_message = false;
    std::vector<Object*> elements;  // object arrays
    std::vector<jbyte> bytes;       // byte arrays
    std::map<const FieldInfo*, jint> ints;
    ClassInfo* represented = nullptr;  // class objects
};

struct MethodInfo {
    ClassInfo* owner = nullptr;
    std::string name;
    std::string descriptor;
    bool is_static = false;
    MethodBody body;
    std::vector<std::string> arg_types;  // one descriptor per argument
    std::string return_type;
};

struct FieldInfo {
    ClassInfo* owner = nullptr;
    std::string name;
    std::string descriptor;
};

struct ClassInfo {
    std::string name;  // internal form
    ClassInfo* super = nullptr;
    Object* class_object = nullptr;
    std::vector<std::unique_ptr<MethodInfo>> methods;
    std::vector<std::unique_ptr<FieldInfo>> fields;
};

struct ThreadState;
struct Frame;

enum class RefKind { local, global };

struct Ref {
    Object* obj = nullptr;
    RefKind kind = RefKind::local;
    ThreadState* owner = nullptr;  // locals only
    Frame* frame = nullptr;        // locals only, valid while live
    bool live = true;
};

struct Frame {
    bool checked = false;  // native code runs in checked frames, Java code in unchecked ones
    std::size_t capacity = 16;
    std::size_t live = 0;
    bool over_reported = false;
    bool native_call = false;  // pushed by a native method call (call_native)
    std::vector<Ref*> refs;
};

struct HeldPointer {
    enum class Kind { byte_elements, string_utf, string_chars, critical };
    Kind kind = Kind::byte_elements;
    Object* obj = nullptr;
    char* buffer = nullptr;
    std::size_t size = 0;  // bytes of payload (guard bytes follow)
    bool released = false;
    ThreadState* owner = nullptr;
    int native_depth = 0;  // the thread's native call depth when it was taken
};

struct EnvBlock {
    const JNINativeInterface_* functions = nullptr;
    ThreadState* thread = nullptr;
};

struct ThreadState {
    EnvBlock env;  // first member: JNIEnv* points here
    Vm::Impl* impl = nullptr;
    DWORD id = 0;
    bool daemon = false;
    bool attached = true;
    std::string name;
    std::vector<std::unique_ptr<Frame>> frames;
    Object* pending = nullptr;
    int native_depth = 0;
    int java_depth = 0;  // Java method bodies running on the thread
};

struct VmBlock {
    const JNIInvokeInterface_* functions = nullptr;
    Vm::Impl* impl = nullptr;
};

// Guard bytes written after every buffer handed out, checked on release.
constexpr std::size_t kGuardBytes = 16;
constexpr unsigned char kGuardByte = 0xFD;

struct Vm::Impl {
    Vm* owner = nullptr;
    VmBlock block;  // JavaVM* points here
    VmOptions options;
    mutable std::recursive_mutex mutex;
    std::condition_variable_any changed;
    bool destroyed = false;

    std::map<std::string, std::unique_ptr<ClassInfo>> classes;
    std::vector<std::unique_ptr<Object>> objects;
    std::vector<std::unique_ptr<Ref>> ref_store;
    std::unordered_set<const void*> refs;  // every Ref ever made, for validity checks
    std::size_t live_globals = 0;
    std::vector<std::unique_ptr<HeldPointer>> held;
    std::vector<std::unique_ptr<ThreadState>> thread_store;
    std::unordered_set<const void*> envs;  // every EnvBlock ever made
    std::map<DWORD, ThreadState*> attached;
    int starting_threads = 0;  // started by start_thread, not yet attached
    int refused_attaches = 0;  // AttachCurrentThread calls still to refuse
    std::vector<HANDLE> java_threads;
    TextHandler trace;

    // ---- under `mutex` ----
    ClassInfo* find_class(const std::string& name);  // also makes array classes on demand
    ClassInfo* add_class(const std::string& name, ClassInfo* super);
    Object* new_object(ClassInfo* cls, Object::Kind kind = Object::Kind::plain);
    Object* new_string(const std::u16string& text);
    Object* new_throwable(const std::string& class_name, const std::u16string* message);
    bool is_throwable(const ClassInfo* cls) const;
    static bool is_subclass(const ClassInfo* cls, const ClassInfo* base);
    bool fits_type(const Object* obj, const std::string& descriptor);

    ThreadState* current_thread();  // null when the calling thread is not attached
    ThreadState* attach(DWORD id, bool daemon, bool java, const std::string& name);
    void detach(ThreadState* thread);
    int non_daemon_count(const ThreadState* except) const;

    jobject make_local(ThreadState* thread, Object* obj, const char* where);
    jobject make_global(Object* obj);
    // Resolves a reference used by `thread`; null when `ref` is null or invalid (invalid: a violation).
    Object* resolve(ThreadState* thread, jobject ref, const char* where, bool null_allowed);
    void kill_ref(Ref* ref);
    Frame* push_frame(ThreadState* thread, bool checked, std::size_t capacity);
    void pop_frame(ThreadState* thread);
    void check_capacity(ThreadState* thread, Frame* frame, const char* where);

    char* hold(ThreadState* thread, HeldPointer::Kind kind, Object* obj, const void* data, std::size_t size);
    HeldPointer* find_held(const void* buffer);
    void report_held(const std::string& when, ThreadState* only_thread, int min_depth);

    void set_pending(ThreadState* thread, const std::string& class_name, const std::string& message);

    // Runs a Java method body on `thread`. Unlocks `lock` while the body runs.
    jvalue invoke(std::unique_lock<std::recursive_mutex>& lock, ThreadState* thread, MethodInfo* method, Object* target,
                  const std::vector<jvalue>& args);

    void emit(const std::string& line);  // trace

    // Waits for the other non-daemon threads (timeout_ms INFINITE: no bound), then reports leftovers.
    void destroy(std::unique_lock<std::recursive_mutex>& lock, DWORD timeout_ms);
};

// The function tables.
const JNINativeInterface_* env_functions();
const JNIInvokeInterface_* invoke_functions();

// Parses "(args)ret" into argument descriptors and the return descriptor; false when malformed.
bool parse_method_descriptor(const std::string& descriptor, std::vector<std::string>& args, std::string& ret);

// The thread's env as JNIEnv*.
inline JNIEnv* as_env(ThreadState* thread) { return reinterpret_cast<JNIEnv*>(&thread->env); }

}  // namespace jvm_double
