// Hooks of the SDK logger for its own tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The process's launch arguments (argv, from /proc/self/cmdline).
std::vector<std::string> DAVProcessArguments();

// Makes the next log call run the set-up again, reading `arguments` instead of the real launch arguments
// when given; also turns the analytics debug mode off.
void DAVLoggerResetForTesting(std::optional<std::vector<std::string>> arguments = std::nullopt);
