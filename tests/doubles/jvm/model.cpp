// The JVM double's object model, its Java-side helpers, its threads and the invocation interface.

#include "doubles/jvm/model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace jvm_double {

// ---- Violations ----

namespace {
std::mutex& violation_mutex() {
    static std::mutex m;
    return m;
}
std::vector<std::string>& violation_list() {
    static std::vector<std::string> v;
    return v;
}
TextHandler& violation_handler() {
    static TextHandler h;
    return h;
}
}  // namespace

void report_violation(const std::string& text) {
    TextHandler handler;
    {
        std::lock_guard<std::mutex> lock(violation_mutex());
        violation_list().push_back(text);
        handler = violation_handler();
    }
    std::fprintf(stderr, "jvm double: JNI violation: %s\n", text.c_str());
    std::fflush(stderr);
    if (handler) handler(text);
}

void set_violation_handler(TextHandler handler) {
    std::lock_guard<std::mutex> lock(violation_mutex());
    violation_handler() = std::move(handler);
}

std::vector<std::string> violations() {
    std::lock_guard<std::mutex> lock(violation_mutex());
    return violation_list();
}

void clear_violations() {
    std::lock_guard<std::mutex> lock(violation_mutex());
    violation_list().clear();
}

// ---- Descriptors ----

namespace {
// Reads one field descriptor at `pos`; empty when malformed.
std::string read_type(const std::string& d, std::size_t& pos) {
    std::size_t start = pos;
    while (pos < d.size() && d[pos] == '[') ++pos;
    if (pos >= d.size()) return {};
    char c = d[pos];
    if (c == 'L') {
        std::size_t end = d.find(';', pos);
        if (end == std::string::npos || end == pos + 1) return {};
        pos = end + 1;
    } else if (std::strchr("ZBCSIJFD", c) != nullptr) {
        ++pos;
    } else if (c == 'V' && pos == start) {
        ++pos;
    } else {
        return {};
    }
    return d.substr(start, pos - start);
}
}  // namespace

bool parse_method_descriptor(const std::string& descriptor, std::vector<std::string>& args, std::string& ret) {
    args.clear();
    if (descriptor.empty() || descriptor[0] != '(') return false;
    std::size_t pos = 1;
    while (pos < descriptor.size() && descriptor[pos] != ')') {
        std::string t = read_type(descriptor, pos);
        if (t.empty() || t == "V") return false;
        args.push_back(t);
    }
    if (pos >= descriptor.size()) return false;
    ++pos;
    ret = read_type(descriptor, pos);
    return !ret.empty() && pos == descriptor.size();
}

// ---- Impl: classes and objects ----

ClassInfo* Vm::Impl::add_class(const std::string& name, ClassInfo* super) {
    auto cls = std::make_unique<ClassInfo>();
    cls->name = name;
    cls->super = super;
    ClassInfo* raw = cls.get();
    classes[name] = std::move(cls);
    ClassInfo* class_class = name == "java/lang/Class" ? raw : find_class("java/lang/Class");
    raw->class_object = new_object(class_class, Object::Kind::class_object);
    raw->class_object->represented = raw;
    return raw;
}

ClassInfo* Vm::Impl::find_class(const std::string& name) {
    auto it = classes.find(name);
    if (it != classes.end()) return it->second.get();
    if (name.size() >= 2 && name[0] == '[') {
        // Array classes exist once their element class does.
        std::size_t pos = 0;
        std::string t = read_type(name, pos);
        if (t != name) return nullptr;
        std::string element = name.substr(1);
        if (element[0] == 'L') {
            if (find_class(element.substr(1, element.size() - 2)) == nullptr) return nullptr;
        } else if (element[0] == '[') {
            if (find_class(element) == nullptr) return nullptr;
        }
        return add_class(name, find_class("java/lang/Object"));
    }
    return nullptr;
}

Object* Vm::Impl::new_object(ClassInfo* cls, Object::Kind kind) {
    auto obj = std::make_unique<Object>();
    obj->cls = cls;
    obj->kind = kind;
    if (cls != nullptr) {
        for (const ClassInfo* c = cls; c != nullptr; c = c->super) {
            for (const auto& f : c->fields) obj->ints[f.get()] = 0;
        }
    }
    Object* raw = obj.get();
    objects.push_back(std::move(obj));
    return raw;
}

Object* Vm::Impl::new_string(const std::u16string& text) {
    Object* s = new_object(find_class("java/lang/String"), Object::Kind::string);
    s->text = text;
    return s;
}

Object* Vm::Impl::new_throwable(const std::string& class_name, const std::u16string* message) {
    Object* t = new_object(find_class(class_name));
    if (message != nullptr) {
        t->text = *message;
        t->has_message = true;
    }
    return t;
}

bool Vm::Impl::is_subclass(const ClassInfo* cls, const ClassInfo* base) {
    for (; cls != nullptr; cls = cls->super) {
        if (cls == base) return true;
    }
    return false;
}

bool Vm::Impl::is_throwable(const ClassInfo* cls) const {
    auto it = classes.find("java/lang/Throwable");
    return it != classes.end() && is_subclass(cls, it->second.get());
}

bool Vm::Impl::fits_type(const Object* obj, const std::string& descriptor) {
    if (obj == nullptr) return true;
    if (descriptor.empty() || (descriptor[0] != 'L' && descriptor[0] != '[')) return false;
    if (descriptor == "Ljava/lang/Object;") return true;
    if (descriptor[0] == '[') {
        if (obj->cls->name == descriptor) return true;
        // Object arrays are covariant: String[] fits Object[].
        if (descriptor == "[Ljava/lang/Object;") return obj->kind == Object::Kind::object_array;
        return false;
    }
    ClassInfo* want = find_class(descriptor.substr(1, descriptor.size() - 2));
    return want != nullptr && is_subclass(obj->cls, want);
}

// ---- Impl: threads ----

ThreadState* Vm::Impl::current_thread() {
    auto it = attached.find(GetCurrentThreadId());
    return it == attached.end() ? nullptr : it->second;
}

ThreadState* Vm::Impl::attach(DWORD id, bool daemon, bool java, const std::string& name) {
    auto thread = std::make_unique<ThreadState>();
    thread->env.functions = env_functions();
    thread->env.thread = thread.get();
    thread->impl = this;
    thread->id = id;
    thread->daemon = daemon;
    thread->name = name;
    ThreadState* raw = thread.get();
    envs.insert(&raw->env);
    thread_store.push_back(std::move(thread));
    attached[id] = raw;
    push_frame(raw, !java, 16);
    changed.notify_all();
    return raw;
}

void Vm::Impl::detach(ThreadState* thread) {
    report_held("thread detach", thread, 0);
    while (!thread->frames.empty()) pop_frame(thread);
    thread->attached = false;
    thread->pending = nullptr;
    attached.erase(thread->id);
    changed.notify_all();
}

int Vm::Impl::non_daemon_count(const ThreadState* except) const {
    int n = starting_threads;
    for (const auto& entry : attached) {
        if (!entry.second->daemon && entry.second != except) ++n;
    }
    return n;
}

// ---- Impl: references ----

void Vm::Impl::check_capacity(ThreadState* thread, Frame* frame, const char* where) {
    if (!frame->checked || frame->live <= frame->capacity || frame->over_reported) return;
    frame->over_reported = true;
    report_violation(std::string(where) + ": " + std::to_string(frame->live) +
                     " live local references exceed the frame's capacity of " + std::to_string(frame->capacity) +
                     " (thread " + thread->name + ")");
}

jobject Vm::Impl::make_local(ThreadState* thread, Object* obj, const char* where) {
    if (obj == nullptr) return nullptr;
    auto ref = std::make_unique<Ref>();
    ref->obj = obj;
    ref->kind = RefKind::local;
    ref->owner = thread;
    Frame* frame = thread->frames.back().get();
    ref->frame = frame;
    Ref* raw = ref.get();
    refs.insert(raw);
    ref_store.push_back(std::move(ref));
    frame->refs.push_back(raw);
    ++frame->live;
    check_capacity(thread, frame, where);
    return reinterpret_cast<jobject>(raw);
}

jobject Vm::Impl::make_global(Object* obj) {
    if (obj == nullptr) return nullptr;
    auto ref = std::make_unique<Ref>();
    ref->obj = obj;
    ref->kind = RefKind::global;
    Ref* raw = ref.get();
    refs.insert(raw);
    ref_store.push_back(std::move(ref));
    ++live_globals;
    return reinterpret_cast<jobject>(raw);
}

Object* Vm::Impl::resolve(ThreadState* thread, jobject handle, const char* where, bool null_allowed) {
    if (handle == nullptr) {
        if (!null_allowed) report_violation(std::string(where) + ": null reference where an object is required");
        return nullptr;
    }
    if (refs.count(handle) == 0) {
        report_violation(std::string(where) + ": not a reference this VM made");
        return nullptr;
    }
    Ref* ref = reinterpret_cast<Ref*>(handle);
    if (!ref->live) {
        report_violation(std::string(where) + ": reference used after it was deleted or its frame was popped");
        return nullptr;
    }
    if (ref->kind == RefKind::local && ref->owner != thread) {
        report_violation(std::string(where) + ": local reference of thread " + ref->owner->name +
                         " used on another thread");
        return nullptr;
    }
    return ref->obj;
}

void Vm::Impl::kill_ref(Ref* ref) {
    if (!ref->live) return;
    ref->live = false;
    if (ref->kind == RefKind::global) {
        --live_globals;
    } else if (ref->frame != nullptr) {
        --ref->frame->live;
    }
}

Frame* Vm::Impl::push_frame(ThreadState* thread, bool checked, std::size_t capacity) {
    auto frame = std::make_unique<Frame>();
    frame->checked = checked;
    frame->capacity = capacity;
    Frame* raw = frame.get();
    thread->frames.push_back(std::move(frame));
    return raw;
}

void Vm::Impl::pop_frame(ThreadState* thread) {
    Frame* frame = thread->frames.back().get();
    for (Ref* ref : frame->refs) {
        if (ref->live) {
            ref->live = false;
            ref->frame = nullptr;
        }
    }
    thread->frames.pop_back();
}

// ---- Impl: held pointers ----

char* Vm::Impl::hold(ThreadState* thread, HeldPointer::Kind kind, Object* obj, const void* data, std::size_t size) {
    auto held_pointer = std::make_unique<HeldPointer>();
    held_pointer->kind = kind;
    held_pointer->obj = obj;
    held_pointer->size = size;
    held_pointer->owner = thread;
    held_pointer->native_depth = thread->native_depth;
    held_pointer->buffer = new char[size + kGuardBytes];
    if (size != 0) std::memcpy(held_pointer->buffer, data, size);
    std::memset(held_pointer->buffer + size, kGuardByte, kGuardBytes);
    char* buffer = held_pointer->buffer;
    held.push_back(std::move(held_pointer));
    return buffer;
}

HeldPointer* Vm::Impl::find_held(const void* buffer) {
    // Newest first: a buffer address of a released pointer is never reused, buffers live to the end.
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if ((*it)->buffer == buffer) return it->get();
    }
    return nullptr;
}

void Vm::Impl::report_held(const std::string& when, ThreadState* only_thread, int min_depth) {
    static const char* const kinds[] = {"byte array elements", "string UTF chars", "string chars",
                                        "primitive array critical"};
    for (auto& h : held) {
        if (h->released) continue;
        if (only_thread != nullptr && (h->owner != only_thread || h->native_depth < min_depth)) continue;
        report_violation(when + ": " + kinds[static_cast<int>(h->kind)] + " never released");
        h->released = true;
    }
}

void Vm::Impl::set_pending(ThreadState* thread, const std::string& class_name, const std::string& message) {
    std::u16string text = utf8_to_utf16(message);
    thread->pending = new_throwable(class_name, &text);
}

// ---- Impl: calls into Java code ----

jvalue Vm::Impl::invoke(std::unique_lock<std::recursive_mutex>& lock, ThreadState* thread, MethodInfo* method,
                        Object* target, const std::vector<jvalue>& args) {
    push_frame(thread, false, 16);
    std::size_t depth = thread->frames.size();
    jobject self = make_local(thread, target, method->name.c_str());
    ++thread->java_depth;
    jvalue result{};
    MethodBody body = method->body;
    lock.unlock();
    try {
        result = body(as_env(thread), self, args);
    } catch (const std::exception& e) {
        lock.lock();
        report_violation("C++ exception escaped Java method " + method->owner->name + "." + method->name + ": " +
                         e.what());
        lock.unlock();
    } catch (...) {
        lock.lock();
        report_violation("C++ exception escaped Java method " + method->owner->name + "." + method->name);
        lock.unlock();
    }
    lock.lock();
    --thread->java_depth;
    if (thread->frames.size() != depth) {
        report_violation("Java method " + method->name + " left local frames pushed");
        while (thread->frames.size() > depth) pop_frame(thread);
    }
    Object* returned = nullptr;
    bool object_result = method->return_type[0] == 'L' || method->return_type[0] == '[';
    if (object_result && thread->pending == nullptr) {
        returned = resolve(thread, result.l, (method->name + " result").c_str(), true);
        if (returned != nullptr && !fits_type(returned, method->return_type)) {
            report_violation("Java method " + method->name + " returned a " + returned->cls->name + ", not " +
                             method->return_type);
        }
    }
    pop_frame(thread);
    if (object_result) result.l = thread->pending == nullptr ? make_local(thread, returned, "method result") : nullptr;
    if (thread->pending != nullptr && !object_result) result = jvalue{};
    return result;
}

void Vm::Impl::emit(const std::string& line) {
    if (trace) trace(line);
}

void Vm::Impl::destroy(std::unique_lock<std::recursive_mutex>& lock, DWORD timeout_ms) {
    ThreadState* self = current_thread();
    DWORD start = GetTickCount();
    bool reported_wait = false;
    while (non_daemon_count(self) > 0) {
        DWORD waited = GetTickCount() - start;
        if (timeout_ms != INFINITE && waited >= timeout_ms) break;
        if (!reported_wait && waited >= 30000) {
            reported_wait = true;
            emit("DestroyJavaVM still waiting for " + std::to_string(non_daemon_count(self)) + " thread(s)");
        }
        changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    for (const auto& entry : attached) {
        if (entry.second != self && !entry.second->daemon) {
            report_violation("VM destroyed while non-daemon thread " + entry.second->name + " is still attached");
        }
    }
    report_held("VM destruction", nullptr, 0);
    if (live_globals != 0) {
        report_violation("VM destruction: " + std::to_string(live_globals) + " global reference(s) still alive");
    }
    if (self != nullptr) detach(self);
    destroyed = true;
}

// ---- Vm ----

namespace {
void define_builtins(Vm::Impl& impl) {
    // java/lang/Class comes first: every class object is an instance of it.
    ClassInfo* cls = impl.add_class("java/lang/Class", nullptr);
    ClassInfo* object = impl.add_class("java/lang/Object", nullptr);
    cls->super = object;
    impl.add_class("java/lang/String", object);
    ClassInfo* throwable = impl.add_class("java/lang/Throwable", object);
    ClassInfo* exception = impl.add_class("java/lang/Exception", throwable);
    ClassInfo* error = impl.add_class("java/lang/Error", throwable);
    ClassInfo* runtime = impl.add_class("java/lang/RuntimeException", exception);
    for (const char* name :
         {"java/lang/NullPointerException", "java/lang/IllegalArgumentException", "java/lang/IllegalStateException",
          "java/lang/ArrayStoreException", "java/lang/NegativeArraySizeException", "java/lang/ClassCastException"}) {
        impl.add_class(name, runtime);
    }
    ClassInfo* index = impl.add_class("java/lang/IndexOutOfBoundsException", runtime);
    impl.add_class("java/lang/ArrayIndexOutOfBoundsException", index);
    impl.add_class("java/lang/StringIndexOutOfBoundsException", index);
    ClassInfo* linkage = impl.add_class("java/lang/LinkageError", error);
    ClassInfo* incompatible = impl.add_class("java/lang/IncompatibleClassChangeError", linkage);
    impl.add_class("java/lang/NoSuchMethodError", incompatible);
    impl.add_class("java/lang/NoSuchFieldError", incompatible);
    impl.add_class("java/lang/NoClassDefFoundError", linkage);
    impl.add_class("java/lang/UnsatisfiedLinkError", linkage);
    ClassInfo* vm_error = impl.add_class("java/lang/VirtualMachineError", error);
    impl.add_class("java/lang/OutOfMemoryError", vm_error);
    impl.add_class("java/lang/Thread", object);
}

// Java-side helpers run on an attached thread; this finds it or reports the misuse.
ThreadState* java_thread(Vm::Impl& impl, const char* what) {
    ThreadState* thread = impl.current_thread();
    if (thread == nullptr) report_violation(std::string(what) + " on a thread that is not attached");
    return thread;
}
}  // namespace

Vm::Vm() : Vm(VmOptions{}) {}

Vm::Vm(const VmOptions& options) : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->options = options;
    impl_->block.functions = invoke_functions();
    impl_->block.impl = impl_.get();
    std::unique_lock<std::recursive_mutex> lock(impl_->mutex);
    define_builtins(*impl_);
    // The in-process creator is the test acting as Java code (unchecked frame); jvm.dll attaches its
    // creator through JNI_CreateJavaVM as a native thread instead.
    if (options.attach_creator) impl_->attach(GetCurrentThreadId(), false, true, "main");
}

Vm::~Vm() {
    std::unique_lock<std::recursive_mutex> lock(impl_->mutex);
    if (!impl_->destroyed) impl_->destroy(lock, 10000);
    bool others = impl_->non_daemon_count(nullptr) > 0;
    for (const auto& entry : impl_->attached) others = others || entry.second != nullptr;
    lock.unlock();
    for (HANDLE h : impl_->java_threads) {
        if (!others) WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
    if (others) {
        // Threads still use the model: keep it alive rather than free it under them.
        impl_.release();
        return;
    }
    for (auto& h : impl_->held) delete[] h->buffer;
}

JavaVM* Vm::java_vm() { return reinterpret_cast<JavaVM*>(&impl_->block); }

JNIEnv* Vm::env() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "Vm::env");
    return thread == nullptr ? nullptr : as_env(thread);
}

Vm* Vm::from(JavaVM* vm) { return reinterpret_cast<VmBlock*>(vm)->impl->owner; }

Vm* Vm::from(JNIEnv* env) {
    // Every env belongs to one thread of one VM.
    return env == nullptr ? nullptr : reinterpret_cast<EnvBlock*>(env)->thread->impl->owner;
}

std::string Vm::property(const std::string& name) const {
    std::string prefix = "-D" + name + "=";
    for (const auto& option : impl_->options.options) {
        if (option.compare(0, prefix.size(), prefix) == 0) return option.substr(prefix.size());
    }
    return {};
}

ClassBuilder Vm::define_class(const std::string& internal_name, const std::string& super_name) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ClassInfo* super = impl_->find_class(super_name);
    if (super == nullptr) report_violation("define_class " + internal_name + ": unknown superclass " + super_name);
    if (impl_->classes.count(internal_name) != 0) report_violation("define_class: " + internal_name + " twice");
    return ClassBuilder(this, impl_->add_class(internal_name, super));
}

ClassBuilder Vm::define_exception(const std::string& internal_name, const std::string& super_name) {
    ClassBuilder builder = define_class(internal_name, super_name);
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    if (!impl_->is_throwable(static_cast<ClassInfo*>(builder.cls_))) {
        report_violation("define_exception " + internal_name + ": " + super_name + " is not a Throwable");
    }
    return builder;
}

bool Vm::has_class(const std::string& internal_name) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return impl_->classes.count(internal_name) != 0;
}

namespace {
MethodInfo* add_method(Vm::Impl& impl, ClassInfo* cls, const std::string& name, const std::string& descriptor,
                       bool is_static, MethodBody body) {
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    auto method = std::make_unique<MethodInfo>();
    method->owner = cls;
    method->name = name;
    method->descriptor = descriptor;
    method->is_static = is_static;
    method->body = std::move(body);
    if (!parse_method_descriptor(descriptor, method->arg_types, method->return_type)) {
        report_violation("method " + cls->name + "." + name + ": malformed descriptor " + descriptor);
        method->return_type = "V";
    }
    MethodInfo* raw = method.get();
    cls->methods.push_back(std::move(method));
    return raw;
}
}  // namespace

ClassBuilder& ClassBuilder::method(const std::string& name, const std::string& descriptor, MethodBody body) {
    add_method(*vm_->impl_, static_cast<ClassInfo*>(cls_), name, descriptor, false, std::move(body));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const std::string& name, const std::string& descriptor, MethodBody body) {
    add_method(*vm_->impl_, static_cast<ClassInfo*>(cls_), name, descriptor, true, std::move(body));
    return *this;
}

ClassBuilder& ClassBuilder::int_field(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(vm_->impl_->mutex);
    auto* cls = static_cast<ClassInfo*>(cls_);
    auto field = std::make_unique<FieldInfo>();
    field->owner = cls;
    field->name = name;
    field->descriptor = "I";
    cls->fields.push_back(std::move(field));
    return *this;
}

// ---- Java-side helpers ----

jobject Vm::new_object(const std::string& class_name) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "new_object");
    ClassInfo* cls = impl_->find_class(class_name);
    if (cls == nullptr) report_violation("new_object: unknown class " + class_name);
    if (thread == nullptr || cls == nullptr) return nullptr;
    return impl_->make_local(thread, impl_->new_object(cls), "new_object");
}

jstring Vm::new_string(const std::u16string& text) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "new_string");
    if (thread == nullptr) return nullptr;
    return static_cast<jstring>(impl_->make_local(thread, impl_->new_string(text), "new_string"));
}

jstring Vm::new_string_utf8(const std::string& utf8) { return new_string(utf8_to_utf16(utf8)); }

jbyteArray Vm::new_byte_array(const std::vector<jbyte>& bytes) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "new_byte_array");
    if (thread == nullptr) return nullptr;
    Object* array = impl_->new_object(impl_->find_class("[B"), Object::Kind::byte_array);
    array->bytes = bytes;
    return static_cast<jbyteArray>(impl_->make_local(thread, array, "new_byte_array"));
}

jobjectArray Vm::new_object_array(const std::string& element_class, const std::vector<jobject>& elements) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "new_object_array");
    std::string array_name = element_class[0] == '[' ? "[" + element_class : "[L" + element_class + ";";
    ClassInfo* cls = impl_->find_class(array_name);
    if (cls == nullptr) report_violation("new_object_array: unknown class " + element_class);
    if (thread == nullptr || cls == nullptr) return nullptr;
    Object* array = impl_->new_object(cls, Object::Kind::object_array);
    for (jobject e : elements) array->elements.push_back(impl_->resolve(thread, e, "new_object_array", true));
    return static_cast<jobjectArray>(impl_->make_local(thread, array, "new_object_array"));
}

namespace {
Object* peek(Vm::Impl& impl, jobject ref, const char* what) {
    // Java-side reads accept any live reference the VM made, from any thread.
    if (ref == nullptr || impl.refs.count(ref) == 0 || !reinterpret_cast<Ref*>(ref)->live) {
        report_violation(std::string(what) + ": not a live reference");
        return nullptr;
    }
    return reinterpret_cast<Ref*>(ref)->obj;
}

const FieldInfo* find_field(const ClassInfo* cls, const std::string& name, const std::string& descriptor) {
    for (; cls != nullptr; cls = cls->super) {
        for (const auto& f : cls->fields) {
            if (f->name == name && f->descriptor == descriptor) return f.get();
        }
    }
    return nullptr;
}
}  // namespace

std::u16string Vm::string_value(jobject string) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* obj = peek(*impl_, string, "string_value");
    if (obj == nullptr) return {};
    if (obj->kind != Object::Kind::string) report_violation("string_value: not a String");
    return obj->text;
}

std::string Vm::string_utf8(jobject string) const { return utf16_to_utf8(string_value(string)); }

std::vector<jbyte> Vm::byte_array(jobject array) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* obj = peek(*impl_, array, "byte_array");
    if (obj == nullptr) return {};
    if (obj->kind != Object::Kind::byte_array) report_violation("byte_array: not a byte[]");
    return obj->bytes;
}

void Vm::set_byte_array(jobject array, const std::vector<jbyte>& bytes) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* obj = peek(*impl_, array, "set_byte_array");
    if (obj == nullptr) return;
    if (obj->kind != Object::Kind::byte_array) report_violation("set_byte_array: not a byte[]");
    obj->bytes = bytes;
}

std::vector<jobject> Vm::array_elements(jobject array) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "array_elements");
    Object* obj = peek(*impl_, array, "array_elements");
    std::vector<jobject> out;
    if (obj == nullptr || thread == nullptr) return out;
    if (obj->kind != Object::Kind::object_array) report_violation("array_elements: not an object array");
    for (Object* e : obj->elements) out.push_back(impl_->make_local(thread, e, "array_elements"));
    return out;
}

jint Vm::int_field(jobject object, const std::string& name) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* obj = peek(*impl_, object, "int_field");
    if (obj == nullptr) return 0;
    const FieldInfo* field = find_field(obj->cls, name, "I");
    if (field == nullptr) {
        report_violation("int_field: " + obj->cls->name + " has no int field " + name);
        return 0;
    }
    return obj->ints[field];
}

void Vm::set_int_field(jobject object, const std::string& name, jint value) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* obj = peek(*impl_, object, "set_int_field");
    if (obj == nullptr) return;
    const FieldInfo* field = find_field(obj->cls, name, "I");
    if (field == nullptr) {
        report_violation("set_int_field: " + obj->cls->name + " has no int field " + name);
        return;
    }
    obj->ints[field] = value;
}

std::string Vm::class_name_of(jobject object) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* obj = peek(*impl_, object, "class_name_of");
    return obj == nullptr ? std::string() : obj->cls->name;
}

bool Vm::is_same(jobject a, jobject b) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    Object* x = a == nullptr ? nullptr : peek(*impl_, a, "is_same");
    Object* y = b == nullptr ? nullptr : peek(*impl_, b, "is_same");
    return x == y;
}

void Vm::throw_new(const std::string& class_name, const std::string& message) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "throw_new");
    ClassInfo* cls = impl_->find_class(class_name);
    if (cls == nullptr || !impl_->is_throwable(cls)) {
        report_violation("throw_new: " + class_name + " is not a Throwable class");
        return;
    }
    if (thread != nullptr) impl_->set_pending(thread, class_name, message);
}

std::string Vm::pending_exception_class() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = impl_->current_thread();
    return thread == nullptr || thread->pending == nullptr ? std::string() : thread->pending->cls->name;
}

std::string Vm::pending_exception_message() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = impl_->current_thread();
    return thread == nullptr || thread->pending == nullptr ? std::string() : utf16_to_utf8(thread->pending->text);
}

void Vm::clear_pending_exception() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = impl_->current_thread();
    if (thread != nullptr) thread->pending = nullptr;
}

// ---- Native calls ----

void Vm::call_native(const std::function<void(JNIEnv*)>& body) {
    std::unique_lock<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = java_thread(*impl_, "call_native");
    if (thread == nullptr) return;
    if (thread->pending != nullptr) report_violation("call_native with a Java exception pending");
    impl_->push_frame(thread, true, 16)->native_call = true;
    std::size_t depth = thread->frames.size();
    int native_depth = ++thread->native_depth;
    lock.unlock();
    body(as_env(thread));
    lock.lock();
    impl_->report_held("native method return", thread, native_depth);
    if (thread->frames.size() < depth) {
        report_violation("native method popped more local frames than it pushed");
    } else if (thread->frames.size() > depth) {
        report_violation("native method returned with " + std::to_string(thread->frames.size() - depth) +
                         " local frame(s) still pushed");
    }
    while (thread->frames.size() >= depth) impl_->pop_frame(thread);
    --thread->native_depth;
}

std::string native_export_name(const std::string& internal_class_name, const std::string& method_name) {
    auto mangle = [](const std::u16string& text) {
        std::string out;
        static const char hex[] = "0123456789abcdef";
        for (char16_t c : text) {
            if (c == u'/') {
                out += '_';
            } else if (c == u'_') {
                out += "_1";
            } else if (c == u';') {
                out += "_2";
            } else if (c == u'[') {
                out += "_3";
            } else if (c < 0x80 && std::isalnum(static_cast<unsigned char>(c))) {
                out += static_cast<char>(c);
            } else {
                out += "_0";
                for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
            }
        }
        return out;
    };
    return "Java_" + mangle(utf8_to_utf16(internal_class_name)) + "_" + mangle(utf8_to_utf16(method_name));
}

void* find_native(void* module, const std::string& export_name, int argument_bytes) {
    auto* handle = static_cast<HMODULE>(module);
    FARPROC proc = nullptr;
    // A 32-bit VM tries the decorated __stdcall name first; a 64-bit one knows plain names only.
    if (sizeof(void*) == 4) {
        std::string decorated = "_" + export_name + "@" + std::to_string(argument_bytes);
        proc = GetProcAddress(handle, decorated.c_str());
    }
    if (proc == nullptr) proc = GetProcAddress(handle, export_name.c_str());
    return reinterpret_cast<void*>(proc);
}

NativeLibrary Vm::load_library(const std::string& name) {
    NativeLibrary library;
    std::u16string dirs = utf8_to_utf16(property("java.library.path"));
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(u';', start);
        if (end == std::u16string::npos) end = dirs.size();
        std::u16string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            std::wstring path(dir.begin(), dir.end());
            if (path.back() != L'\\') path += L'\\';
            path += std::wstring(name.begin(), name.end()) + L".dll";
            if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
                library.module = LoadLibraryW(path.c_str());
                library.path = path;
                break;
            }
        }
        start = end + 1;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
        impl_->emit("LoadLibrary " + name +
                    (library.module ? " " + utf16_to_utf8(std::u16string(library.path.begin(), library.path.end()))
                                    : std::string(" not found")));
    }
    if (library.module == nullptr) {
        throw_new("java/lang/UnsatisfiedLinkError", "no " + name + " in java.library.path");
        return library;
    }
    using OnLoad = jint(JNICALL*)(JavaVM*, void*);
    auto on_load = reinterpret_cast<OnLoad>(find_native(library.module, "JNI_OnLoad", 8));
    if (on_load != nullptr) {
        call_native([&](JNIEnv*) { library.onload_version = on_load(java_vm(), nullptr); });
        if (library.onload_version < JNI_VERSION_1_1 || library.onload_version > JNI_VERSION_1_8 ||
            (library.onload_version & 0xFFFF) == 0) {
            report_violation("JNI_OnLoad of " + name + " returned an unsupported version " +
                             std::to_string(library.onload_version));
        }
    }
    return library;
}

void Vm::unload_library(NativeLibrary& library) {
    if (library.module == nullptr) return;
    using OnUnload = void(JNICALL*)(JavaVM*, void*);
    auto on_unload = reinterpret_cast<OnUnload>(find_native(library.module, "JNI_OnUnload", 8));
    if (on_unload != nullptr) call_native([&](JNIEnv*) { on_unload(java_vm(), nullptr); });
    {
        std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
        if (impl_->live_globals != 0) {
            report_violation("library unload: " + std::to_string(impl_->live_globals) +
                             " global reference(s) still alive");
        }
    }
    FreeLibrary(static_cast<HMODULE>(library.module));
    library.module = nullptr;
}

// ---- Threads ----

namespace {
struct ThreadStart {
    Vm::Impl* impl;
    std::string name;
    std::function<void(JNIEnv*)> body;
    bool daemon;
};

DWORD WINAPI java_thread_main(void* param) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
    Vm::Impl& impl = *start->impl;
    ThreadState* thread;
    {
        std::lock_guard<std::recursive_mutex> lock(impl.mutex);
        if (!start->daemon) --impl.starting_threads;
        thread = impl.attach(GetCurrentThreadId(), start->daemon, true, start->name);
    }
    start->body(as_env(thread));
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    if (thread->pending != nullptr) {
        std::fprintf(stderr, "jvm double: exception %s in thread %s\n", thread->pending->cls->name.c_str(),
                     start->name.c_str());
    }
    impl.emit("thread ended " + start->name);
    impl.detach(thread);
    return 0;
}
}  // namespace

void Vm::start_thread(const std::string& name, std::function<void(JNIEnv*)> body, bool daemon) {
    auto* start = new ThreadStart{impl_.get(), name, std::move(body), daemon};
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    if (!daemon) ++impl_->starting_threads;
    HANDLE handle = CreateThread(nullptr, 0, java_thread_main, start, 0, nullptr);
    if (handle == nullptr) {
        if (!daemon) --impl_->starting_threads;
        delete start;
        report_violation("start_thread: CreateThread failed");
        return;
    }
    impl_->java_threads.push_back(handle);
}

int Vm::non_daemon_threads() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return impl_->non_daemon_count(nullptr);
}

void Vm::refuse_attach(int count) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->refused_attaches = count;
}

// ---- Inspection ----

std::size_t Vm::live_global_refs() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return impl_->live_globals;
}

std::size_t Vm::live_local_refs() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ThreadState* thread = impl_->current_thread();
    std::size_t n = 0;
    if (thread != nullptr) {
        for (const auto& f : thread->frames) n += f->live;
    }
    return n;
}

std::size_t Vm::held_pointers() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return static_cast<std::size_t>(
        std::count_if(impl_->held.begin(), impl_->held.end(), [](const auto& h) { return !h->released; }));
}

void Vm::check_released(const std::string& when) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->report_held(when, nullptr, 0);
    if (impl_->live_globals != 0) {
        report_violation(when + ": " + std::to_string(impl_->live_globals) + " global reference(s) still alive");
    }
}

void Vm::set_trace(TextHandler handler) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->trace = std::move(handler);
}

// ---- The invocation interface ----

namespace {
Vm::Impl* vm_impl(JavaVM* vm, const char* where) {
    if (vm == nullptr) {
        report_violation(std::string(where) + ": null JavaVM");
        return nullptr;
    }
    Vm::Impl* impl = reinterpret_cast<VmBlock*>(vm)->impl;
    if (impl->destroyed) {
        report_violation(std::string(where) + ": the VM was destroyed");
        return nullptr;
    }
    return impl;
}

bool supported_version(jint version) {
    return version == JNI_VERSION_1_1 || version == JNI_VERSION_1_2 || version == JNI_VERSION_1_4 ||
           version == JNI_VERSION_1_6 || version == JNI_VERSION_1_8;
}

jint JNICALL destroy_java_vm(JavaVM* vm) {
    Vm::Impl* impl = vm_impl(vm, "DestroyJavaVM");
    if (impl == nullptr) return JNI_ERR;
    std::unique_lock<std::recursive_mutex> lock(impl->mutex);
    impl->emit("DestroyJavaVM");
    ThreadState* self = impl->current_thread();
    if (self == nullptr) self = impl->attach(GetCurrentThreadId(), false, false, "DestroyJavaVM");
    if (self->pending != nullptr) {
        std::fprintf(stderr, "jvm double: DestroyJavaVM with %s pending\n", self->pending->cls->name.c_str());
    }
    impl->destroy(lock, INFINITE);
    impl->emit("DestroyJavaVM returned");
    return JNI_OK;
}

jint attach_thread(JavaVM* vm, void** penv, void* args, bool daemon, const char* where) {
    Vm::Impl* impl = vm_impl(vm, where);
    if (impl == nullptr) return JNI_ERR;
    if (penv == nullptr) {
        report_violation(std::string(where) + ": null env pointer");
        return JNI_ERR;
    }
    std::lock_guard<std::recursive_mutex> lock(impl->mutex);
    std::string name = daemon ? "attached daemon" : "attached";
    if (args != nullptr) {
        auto* a = static_cast<JavaVMAttachArgs*>(args);
        if (!supported_version(a->version)) {
            report_violation(std::string(where) + ": unsupported version in the attach arguments");
        }
        if (a->name != nullptr) name = a->name;
    }
    ThreadState* thread = impl->current_thread();
    if (thread == nullptr && impl->refused_attaches > 0) {
        --impl->refused_attaches;
        impl->emit(std::string(where) + " " + name + " refused");
        *penv = nullptr;
        return JNI_ENOMEM;
    }
    if (thread == nullptr) {
        thread = impl->attach(GetCurrentThreadId(), daemon, false, name);
        impl->emit(std::string(where) + " " + name);
    }
    *penv = as_env(thread);
    return JNI_OK;
}

jint JNICALL attach_current_thread(JavaVM* vm, void** penv, void* args) {
    return attach_thread(vm, penv, args, false, "AttachCurrentThread");
}

jint JNICALL attach_current_thread_as_daemon(JavaVM* vm, void** penv, void* args) {
    return attach_thread(vm, penv, args, true, "AttachCurrentThreadAsDaemon");
}

jint JNICALL detach_current_thread(JavaVM* vm) {
    Vm::Impl* impl = vm_impl(vm, "DetachCurrentThread");
    if (impl == nullptr) return JNI_ERR;
    std::lock_guard<std::recursive_mutex> lock(impl->mutex);
    ThreadState* thread = impl->current_thread();
    if (thread == nullptr) return JNI_OK;  // detaching an unattached thread is a no-op
    if (thread->java_depth > 0 || thread->native_depth > 0) {
        report_violation("DetachCurrentThread while the thread still runs Java code or a native method");
        return JNI_ERR;
    }
    impl->emit("DetachCurrentThread " + thread->name);
    impl->detach(thread);
    return JNI_OK;
}

jint JNICALL get_env(JavaVM* vm, void** penv, jint version) {
    Vm::Impl* impl = vm_impl(vm, "GetEnv");
    if (impl == nullptr) return JNI_ERR;
    if (penv == nullptr) {
        report_violation("GetEnv: null env pointer");
        return JNI_ERR;
    }
    std::lock_guard<std::recursive_mutex> lock(impl->mutex);
    *penv = nullptr;
    if (!supported_version(version)) return JNI_EVERSION;
    ThreadState* thread = impl->current_thread();
    if (thread == nullptr) return JNI_EDETACHED;
    *penv = as_env(thread);
    return JNI_OK;
}
}  // namespace

const JNIInvokeInterface_* invoke_functions() {
    static const JNIInvokeInterface_ table = {nullptr,
                                              nullptr,
                                              nullptr,
                                              destroy_java_vm,
                                              attach_current_thread,
                                              detach_current_thread,
                                              get_env,
                                              attach_current_thread_as_daemon};
    return &table;
}

}  // namespace jvm_double
