#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The simulated Mac's administrator authorization prompt. What the "user" answers is a policy kept in
// <root>/SimulatedMac/administrator.json, {"approval": "approve" | "cancel" | "deny", "prompts": <count>},
// so tests, the run command and every process of the application share it. No file: approve, 0 prompts.
class AdministratorApproval {
 public:
  enum class Policy { Approve, Cancel, Deny };

  static std::string statePath();

  static bool setPolicy(Policy policy, std::string* error = nullptr);
  static Policy policy();  // Approve when no policy was set; Deny when the file is unreadable
  static int64_t promptCount();
  static bool resetPromptCount(std::string* error = nullptr);

  // Shows one prompt: counts it and answers with the policy in force. nullopt (with an error text) when the
  // policy file cannot be read or written; nothing may run then.
  static std::optional<Policy> prompt(std::string* error = nullptr);

  static const char* policyName(Policy policy);  // "approve", "cancel", "deny"
};

}  // namespace platform
