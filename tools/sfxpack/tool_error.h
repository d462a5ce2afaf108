#pragma once
#include <stdexcept>
#include <string>

// Bad input or a failed operation: main prints it as one line and exits 1.
struct ToolError : std::runtime_error {
    explicit ToolError(const std::string &message) : std::runtime_error(message) {}
};

// A command line that cannot be carried out as given: exit 2.
struct UsageError : ToolError {
    using ToolError::ToolError;
};

enum ExitCode { EXIT_OK = 0, EXIT_BAD_INPUT = 1, EXIT_USAGE = 2 };
