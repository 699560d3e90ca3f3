#include "platform/servicemanagement/AppService.h"

#include <filesystem>

#include "platform/foundation/System.h"
#include "platform/tools/SimulatedMac.h"
#include "platform/tools/StateFile.h"

namespace platform {
namespace {

using nlohmann::json;

constexpr int64_t kRefused = 1;
constexpr int64_t kNotFound = 2;
constexpr int64_t kNotRegistered = 3;

struct Entry {
  bool present = false;
  bool registered = false;
  bool requiresApproval = false;
  bool refusesRegistration = false;
};

bool flag(const json& entry, const char* key) {
  auto it = entry.find(key);
  return it != entry.end() && it->is_boolean() && it->get<bool>();
}

Entry entryIn(const json& doc, const std::string& identifier) {
  Entry e;
  auto items = doc.find("loginItems");
  if (items == doc.end() || !items->is_object()) return e;
  auto it = items->find(identifier);
  if (it == items->end() || !it->is_object()) return e;
  e.present = true;
  e.registered = flag(*it, "registered");
  e.requiresApproval = flag(*it, "requiresApproval");
  e.refusesRegistration = flag(*it, "refusesRegistration");
  return e;
}

bool pathExists(const std::string& identifier) {
  if (identifier.empty() || identifier[0] != '/') return false;
  std::error_code ec;
  return std::filesystem::exists(systemPath(identifier), ec);
}

AppService::Status statusOf(const Entry& e, const std::string& identifier) {
  if (e.registered) return e.requiresApproval ? AppService::Status::RequiresApproval : AppService::Status::Enabled;
  if (e.present || pathExists(identifier)) return AppService::Status::NotRegistered;
  return AppService::Status::NotFound;
}

// The object holding the identifier's entry, created when missing (replacing anything malformed).
json& entryObject(json& doc, const std::string& identifier) {
  json& items = doc["loginItems"];
  if (!items.is_object()) items = json::object();
  json& entry = items[identifier];
  if (!entry.is_object()) entry = json::object();
  return entry;
}

void setError(ErrorPtr* error, int64_t code, const std::string& text) {
  if (error) *error = makeError(kAppServiceErrorDomain, code, text);
}

bool setFlag(const std::string& identifier, const char* key, bool value) {
  return StateFile(AppService::registryPath())
      .update([&](json& doc) {
        entryObject(doc, identifier)[key] = value;
        return true;
      });
}

}  // namespace

const char* statusName(AppService::Status status) {
  switch (status) {
    case AppService::Status::NotRegistered: return "NotRegistered";
    case AppService::Status::Enabled: return "Enabled";
    case AppService::Status::RequiresApproval: return "RequiresApproval";
    case AppService::Status::NotFound: return "NotFound";
  }
  return "NotFound";
}

std::string AppService::registryPath() { return SimulatedMac::stateDirectory() + "/login-items.json"; }

std::shared_ptr<AppService> AppService::loginItemServiceWithIdentifier(const std::string& identifier) {
  return std::shared_ptr<AppService>(new AppService(identifier));
}

AppService::Status AppService::status() const {
  std::optional<json> doc = StateFile(registryPath()).read();
  return statusOf(doc ? entryIn(*doc, identifier_) : Entry{}, identifier_);
}

bool AppService::registerAndReturnError(ErrorPtr* error) {
  int64_t failure = 0;
  std::string ioError;
  bool ok = StateFile(registryPath()).update(
      [&](json& doc) {
        Entry e = entryIn(doc, identifier_);
        if (statusOf(e, identifier_) == Status::NotFound) {
          failure = kNotFound;
        } else if (e.refusesRegistration) {
          failure = kRefused;
        } else {
          entryObject(doc, identifier_)["registered"] = true;
          return true;
        }
        return false;
      },
      &ioError);
  if (!ok) {
    setError(error, kRefused, ioError);
    return false;
  }
  if (failure == kNotFound) setError(error, failure, "No such file or directory");
  if (failure == kRefused) setError(error, failure, "Operation not permitted");
  return failure == 0;
}

bool AppService::unregisterAndReturnError(ErrorPtr* error) {
  bool wasRegistered = false;
  std::string ioError;
  bool ok = StateFile(registryPath()).update(
      [&](json& doc) {
        wasRegistered = entryIn(doc, identifier_).registered;
        if (!wasRegistered) return false;
        entryObject(doc, identifier_)["registered"] = false;
        return true;
      },
      &ioError);
  if (!ok) {
    setError(error, kRefused, ioError);
    return false;
  }
  if (!wasRegistered) setError(error, kNotRegistered, "No such process");
  return wasRegistered;
}

bool AppService::setRefusesRegistration(const std::string& identifier, bool refuses) {
  return setFlag(identifier, "refusesRegistration", refuses);
}

bool AppService::setRequiresApproval(const std::string& identifier, bool requiresApproval) {
  return setFlag(identifier, "requiresApproval", requiresApproval);
}

}  // namespace platform
