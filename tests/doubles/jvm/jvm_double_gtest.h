#pragma once
// Makes every violation of the JVM double fail the running Google Test case.
//
// Include this header in exactly one source file of a test program that links jvm_double_model:
// it registers a test environment that routes violations to ADD_FAILURE and clears the list before
// each test program run. Tests may also assert `jvm_double::violations()` is empty at chosen points.

#include <gtest/gtest.h>

#include "doubles/jvm/jvm_double.h"

namespace jvm_double {

class ViolationsFailTests : public ::testing::Environment {
public:
    void SetUp() override {
        clear_violations();
        set_violation_handler([](const std::string& text) { ADD_FAILURE() << "JNI violation: " << text; });
    }
    void TearDown() override { set_violation_handler(nullptr); }
};

namespace {
[[maybe_unused]] ::testing::Environment* const violations_fail_tests =
    ::testing::AddGlobalTestEnvironment(new ViolationsFailTests);
}  // namespace

}  // namespace jvm_double
