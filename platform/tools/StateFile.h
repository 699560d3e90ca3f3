#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

// One JSON document of the simulated Mac, shared by several processes. Readers see either the old or the
// new contents (writes go through a temporary file and a rename); writers take an exclusive lock on a side
// file "<path>.lock" for the whole read-modify-write, so concurrent tool runs never lose each other's change.
class StateFile {
 public:
  explicit StateFile(std::string path);

  const std::string& path() const { return path_; }

  // A missing file reads as an empty object; a malformed one gives nullopt and an error text.
  std::optional<nlohmann::json> read(std::string* error = nullptr) const;

  // Runs fn on the current contents under the lock and writes them back when fn returns true.
  // False (with an error text) when the file cannot be read, parsed or written; fn's own refusals are
  // the caller's business. A malformed file is never overwritten.
  bool update(const std::function<bool(nlohmann::json&)>& fn, std::string* error = nullptr) const;

 private:
  std::string path_;
};

}  // namespace platform
