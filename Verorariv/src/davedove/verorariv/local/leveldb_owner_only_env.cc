#include "davedove/verorariv/local/leveldb_owner_only_env.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace davedove {
namespace verorariv {
namespace local {
namespace {

class OwnerOnlyEnv : public leveldb::EnvWrapper {
 public:
  OwnerOnlyEnv() : EnvWrapper(leveldb::Env::Default()) {}

  leveldb::Status NewWritableFile(const std::string& f, leveldb::WritableFile** r) override {
    return ownerOnly(f, target()->NewWritableFile(f, r));
  }
  leveldb::Status NewAppendableFile(const std::string& f, leveldb::WritableFile** r) override {
    return ownerOnly(f, target()->NewAppendableFile(f, r));
  }
  leveldb::Status LockFile(const std::string& f, leveldb::FileLock** l) override {
    return ownerOnly(f, target()->LockFile(f, l));
  }
  leveldb::Status NewLogger(const std::string& f, leveldb::Logger** l) override {
    return ownerOnly(f, target()->NewLogger(f, l));
  }

 private:
  static leveldb::Status ownerOnly(const std::string& f, leveldb::Status s) {
    if (s.ok()) ::chmod(f.c_str(), 0600);
    return s;
  }
};

}  // namespace

leveldb::Env* LevelDbOwnerOnlyEnv() {
  static leveldb::Env* env = new OwnerOnlyEnv();
  return env;
}

void NarrowLevelDbStore(const std::string& directory) {
  ::chmod(directory.c_str(), 0700);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    if (entry.symlink_status(ec).type() == std::filesystem::file_type::regular) ::chmod(entry.path().c_str(), 0600);
  }
}

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
