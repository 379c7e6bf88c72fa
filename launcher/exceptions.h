#pragma once
// The launcher's failures. Each carries its whole message (a fixed prefix and the value concerned);
// the entry point's one handler shows it in the fatal-error box.

#include <stdexcept>
#include <string>

// A registry read or a change of the process environment (working directory, PATH) failed.
class system_exception : public std::runtime_error {
public:
    explicit system_exception(const std::string& message) : std::runtime_error(message) {}
};

// The VM library cannot be loaded, lacks an entry point, or the VM cannot be created.
class jvm_init_exception : public std::runtime_error {
public:
    explicit jvm_init_exception(const std::string& message) : std::runtime_error(message) {}
};

// The main class or its main method was not found, or the argument strings or array cannot be made.
class jvm_execution_exception : public std::runtime_error {
public:
    explicit jvm_execution_exception(const std::string& message) : std::runtime_error(message) {}
};

// The Java main method ended with a pending Java exception.
class jvm_runtime_exception : public std::runtime_error {
public:
    explicit jvm_runtime_exception(const std::string& message) : std::runtime_error(message) {}
};
