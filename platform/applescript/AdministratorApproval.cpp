#include "platform/applescript/AdministratorApproval.h"

#include "platform/tools/SimulatedMac.h"
#include "platform/tools/StateFile.h"

namespace platform {
namespace {

using nlohmann::json;

bool parsePolicy(const json& doc, AdministratorApproval::Policy& policy) {
  auto it = doc.find("approval");
  if (it == doc.end()) {
    policy = AdministratorApproval::Policy::Approve;
    return true;
  }
  if (!it->is_string()) return false;
  for (auto p : {AdministratorApproval::Policy::Approve, AdministratorApproval::Policy::Cancel,
                 AdministratorApproval::Policy::Deny}) {
    if (*it == AdministratorApproval::policyName(p)) {
      policy = p;
      return true;
    }
  }
  return false;
}

bool parseCount(const json& doc, int64_t& count) {
  auto it = doc.find("prompts");
  if (it == doc.end()) {
    count = 0;
    return true;
  }
  if (!it->is_number_integer()) return false;
  count = it->get<int64_t>();
  return true;
}

}  // namespace

const char* AdministratorApproval::policyName(Policy policy) {
  switch (policy) {
    case Policy::Approve: return "approve";
    case Policy::Cancel: return "cancel";
    case Policy::Deny: return "deny";
  }
  return "deny";
}

std::string AdministratorApproval::statePath() { return SimulatedMac::stateDirectory() + "/administrator.json"; }

bool AdministratorApproval::setPolicy(Policy policy, std::string* error) {
  return StateFile(statePath()).update(
      [&](json& doc) {
        doc["approval"] = policyName(policy);
        return true;
      },
      error);
}

AdministratorApproval::Policy AdministratorApproval::policy() {
  std::optional<json> doc = StateFile(statePath()).read();
  Policy p = Policy::Deny;
  if (!doc || !parsePolicy(*doc, p)) return Policy::Deny;
  return p;
}

int64_t AdministratorApproval::promptCount() {
  std::optional<json> doc = StateFile(statePath()).read();
  int64_t count = 0;
  if (!doc || !parseCount(*doc, count)) return 0;
  return count;
}

bool AdministratorApproval::resetPromptCount(std::string* error) {
  return StateFile(statePath()).update(
      [](json& doc) {
        doc["prompts"] = 0;
        return true;
      },
      error);
}

std::optional<AdministratorApproval::Policy> AdministratorApproval::prompt(std::string* error) {
  std::optional<Policy> answer;
  bool ok = StateFile(statePath()).update(
      [&](json& doc) {
        Policy p;
        int64_t count;
        if (!parsePolicy(doc, p) || !parseCount(doc, count)) return false;
        doc["prompts"] = count + 1;
        answer = p;
        return true;
      },
      error);
  if (ok && !answer && error) *error = statePath() + ": malformed approval policy";
  return ok ? answer : std::nullopt;
}

}  // namespace platform
