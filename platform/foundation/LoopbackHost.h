#pragma once

#include <string>

namespace platform {

// Whether `host` names this machine: "localhost", an address in 127.0.0.0/8 or ::1, with or without
// a port ("127.0.0.1:8080", "[::1]:80", "[::1]", "::1"). Names are never looked up and addresses are
// parsed, not matched by prefix: "127.example.com" is someone else's machine.
bool isLoopbackHost(const std::string& host);

}  // namespace platform
