// The JNIEnv function table of the JVM double: every function checks its env, its thread and the
// pending exception before it acts, and reports misuse as a violation.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "doubles/jvm/model.h"

namespace jvm_double {
namespace {

// ---- The entry check of every JNI function ----

class Call {
public:
    Call(JNIEnv* env, const char* name, bool allowed_with_pending = false) : name_(name) {
        if (env == nullptr) {
            report_violation(std::string(name) + ": null JNIEnv");
            return;
        }
        thread_ = reinterpret_cast<EnvBlock*>(env)->thread;
        impl_ = thread_->impl;
        lock_ = std::unique_lock<std::recursive_mutex>(impl_->mutex);
        if (impl_->destroyed) {
            fail("called after the VM was destroyed");
        } else if (!thread_->attached) {
            fail("env of a thread that has detached");
        } else if (thread_->id != GetCurrentThreadId()) {
            fail("env of thread " + thread_->name + " used on another thread");
        } else if (thread_->pending != nullptr && !allowed_with_pending) {
            fail("called with a Java exception pending (" + thread_->pending->cls->name + ")");
        } else {
            ok_ = true;
        }
    }

    explicit operator bool() const { return ok_; }
    Vm::Impl& impl() { return *impl_; }
    ThreadState* thread() { return thread_; }
    std::unique_lock<std::recursive_mutex>& lock() { return lock_; }
    const char* name() const { return name_; }

    void fail(const std::string& what) {
        ok_ = false;
        report_violation(std::string(name_) + ": " + what);
    }
    void trace(const std::string& detail = "") {
        if (impl_->trace) impl_->emit(detail.empty() ? std::string(name_) : std::string(name_) + " " + detail);
    }
    // The object behind a reference of this thread; null for null or invalid (the latter a violation).
    Object* object(jobject ref, bool null_allowed = false) { return impl_->resolve(thread_, ref, name_, null_allowed); }
    ClassInfo* class_of(jclass ref) {
        Object* obj = object(ref);
        if (obj == nullptr) return nullptr;
        if (obj->kind != Object::Kind::class_object) {
            fail("a " + obj->cls->name + " passed where a class is required");
            return nullptr;
        }
        return obj->represented;
    }
    jobject local(Object* obj) { return impl_->make_local(thread_, obj, name_); }
    void throw_java(const std::string& class_name, const std::string& message) {
        impl_->set_pending(thread_, class_name, message);
    }

private:
    const char* name_;
    ThreadState* thread_ = nullptr;
    Vm::Impl* impl_ = nullptr;
    std::unique_lock<std::recursive_mutex> lock_;
    bool ok_ = false;
};

std::string text_of(const char* modified_utf8) {
    if (modified_utf8 == nullptr) return "(null)";
    std::u16string text;
    decode_modified_utf8(modified_utf8, text);
    return utf16_to_utf8(text);
}

// Checks a modified UTF-8 argument; reports bad bytes and returns the decoding anyway.
std::u16string checked_utf(Call& c, const char* bytes, const char* what) {
    std::u16string text;
    if (!decode_modified_utf8(bytes, text)) c.fail(std::string(what) + " is not valid modified UTF-8");
    return text;
}

// ---- Version, classes ----

jint JNICALL GetVersion(JNIEnv* env) {
    Call c(env, "GetVersion");
    return c ? JNI_VERSION_1_4 : JNI_ERR;
}

jclass JNICALL FindClass(JNIEnv* env, const char* name) {
    Call c(env, "FindClass");
    if (!c) return nullptr;
    if (name == nullptr) {
        c.fail("null class name");
        return nullptr;
    }
    std::string internal = utf16_to_utf8(checked_utf(c, name, "the class name"));
    c.trace(internal);
    if (internal.find('.') != std::string::npos) c.fail("dotted class name " + internal + " (FindClass wants slashes)");
    ClassInfo* cls = c.impl().find_class(internal);
    if (cls == nullptr) {
        c.throw_java("java/lang/NoClassDefFoundError", internal);
        return nullptr;
    }
    return static_cast<jclass>(c.local(cls->class_object));
}

jclass JNICALL GetSuperclass(JNIEnv* env, jclass sub) {
    Call c(env, "GetSuperclass");
    if (!c) return nullptr;
    ClassInfo* cls = c.class_of(sub);
    if (cls == nullptr || cls->super == nullptr) return nullptr;
    return static_cast<jclass>(c.local(cls->super->class_object));
}

jboolean JNICALL IsAssignableFrom(JNIEnv* env, jclass sub, jclass sup) {
    Call c(env, "IsAssignableFrom");
    if (!c) return JNI_FALSE;
    ClassInfo* a = c.class_of(sub);
    ClassInfo* b = c.class_of(sup);
    return a != nullptr && b != nullptr && Vm::Impl::is_subclass(a, b) ? JNI_TRUE : JNI_FALSE;
}

// ---- Exceptions ----

jint JNICALL Throw(JNIEnv* env, jthrowable obj) {
    Call c(env, "Throw");
    if (!c) return JNI_ERR;
    Object* t = c.object(obj);
    if (t == nullptr) return JNI_ERR;
    if (!c.impl().is_throwable(t->cls)) {
        c.fail(t->cls->name + " is not a Throwable");
        return JNI_ERR;
    }
    c.trace(t->cls->name);
    c.thread()->pending = t;
    return JNI_OK;
}

jint JNICALL ThrowNew(JNIEnv* env, jclass clazz, const char* msg) {
    Call c(env, "ThrowNew");
    if (!c) return JNI_ERR;
    ClassInfo* cls = c.class_of(clazz);
    if (cls == nullptr) return JNI_ERR;
    if (!c.impl().is_throwable(cls)) {
        c.fail(cls->name + " is not a Throwable class");
        return JNI_ERR;
    }
    c.trace(cls->name + " " + text_of(msg));
    std::u16string text;
    if (msg != nullptr) text = checked_utf(c, msg, "the message");
    c.thread()->pending = c.impl().new_throwable(cls->name, msg != nullptr ? &text : nullptr);
    return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
    Call c(env, "ExceptionOccurred", true);
    if (!c) return nullptr;
    c.trace(c.thread()->pending ? c.thread()->pending->cls->name : "none");
    return static_cast<jthrowable>(c.local(c.thread()->pending));
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
    Call c(env, "ExceptionDescribe", true);
    if (!c) return;
    Object* t = c.thread()->pending;
    std::string text = t == nullptr ? "none" : t->cls->name + (t->has_message ? ": " + utf16_to_utf8(t->text) : "");
    c.trace(text);
    if (t != nullptr) {
        std::fprintf(stderr, "Exception in thread \"%s\" %s\n", c.thread()->name.c_str(), text.c_str());
        std::fflush(stderr);
    }
    c.thread()->pending = nullptr;  // describing clears, as a real VM does
}

void JNICALL ExceptionClear(JNIEnv* env) {
    Call c(env, "ExceptionClear", true);
    if (!c) return;
    c.trace();
    c.thread()->pending = nullptr;
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
    Call c(env, "ExceptionCheck", true);
    if (!c) return JNI_FALSE;
    return c.thread()->pending != nullptr ? JNI_TRUE : JNI_FALSE;
}

void JNICALL FatalError(JNIEnv* env, const char* msg) {
    Call c(env, "FatalError", true);
    report_violation(std::string("FatalError: ") + text_of(msg));
    TerminateProcess(GetCurrentProcess(), 134);
}

// ---- References ----

jint JNICALL PushLocalFrame(JNIEnv* env, jint capacity) {
    Call c(env, "PushLocalFrame", true);
    if (!c) return JNI_ERR;
    if (capacity < 0) {
        c.fail("negative capacity");
        return JNI_ERR;
    }
    c.impl().push_frame(c.thread(), true, static_cast<std::size_t>(capacity));
    return JNI_OK;
}

jobject JNICALL PopLocalFrame(JNIEnv* env, jobject result) {
    Call c(env, "PopLocalFrame", true);
    if (!c) return nullptr;
    ThreadState* t = c.thread();
    Frame* top = t->frames.back().get();
    if (t->frames.size() == 1 || top->native_call) {
        c.fail("no frame pushed by PushLocalFrame to pop");
        return nullptr;
    }
    Object* obj = c.object(result, true);
    c.impl().pop_frame(t);
    return c.local(obj);
}

jobject JNICALL NewGlobalRef(JNIEnv* env, jobject lobj) {
    Call c(env, "NewGlobalRef");
    if (!c) return nullptr;
    Object* obj = c.object(lobj, true);
    c.trace(obj ? obj->cls->name : "null");
    return c.impl().make_global(obj);
}

void JNICALL DeleteGlobalRef(JNIEnv* env, jobject gref) {
    Call c(env, "DeleteGlobalRef", true);
    if (!c || gref == nullptr) return;
    c.trace();
    if (c.impl().refs.count(gref) == 0) {
        c.fail("not a reference this VM made");
        return;
    }
    Ref* ref = reinterpret_cast<Ref*>(gref);
    if (ref->kind != RefKind::global) {
        c.fail("a local reference passed");
        return;
    }
    if (!ref->live) {
        c.fail("global reference deleted twice");
        return;
    }
    c.impl().kill_ref(ref);
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject obj) {
    Call c(env, "DeleteLocalRef", true);
    if (!c || obj == nullptr) return;
    if (c.impl().refs.count(obj) == 0) {
        c.fail("not a reference this VM made");
        return;
    }
    Ref* ref = reinterpret_cast<Ref*>(obj);
    if (ref->kind != RefKind::local) {
        c.fail("a global reference passed");
        return;
    }
    if (!ref->live) {
        c.fail("local reference deleted twice or after its frame ended");
        return;
    }
    if (ref->owner != c.thread()) {
        c.fail("local reference of another thread");
        return;
    }
    c.impl().kill_ref(ref);
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject obj1, jobject obj2) {
    Call c(env, "IsSameObject");
    if (!c) return JNI_FALSE;
    return c.object(obj1, true) == c.object(obj2, true) ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject ref) {
    Call c(env, "NewLocalRef");
    if (!c) return nullptr;
    return c.local(c.object(ref, true));
}

jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint capacity) {
    Call c(env, "EnsureLocalCapacity");
    if (!c) return JNI_ERR;
    if (capacity < 0) {
        c.fail("negative capacity");
        return JNI_ERR;
    }
    c.trace(std::to_string(capacity));
    Frame* frame = c.thread()->frames.back().get();
    frame->capacity = std::max(frame->capacity, frame->live + static_cast<std::size_t>(capacity));
    return JNI_OK;
}

jobjectRefType JNICALL GetObjectRefType(JNIEnv* env, jobject obj) {
    Call c(env, "GetObjectRefType");
    if (!c || obj == nullptr || c.impl().refs.count(obj) == 0) return JNIInvalidRefType;
    Ref* ref = reinterpret_cast<Ref*>(obj);
    if (!ref->live) return JNIInvalidRefType;
    return ref->kind == RefKind::global ? JNIGlobalRefType : JNILocalRefType;
}

// ---- Objects and classes of objects ----

jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj) {
    Call c(env, "GetObjectClass");
    if (!c) return nullptr;
    Object* o = c.object(obj);
    return o == nullptr ? nullptr : static_cast<jclass>(c.local(o->cls->class_object));
}

jboolean JNICALL IsInstanceOf(JNIEnv* env, jobject obj, jclass clazz) {
    Call c(env, "IsInstanceOf");
    if (!c) return JNI_FALSE;
    Object* o = c.object(obj, true);
    ClassInfo* cls = c.class_of(clazz);
    if (o == nullptr) return JNI_TRUE;  // null is an instance of every class
    return cls != nullptr && Vm::Impl::is_subclass(o->cls, cls) ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL AllocObject(JNIEnv* env, jclass clazz) {
    Call c(env, "AllocObject");
    if (!c) return nullptr;
    ClassInfo* cls = c.class_of(clazz);
    if (cls == nullptr) return nullptr;
    return c.local(c.impl().new_object(cls));
}

// ---- Methods ----

MethodInfo* find_method(ClassInfo* cls, const std::string& name, const std::string& sig, bool is_static) {
    for (; cls != nullptr; cls = cls->super) {
        for (const auto& m : cls->methods) {
            if (m->name == name && m->descriptor == sig && m->is_static == is_static) return m.get();
        }
        if (is_static) break;  // static methods are looked up in the class itself here
    }
    return nullptr;
}

jmethodID method_id(JNIEnv* env, const char* fn, jclass clazz, const char* name, const char* sig, bool is_static) {
    Call c(env, fn);
    if (!c) return nullptr;
    ClassInfo* cls = c.class_of(clazz);
    if (cls == nullptr) return nullptr;
    if (name == nullptr || sig == nullptr) {
        c.fail("null name or descriptor");
        return nullptr;
    }
    std::string n = text_of(name);
    std::string s = text_of(sig);
    c.trace(n + " " + s);
    std::vector<std::string> args;
    std::string ret;
    if (!parse_method_descriptor(s, args, ret)) c.fail("malformed method descriptor " + s);
    MethodInfo* m = find_method(cls, n, s, is_static);
    if (m == nullptr) {
        c.throw_java("java/lang/NoSuchMethodError", n);
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(m);
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    return method_id(env, "GetMethodID", clazz, name, sig, false);
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    return method_id(env, "GetStaticMethodID", clazz, name, sig, true);
}

// Where the arguments of a call come from.
struct ArgSource {
    va_list* list = nullptr;
    const jvalue* array = nullptr;
};

jvalue next_arg(const std::string& type, ArgSource& src, std::size_t i) {
    if (src.array != nullptr) return src.array[i];
    jvalue v{};
    switch (type[0]) {
        case 'Z':
            v.z = static_cast<jboolean>(va_arg(*src.list, int));
            break;
        case 'B':
            v.b = static_cast<jbyte>(va_arg(*src.list, int));
            break;
        case 'C':
            v.c = static_cast<jchar>(va_arg(*src.list, int));
            break;
        case 'S':
            v.s = static_cast<jshort>(va_arg(*src.list, int));
            break;
        case 'I':
            v.i = va_arg(*src.list, jint);
            break;
        case 'J':
            v.j = va_arg(*src.list, jlong);
            break;
        case 'F':
            v.f = static_cast<jfloat>(va_arg(*src.list, double));
            break;
        case 'D':
            v.d = va_arg(*src.list, double);
            break;
        default:
            v.l = va_arg(*src.list, jobject);
            break;
    }
    return v;
}

// One Call<Type>Method / CallStatic<Type>Method / NewObject in all three argument forms.
jvalue call_method(JNIEnv* env, const char* fn, jobject target, jmethodID mid, ArgSource src, char want_return,
                   bool want_static, bool constructor = false) {
    Call c(env, fn);
    if (!c) return jvalue{};
    if (mid == nullptr) {
        c.fail("null method ID");
        return jvalue{};
    }
    auto* m = reinterpret_cast<MethodInfo*>(mid);
    c.trace(m->owner->name + "." + m->name + " " + m->descriptor);
    Object* t = c.object(target);
    if (t == nullptr) return jvalue{};
    if (m->is_static != want_static) {
        c.fail(std::string(want_static ? "instance" : "static") + " method " + m->name + " called through " + fn);
        return jvalue{};
    }
    Object* self = t;
    if (want_static || constructor) {
        if (t->kind != Object::Kind::class_object) {
            c.fail("an object passed where the class is required");
            return jvalue{};
        }
        if (want_static && !Vm::Impl::is_subclass(t->represented, m->owner)) {
            c.fail("static method " + m->name + " called on class " + t->represented->name);
            return jvalue{};
        }
        if (constructor) {
            if (m->name != "<init>" || m->return_type != "V") {
                c.fail("method " + m->name + " is not a constructor");
                return jvalue{};
            }
            self = c.impl().new_object(t->represented);
        } else {
            self = t->represented->class_object;
        }
    } else if (!Vm::Impl::is_subclass(t->cls, m->owner)) {
        c.fail("method " + m->owner->name + "." + m->name + " called on a " + t->cls->name);
        return jvalue{};
    }
    char ret = m->return_type[0] == '[' ? 'L' : m->return_type[0];
    if (!constructor && ret != want_return) {
        c.fail("method " + m->name + " returns " + m->return_type + ", not the type of " + fn);
    }
    std::vector<jvalue> args;
    for (std::size_t i = 0; i < m->arg_types.size(); ++i) {
        jvalue v = next_arg(m->arg_types[i], src, i);
        const std::string& type = m->arg_types[i];
        if (type[0] == 'L' || type[0] == '[') {
            Object* arg = c.object(v.l, true);
            if (!c.impl().fits_type(arg, type)) {
                c.fail("argument " + std::to_string(i) + " of " + m->name + " is a " + arg->cls->name + ", not " +
                       type);
                return jvalue{};
            }
        }
        args.push_back(v);
    }
    jvalue result = c.impl().invoke(c.lock(), c.thread(), m, self, args);
    if (constructor) result.l = c.thread()->pending != nullptr ? nullptr : c.local(self);
    return result;
}

jobject JNICALL NewObject(JNIEnv* env, jclass clazz, jmethodID mid, ...) {
    va_list ap;
    va_start(ap, mid);
    ArgSource src;
    src.list = &ap;
    jvalue r = call_method(env, "NewObject", clazz, mid, src, 'V', false, true);
    va_end(ap);
    return r.l;
}
jobject JNICALL NewObjectV(JNIEnv* env, jclass clazz, jmethodID mid, va_list ap) {
    ArgSource src;
    src.list = &ap;
    return call_method(env, "NewObjectV", clazz, mid, src, 'V', false, true).l;
}
jobject JNICALL NewObjectA(JNIEnv* env, jclass clazz, jmethodID mid, const jvalue* args) {
    ArgSource src;
    src.array = args;
    return call_method(env, "NewObjectA", clazz, mid, src, 'V', false, true).l;
}

#define ZEPHRA_CALL_FAMILY(Type, jtype, code, member)                                                     \
    jtype JNICALL Call##Type##Method(JNIEnv* env, jobject obj, jmethodID mid, ...) {                      \
        va_list ap;                                                                                       \
        va_start(ap, mid);                                                                                \
        ArgSource src;                                                                                    \
        src.list = &ap;                                                                                   \
        jvalue r = call_method(env, "Call" #Type "Method", obj, mid, src, code, false);                   \
        va_end(ap);                                                                                       \
        return r.member;                                                                                  \
    }                                                                                                     \
    jtype JNICALL Call##Type##MethodV(JNIEnv* env, jobject obj, jmethodID mid, va_list ap) {              \
        ArgSource src;                                                                                    \
        src.list = &ap;                                                                                   \
        return call_method(env, "Call" #Type "MethodV", obj, mid, src, code, false).member;               \
    }                                                                                                     \
    jtype JNICALL Call##Type##MethodA(JNIEnv* env, jobject obj, jmethodID mid, const jvalue* args) {      \
        ArgSource src;                                                                                    \
        src.array = args;                                                                                 \
        return call_method(env, "Call" #Type "MethodA", obj, mid, src, code, false).member;               \
    }                                                                                                     \
    jtype JNICALL CallStatic##Type##Method(JNIEnv* env, jclass cls, jmethodID mid, ...) {                 \
        va_list ap;                                                                                       \
        va_start(ap, mid);                                                                                \
        ArgSource src;                                                                                    \
        src.list = &ap;                                                                                   \
        jvalue r = call_method(env, "CallStatic" #Type "Method", cls, mid, src, code, true);              \
        va_end(ap);                                                                                       \
        return r.member;                                                                                  \
    }                                                                                                     \
    jtype JNICALL CallStatic##Type##MethodV(JNIEnv* env, jclass cls, jmethodID mid, va_list ap) {         \
        ArgSource src;                                                                                    \
        src.list = &ap;                                                                                   \
        return call_method(env, "CallStatic" #Type "MethodV", cls, mid, src, code, true).member;          \
    }                                                                                                     \
    jtype JNICALL CallStatic##Type##MethodA(JNIEnv* env, jclass cls, jmethodID mid, const jvalue* args) { \
        ArgSource src;                                                                                    \
        src.array = args;                                                                                 \
        return call_method(env, "CallStatic" #Type "MethodA", cls, mid, src, code, true).member;          \
    }

ZEPHRA_CALL_FAMILY(Object, jobject, 'L', l)
ZEPHRA_CALL_FAMILY(Boolean, jboolean, 'Z', z)
ZEPHRA_CALL_FAMILY(Byte, jbyte, 'B', b)
ZEPHRA_CALL_FAMILY(Char, jchar, 'C', c)
ZEPHRA_CALL_FAMILY(Short, jshort, 'S', s)
ZEPHRA_CALL_FAMILY(Int, jint, 'I', i)
ZEPHRA_CALL_FAMILY(Long, jlong, 'J', j)
ZEPHRA_CALL_FAMILY(Float, jfloat, 'F', f)
ZEPHRA_CALL_FAMILY(Double, jdouble, 'D', d)
#undef ZEPHRA_CALL_FAMILY

void JNICALL CallVoidMethod(JNIEnv* env, jobject obj, jmethodID mid, ...) {
    va_list ap;
    va_start(ap, mid);
    ArgSource src;
    src.list = &ap;
    call_method(env, "CallVoidMethod", obj, mid, src, 'V', false);
    va_end(ap);
}
void JNICALL CallVoidMethodV(JNIEnv* env, jobject obj, jmethodID mid, va_list ap) {
    ArgSource src;
    src.list = &ap;
    call_method(env, "CallVoidMethodV", obj, mid, src, 'V', false);
}
void JNICALL CallVoidMethodA(JNIEnv* env, jobject obj, jmethodID mid, const jvalue* args) {
    ArgSource src;
    src.array = args;
    call_method(env, "CallVoidMethodA", obj, mid, src, 'V', false);
}
void JNICALL CallStaticVoidMethod(JNIEnv* env, jclass cls, jmethodID mid, ...) {
    va_list ap;
    va_start(ap, mid);
    ArgSource src;
    src.list = &ap;
    call_method(env, "CallStaticVoidMethod", cls, mid, src, 'V', true);
    va_end(ap);
}
void JNICALL CallStaticVoidMethodV(JNIEnv* env, jclass cls, jmethodID mid, va_list ap) {
    ArgSource src;
    src.list = &ap;
    call_method(env, "CallStaticVoidMethodV", cls, mid, src, 'V', true);
}
void JNICALL CallStaticVoidMethodA(JNIEnv* env, jclass cls, jmethodID mid, const jvalue* args) {
    ArgSource src;
    src.array = args;
    call_method(env, "CallStaticVoidMethodA", cls, mid, src, 'V', true);
}

// ---- Fields ----

jfieldID JNICALL GetFieldID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    Call c(env, "GetFieldID");
    if (!c) return nullptr;
    ClassInfo* cls = c.class_of(clazz);
    if (cls == nullptr) return nullptr;
    if (name == nullptr || sig == nullptr) {
        c.fail("null name or descriptor");
        return nullptr;
    }
    std::string n = text_of(name);
    std::string s = text_of(sig);
    c.trace(n + " " + s);
    for (ClassInfo* k = cls; k != nullptr; k = k->super) {
        for (const auto& f : k->fields) {
            if (f->name == n && f->descriptor == s) return reinterpret_cast<jfieldID>(f.get());
        }
    }
    c.throw_java("java/lang/NoSuchFieldError", n);
    return nullptr;
}

const FieldInfo* int_field_of(Call& c, Object* obj, jfieldID id) {
    if (obj == nullptr) return nullptr;
    if (id == nullptr) {
        c.fail("null field ID");
        return nullptr;
    }
    auto* f = reinterpret_cast<const FieldInfo*>(id);
    if (f->descriptor != "I") {
        c.fail("field " + f->name + " is not an int field");
        return nullptr;
    }
    if (!Vm::Impl::is_subclass(obj->cls, f->owner)) {
        c.fail("field " + f->owner->name + "." + f->name + " used on a " + obj->cls->name);
        return nullptr;
    }
    return f;
}

jint JNICALL GetIntField(JNIEnv* env, jobject obj, jfieldID id) {
    Call c(env, "GetIntField");
    if (!c) return 0;
    Object* o = c.object(obj);
    const FieldInfo* f = int_field_of(c, o, id);
    return f == nullptr ? 0 : o->ints[f];
}

void JNICALL SetIntField(JNIEnv* env, jobject obj, jfieldID id, jint val) {
    Call c(env, "SetIntField");
    if (!c) return;
    Object* o = c.object(obj);
    const FieldInfo* f = int_field_of(c, o, id);
    if (f != nullptr) {
        c.trace(f->name + " " + std::to_string(val));
        o->ints[f] = val;
    }
}

// ---- Strings ----

Object* string_of(Call& c, jstring str) {
    Object* o = c.object(str);
    if (o != nullptr && o->kind != Object::Kind::string) {
        c.fail("a " + o->cls->name + " passed where a String is required");
        return nullptr;
    }
    return o;
}

jstring JNICALL NewString(JNIEnv* env, const jchar* unicode, jsize len) {
    Call c(env, "NewString");
    if (!c) return nullptr;
    if (len < 0 || (unicode == nullptr && len != 0)) {
        c.fail("null characters or a negative length");
        return nullptr;
    }
    std::u16string text(reinterpret_cast<const char16_t*>(unicode), static_cast<std::size_t>(len));
    c.trace(utf16_to_utf8(text));
    return static_cast<jstring>(c.local(c.impl().new_string(text)));
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
    Call c(env, "NewStringUTF");
    if (!c) return nullptr;
    if (utf == nullptr) return nullptr;  // a real VM returns null for null
    std::u16string text = checked_utf(c, utf, "the text");
    c.trace(utf16_to_utf8(text));
    return static_cast<jstring>(c.local(c.impl().new_string(text)));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring str) {
    Call c(env, "GetStringLength");
    if (!c) return 0;
    Object* s = string_of(c, str);
    return s == nullptr ? 0 : static_cast<jsize>(s->text.size());
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str) {
    Call c(env, "GetStringUTFLength");
    if (!c) return 0;
    Object* s = string_of(c, str);
    return s == nullptr ? 0 : static_cast<jsize>(encode_modified_utf8(s->text).size());
}

const jchar* JNICALL GetStringChars(JNIEnv* env, jstring str, jboolean* isCopy) {
    Call c(env, "GetStringChars");
    if (!c) return nullptr;
    Object* s = string_of(c, str);
    if (s == nullptr) return nullptr;
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    std::u16string copy = s->text + u'\0';
    return reinterpret_cast<const jchar*>(
        c.impl().hold(c.thread(), HeldPointer::Kind::string_chars, s, copy.data(), copy.size() * sizeof(char16_t)));
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
    Call c(env, "GetStringUTFChars");
    if (!c) return nullptr;
    Object* s = string_of(c, str);
    if (s == nullptr) return nullptr;
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    std::string copy = encode_modified_utf8(s->text);
    return c.impl().hold(c.thread(), HeldPointer::Kind::string_utf, s, copy.c_str(), copy.size() + 1);
}

// Releases a held pointer: checks it, its kind, its object and its guard bytes; copies back if asked.
void release_held(Call& c, jobject ref, const void* buffer, HeldPointer::Kind kind, jint mode, bool copy_back) {
    Object* obj = c.object(ref);
    if (buffer == nullptr) {
        c.fail("null pointer released");
        return;
    }
    HeldPointer* h = c.impl().find_held(buffer);
    if (h == nullptr) {
        c.fail("a pointer this VM never handed out");
        return;
    }
    if (h->kind != kind) {
        c.fail("pointer released through the wrong Release function");
        return;
    }
    if (h->released) {
        c.fail("pointer released twice");
        return;
    }
    if (obj != nullptr && obj != h->obj) c.fail("pointer released with another object than it came from");
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (static_cast<unsigned char>(h->buffer[h->size + i]) != kGuardByte) {
            c.fail("native code wrote past the end of the buffer");
            break;
        }
    }
    if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) c.fail("unknown release mode " + std::to_string(mode));
    if (copy_back && mode != JNI_ABORT && h->obj->kind == Object::Kind::byte_array) {
        std::memcpy(h->obj->bytes.data(), h->buffer, std::min(h->size, h->obj->bytes.size()));
    }
    if (mode != JNI_COMMIT) {
        h->released = true;
        std::memset(h->buffer, 0xDD, h->size);  // a late read sees garbage, not the data
    }
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring str, const jchar* chars) {
    Call c(env, "ReleaseStringChars", true);
    if (!c) return;
    release_held(c, str, chars, HeldPointer::Kind::string_chars, 0, false);
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
    Call c(env, "ReleaseStringUTFChars", true);
    if (!c) return;
    release_held(c, str, chars, HeldPointer::Kind::string_utf, 0, false);
}

void JNICALL GetStringRegion(JNIEnv* env, jstring str, jsize start, jsize len, jchar* buf) {
    Call c(env, "GetStringRegion");
    if (!c) return;
    Object* s = string_of(c, str);
    if (s == nullptr) return;
    if (start < 0 || len < 0 || static_cast<std::size_t>(start) + len > s->text.size()) {
        c.throw_java("java/lang/StringIndexOutOfBoundsException", "region");
        return;
    }
    if (len > 0) std::memcpy(buf, s->text.data() + start, static_cast<std::size_t>(len) * sizeof(jchar));
}

void JNICALL GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
    Call c(env, "GetStringUTFRegion");
    if (!c) return;
    Object* s = string_of(c, str);
    if (s == nullptr) return;
    if (start < 0 || len < 0 || static_cast<std::size_t>(start) + len > s->text.size()) {
        c.throw_java("java/lang/StringIndexOutOfBoundsException", "region");
        return;
    }
    std::string bytes = encode_modified_utf8(s->text.substr(static_cast<std::size_t>(start), len));
    std::memcpy(buf, bytes.c_str(), bytes.size() + 1);
}

// ---- Arrays ----

jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
    Call c(env, "GetArrayLength");
    if (!c) return 0;
    Object* a = c.object(array);
    if (a == nullptr) return 0;
    if (a->kind == Object::Kind::byte_array) return static_cast<jsize>(a->bytes.size());
    if (a->kind == Object::Kind::object_array) return static_cast<jsize>(a->elements.size());
    c.fail("a " + a->cls->name + " is not an array");
    return 0;
}

jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize len, jclass clazz, jobject init) {
    Call c(env, "NewObjectArray");
    if (!c) return nullptr;
    ClassInfo* element = c.class_of(clazz);
    if (element == nullptr) return nullptr;
    Object* first = c.object(init, true);
    c.trace(std::to_string(len) + " " + element->name);
    if (len < 0) {
        c.throw_java("java/lang/NegativeArraySizeException", std::to_string(len));
        return nullptr;
    }
    std::string array_name = element->name[0] == '[' ? "[" + element->name : "[L" + element->name + ";";
    if (first != nullptr && !Vm::Impl::is_subclass(first->cls, element)) {
        c.fail("initial element is a " + first->cls->name + ", not a " + element->name);
        return nullptr;
    }
    Object* array = c.impl().new_object(c.impl().find_class(array_name), Object::Kind::object_array);
    array->elements.assign(static_cast<std::size_t>(len), first);
    return static_cast<jobjectArray>(c.local(array));
}

Object* object_array_of(Call& c, jobjectArray array) {
    Object* a = c.object(array);
    if (a != nullptr && a->kind != Object::Kind::object_array) {
        c.fail("a " + a->cls->name + " passed where an object array is required");
        return nullptr;
    }
    return a;
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index) {
    Call c(env, "GetObjectArrayElement");
    if (!c) return nullptr;
    Object* a = object_array_of(c, array);
    if (a == nullptr) return nullptr;
    if (index < 0 || static_cast<std::size_t>(index) >= a->elements.size()) {
        c.throw_java("java/lang/ArrayIndexOutOfBoundsException", std::to_string(index));
        return nullptr;
    }
    return c.local(a->elements[static_cast<std::size_t>(index)]);
}

void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject val) {
    Call c(env, "SetObjectArrayElement");
    if (!c) return;
    Object* a = object_array_of(c, array);
    Object* v = c.object(val, true);
    if (a == nullptr) return;
    c.trace(std::to_string(index));
    if (index < 0 || static_cast<std::size_t>(index) >= a->elements.size()) {
        c.throw_java("java/lang/ArrayIndexOutOfBoundsException", std::to_string(index));
        return;
    }
    if (v != nullptr && !c.impl().fits_type(v, a->cls->name.substr(1))) {
        c.throw_java("java/lang/ArrayStoreException", v->cls->name);
        return;
    }
    a->elements[static_cast<std::size_t>(index)] = v;
}

jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize len) {
    Call c(env, "NewByteArray");
    if (!c) return nullptr;
    if (len < 0) {
        c.throw_java("java/lang/NegativeArraySizeException", std::to_string(len));
        return nullptr;
    }
    Object* a = c.impl().new_object(c.impl().find_class("[B"), Object::Kind::byte_array);
    a->bytes.assign(static_cast<std::size_t>(len), 0);
    return static_cast<jbyteArray>(c.local(a));
}

Object* byte_array_of(Call& c, jobject array) {
    Object* a = c.object(array);
    if (a != nullptr && a->kind != Object::Kind::byte_array) {
        c.fail("a " + a->cls->name + " passed where a byte[] is required");
        return nullptr;
    }
    return a;
}

jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
    Call c(env, "GetByteArrayElements");
    if (!c) return nullptr;
    Object* a = byte_array_of(c, array);
    if (a == nullptr) return nullptr;
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return reinterpret_cast<jbyte*>(
        c.impl().hold(c.thread(), HeldPointer::Kind::byte_elements, a, a->bytes.data(), a->bytes.size()));
}

void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode) {
    Call c(env, "ReleaseByteArrayElements", true);
    if (!c) return;
    c.trace("mode " + std::to_string(mode));
    if (byte_array_of(c, array) == nullptr) return;
    release_held(c, array, elems, HeldPointer::Kind::byte_elements, mode, true);
}

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray array, jboolean* isCopy) {
    Call c(env, "GetPrimitiveArrayCritical");
    if (!c) return nullptr;
    Object* a = byte_array_of(c, array);
    if (a == nullptr) return nullptr;
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return c.impl().hold(c.thread(), HeldPointer::Kind::critical, a, a->bytes.data(), a->bytes.size());
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray array, void* carray, jint mode) {
    Call c(env, "ReleasePrimitiveArrayCritical", true);
    if (!c) return;
    release_held(c, array, carray, HeldPointer::Kind::critical, mode, true);
}

bool region_ok(Call& c, Object* a, jsize start, jsize len, const void* buf) {
    if (start < 0 || len < 0 || static_cast<std::size_t>(start) + static_cast<std::size_t>(len) > a->bytes.size()) {
        c.throw_java(
            "java/lang/ArrayIndexOutOfBoundsException",
            "region " + std::to_string(start) + "+" + std::to_string(len) + " of " + std::to_string(a->bytes.size()));
        return false;
    }
    if (buf == nullptr && len > 0) {
        c.fail("null buffer");
        return false;
    }
    return true;
}

void JNICALL GetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize len, jbyte* buf) {
    Call c(env, "GetByteArrayRegion");
    if (!c) return;
    Object* a = byte_array_of(c, array);
    if (a == nullptr || !region_ok(c, a, start, len, buf)) return;
    if (len > 0) std::memcpy(buf, a->bytes.data() + start, static_cast<std::size_t>(len));
}

void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize len, const jbyte* buf) {
    Call c(env, "SetByteArrayRegion");
    if (!c) return;
    Object* a = byte_array_of(c, array);
    if (a == nullptr || !region_ok(c, a, start, len, buf)) return;
    if (len > 0) std::memcpy(a->bytes.data() + start, buf, static_cast<std::size_t>(len));
}

// ---- Monitors, the VM ----

jint JNICALL MonitorEnter(JNIEnv* env, jobject obj) {
    Call c(env, "MonitorEnter");
    if (!c) return JNI_ERR;
    return c.object(obj) != nullptr ? JNI_OK : JNI_ERR;
}

jint JNICALL MonitorExit(JNIEnv* env, jobject obj) {
    Call c(env, "MonitorExit", true);
    if (!c) return JNI_ERR;
    return c.object(obj) != nullptr ? JNI_OK : JNI_ERR;
}

jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm) {
    Call c(env, "GetJavaVM");
    if (!c) return JNI_ERR;
    if (vm == nullptr) {
        c.fail("null result pointer");
        return JNI_ERR;
    }
    *vm = reinterpret_cast<JavaVM*>(&c.impl().block);
    return JNI_OK;
}

// ---- Unimplemented slots ----

#include "doubles/jvm/jni_slot_names.inc"

constexpr std::size_t kSlotCount = sizeof(JNINativeInterface_) / sizeof(void*);

[[noreturn]] void unimplemented(std::size_t slot) {
    std::string name = slot < sizeof(kSlotNames) / sizeof(kSlotNames[0]) ? kSlotNames[slot] : "slot";
    report_violation("unimplemented JNIEnv function " + name + " (slot " + std::to_string(slot) +
                     ") called; ending the process");
    TerminateProcess(GetCurrentProcess(), 70);
    for (;;) Sleep(INFINITE);
}

template <std::size_t N>
void unimplemented_slot() {
    unimplemented(N);
}

template <std::size_t... N>
void fill_stubs(void** slots, std::index_sequence<N...>) {
    ((slots[N] = reinterpret_cast<void*>(&unimplemented_slot<N>)), ...);
}

JNINativeInterface_ make_table() {
    JNINativeInterface_ t;
    fill_stubs(reinterpret_cast<void**>(&t), std::make_index_sequence<kSlotCount>());
    t.reserved0 = t.reserved1 = t.reserved2 = t.reserved3 = nullptr;
#define ZEPHRA_SLOT(name) t.name = name;
    ZEPHRA_SLOT(GetVersion)
    ZEPHRA_SLOT(FindClass)
    ZEPHRA_SLOT(GetSuperclass)
    ZEPHRA_SLOT(IsAssignableFrom)
    ZEPHRA_SLOT(Throw)
    ZEPHRA_SLOT(ThrowNew)
    ZEPHRA_SLOT(ExceptionOccurred)
    ZEPHRA_SLOT(ExceptionDescribe)
    ZEPHRA_SLOT(ExceptionClear)
    ZEPHRA_SLOT(ExceptionCheck)
    ZEPHRA_SLOT(FatalError)
    ZEPHRA_SLOT(PushLocalFrame)
    ZEPHRA_SLOT(PopLocalFrame)
    ZEPHRA_SLOT(NewGlobalRef)
    ZEPHRA_SLOT(DeleteGlobalRef)
    ZEPHRA_SLOT(DeleteLocalRef)
    ZEPHRA_SLOT(IsSameObject)
    ZEPHRA_SLOT(NewLocalRef)
    ZEPHRA_SLOT(EnsureLocalCapacity)
    ZEPHRA_SLOT(GetObjectRefType)
    ZEPHRA_SLOT(AllocObject)
    ZEPHRA_SLOT(NewObject)
    ZEPHRA_SLOT(NewObjectV)
    ZEPHRA_SLOT(NewObjectA)
    ZEPHRA_SLOT(GetObjectClass)
    ZEPHRA_SLOT(IsInstanceOf)
    ZEPHRA_SLOT(GetMethodID)
    ZEPHRA_SLOT(GetStaticMethodID)
#define ZEPHRA_CALL_SLOTS(Type)            \
    ZEPHRA_SLOT(Call##Type##Method)        \
    ZEPHRA_SLOT(Call##Type##MethodV)       \
    ZEPHRA_SLOT(Call##Type##MethodA)       \
    ZEPHRA_SLOT(CallStatic##Type##Method)  \
    ZEPHRA_SLOT(CallStatic##Type##MethodV) \
    ZEPHRA_SLOT(CallStatic##Type##MethodA)
    // clang-format off
    ZEPHRA_CALL_SLOTS(Object)
    ZEPHRA_CALL_SLOTS(Boolean)
    ZEPHRA_CALL_SLOTS(Byte)
    ZEPHRA_CALL_SLOTS(Char)
    ZEPHRA_CALL_SLOTS(Short)
    ZEPHRA_CALL_SLOTS(Int)
    ZEPHRA_CALL_SLOTS(Long)
    ZEPHRA_CALL_SLOTS(Float)
    ZEPHRA_CALL_SLOTS(Double)
    ZEPHRA_CALL_SLOTS(Void)
    // clang-format on
#undef ZEPHRA_CALL_SLOTS
    ZEPHRA_SLOT(GetFieldID)
    ZEPHRA_SLOT(GetIntField)
    ZEPHRA_SLOT(SetIntField)
    ZEPHRA_SLOT(NewString)
    ZEPHRA_SLOT(GetStringLength)
    ZEPHRA_SLOT(GetStringChars)
    ZEPHRA_SLOT(ReleaseStringChars)
    ZEPHRA_SLOT(NewStringUTF)
    ZEPHRA_SLOT(GetStringUTFLength)
    ZEPHRA_SLOT(GetStringUTFChars)
    ZEPHRA_SLOT(ReleaseStringUTFChars)
    ZEPHRA_SLOT(GetStringRegion)
    ZEPHRA_SLOT(GetStringUTFRegion)
    ZEPHRA_SLOT(GetArrayLength)
    ZEPHRA_SLOT(NewObjectArray)
    ZEPHRA_SLOT(GetObjectArrayElement)
    ZEPHRA_SLOT(SetObjectArrayElement)
    ZEPHRA_SLOT(NewByteArray)
    ZEPHRA_SLOT(GetByteArrayElements)
    ZEPHRA_SLOT(ReleaseByteArrayElements)
    ZEPHRA_SLOT(GetByteArrayRegion)
    ZEPHRA_SLOT(SetByteArrayRegion)
    ZEPHRA_SLOT(GetPrimitiveArrayCritical)
    ZEPHRA_SLOT(ReleasePrimitiveArrayCritical)
    ZEPHRA_SLOT(MonitorEnter)
    ZEPHRA_SLOT(MonitorExit)
    ZEPHRA_SLOT(GetJavaVM)
#undef ZEPHRA_SLOT
    return t;
}

}  // namespace

const JNINativeInterface_* env_functions() {
    static const JNINativeInterface_ table = make_table();
    return &table;
}

}  // namespace jvm_double
