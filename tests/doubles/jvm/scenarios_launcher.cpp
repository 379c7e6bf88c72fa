// Scripted Java programs for the launcher's tests: each defines (or leaves out) the client's main
// class and records what its `main` receives.

#include <windows.h>

#include "common/java_names.h"
#include "doubles/jvm/scenario.h"

namespace jvm_double {
namespace {

std::string main_class() {
    std::string name = zephra_java::kMainClassDotted;
    for (char& c : name) {
        if (c == '.') c = '/';
    }
    return name;
}

// Records the arguments main received: "main-argc N", then "main-arg I TEXT" (or "main-arg-null I").
void record_arguments(Vm& vm, Record& record, jobject args) {
    if (args == nullptr) {
        record.write("main-args-null");
        return;
    }
    std::vector<jobject> elements = vm.array_elements(args);
    record.write("main-argc", std::to_string(elements.size()));
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (elements[i] == nullptr) {
            record.write("main-arg-null", std::to_string(i));
        } else {
            // The index, one space, then the text: an empty argument leaves the line ending in a space.
            record.write("main-arg", std::to_string(i) + " " + vm.string_utf8(elements[i]));
        }
    }
}

// A main that records its arguments, then runs `then`.
Scenario recording_main(std::function<void(Vm&, Record&, JNIEnv*)> then = nullptr) {
    Scenario s;
    s.define = [then](Vm& vm, Record& record) {
        vm.define_class(main_class())
            .static_method(zephra_java::kMainMethod, zephra_java::kMainDescriptor,
                           [&vm, &record, then](JNIEnv* env, jobject, const std::vector<jvalue>& args) {
                               record.write("main-thread", std::to_string(GetCurrentThreadId()));
                               record_arguments(vm, record, args[0].l);
                               if (then) then(vm, record, env);
                               record.write("main-returning");
                               return void_result();
                           });
    };
    return s;
}

Scenario with_mode(Scenario s, CreateMode mode) {
    s.create = mode;
    return s;
}

ScenarioRegistrar normal("normal", recording_main());
ScenarioRegistrar create_fails("create_fails", with_mode(recording_main(), CreateMode::fail));
ScenarioRegistrar exists("eexist", with_mode(recording_main(), CreateMode::exists));
ScenarioRegistrar exists_none("eexist_none", with_mode(recording_main(), CreateMode::exists_none));

ScenarioRegistrar no_main_class("no_main_class", [] {
    Scenario s;
    s.define = [](Vm& vm, Record&) { vm.define_class("com/brevant/zephra/client/maincontrol/MainControl"); };
    return s;
}());

ScenarioRegistrar wrong_main_descriptor("wrong_main_descriptor", [] {
    Scenario s;
    s.define = [](Vm& vm, Record& record) {
        vm.define_class(main_class())
            .static_method(zephra_java::kMainMethod, "()V", [&record](JNIEnv*, jobject, const std::vector<jvalue>&) {
                record.write("main-called");
                return void_result();
            });
    };
    return s;
}());

ScenarioRegistrar main_throws("main_throws", recording_main([](Vm& vm, Record&, JNIEnv*) {
                                  vm.throw_new("java/lang/IllegalStateException", "scripted failure in main");
                              }));

// main starts a non-daemon Java thread that outlives it by a while; DestroyJavaVM must wait for it.
ScenarioRegistrar non_daemon_thread("non_daemon_thread", recording_main([](Vm& vm, Record& record, JNIEnv*) {
                                        vm.start_thread("worker", [&record](JNIEnv*) {
                                            record.write("thread-started");
                                            Sleep(800);
                                            record.write("thread-ended");
                                        });
                                    }));

// For the start-up benchmark: main writes the performance counter the moment it is called.
ScenarioRegistrar startup_probe("startup_probe", [] {
    Scenario s;
    s.define = [](Vm& vm, Record& record) {
        vm.define_class(main_class())
            .static_method(zephra_java::kMainMethod, zephra_java::kMainDescriptor,
                           [&record](JNIEnv*, jobject, const std::vector<jvalue>&) {
                               LARGE_INTEGER now;
                               QueryPerformanceCounter(&now);
                               record.write("main-qpc", std::to_string(now.QuadPart));
                               return void_result();
                           });
    };
    return s;
}());

}  // namespace
}  // namespace jvm_double
