#include "platform/tools/StateFile.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/FileLock.h"
#include "platform/foundation/PropertyList.h"

namespace platform {
namespace {

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {}

std::optional<nlohmann::json> StateFile::read(std::string* error) const {
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec) && !ec) return nlohmann::json::object();
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    setError(error, path_ + ": cannot be read");
    return std::nullopt;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  nlohmann::json doc = nlohmann::json::parse(bytes.str(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) {
    setError(error, path_ + ": not a JSON object");
    return std::nullopt;
  }
  return doc;
}

bool StateFile::update(const std::function<bool(nlohmann::json&)>& fn, std::string* error) const {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
  if (ec) {
    setError(error, path_ + ": " + ec.message());
    return false;
  }
  FileLock lock(path_ + ".lock", 0644);
  if (!lock.locked()) {
    setError(error, path_ + ".lock: " + lock.error());
    return false;
  }
  std::optional<nlohmann::json> doc = read(error);
  if (!doc) return false;
  if (!fn(*doc)) return true;
  return writeFileAtomically(path_, doc->dump(2) + "\n", error);
}

}  // namespace platform
