// The scenario registry of jvm.dll.

#include <map>

#include "doubles/jvm/scenario.h"

namespace jvm_double {

namespace {
std::map<std::string, Scenario>& registry() {
    static std::map<std::string, Scenario> scenarios;
    return scenarios;
}
}  // namespace

void register_scenario(const std::string& name, Scenario scenario) { registry()[name] = std::move(scenario); }

const Scenario* find_scenario(const std::string& name) {
    auto it = registry().find(name);
    return it == registry().end() ? nullptr : &it->second;
}

}  // namespace jvm_double
