#pragma once
// The scripted Java programs of jvm.dll. A scenario is chosen per process by the environment variable
// ZEPHRA_JVM_SCENARIO (default "normal"); what the VM saw is written to the file named by
// ZEPHRA_JVM_RECORD (UTF-8 text, one event per line, see record.h), for the test to read afterwards.
//
// A scenario source file registers itself with a static registrar:
//   static jvm_double::ScenarioRegistrar reg("name", [] { jvm_double::Scenario s; ...; return s; }());

#include <functional>
#include <string>

#include "doubles/jvm/jvm_double.h"
#include "doubles/jvm/record.h"

namespace jvm_double {

// How JNI_CreateJavaVM behaves.
enum class CreateMode {
    normal,       // creates the VM, the calling thread becomes its main thread, returns JNI_OK
    fail,         // returns JNI_ERR, creates nothing
    exists,       // a VM already exists (creating thread not attached): JNI_EEXIST, and
                  // JNI_GetCreatedJavaVMs returns that VM
    exists_none,  // JNI_EEXIST, yet JNI_GetCreatedJavaVMs returns no VM
};

struct Scenario {
    CreateMode create = CreateMode::normal;
    // Defines the program's classes in the new VM (normally the main class and its static main).
    std::function<void(Vm& vm, Record& record)> define;
};

void register_scenario(const std::string& name, Scenario scenario);
// Null when no scenario has that name.
const Scenario* find_scenario(const std::string& name);

struct ScenarioRegistrar {
    ScenarioRegistrar(const std::string& name, Scenario scenario) { register_scenario(name, std::move(scenario)); }
};

}  // namespace jvm_double
