#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// An application folder Name.app/Contents/{Info.plist, MacOS/, Resources/}, or a plain folder.
class Bundle {
 public:
  // env VRL_MAIN_BUNDLE if set; else the X.app around the executable (/proc/self/exe in X.app/Contents/MacOS);
  // else the executable's folder.
  static std::shared_ptr<Bundle> main();
  static std::shared_ptr<Bundle> atPath(const std::string& path);  // nullptr if the folder does not exist
  static void setMainBundleForTesting(std::shared_ptr<Bundle> bundle);  // nullptr restores the default
  static void removeMainBundleForTesting();  // main() gives nullptr until the next setMainBundleForTesting

  const std::string& bundlePath() const { return path_; }
  std::string contentsPath() const;  // <bundle>/Contents for an application folder, else the bundle itself
  std::string resourcePath() const;  // <bundle>/Contents/Resources, or the plain folder
  std::string executablePath() const;  // Contents/MacOS/<CFBundleExecutable or name>, "" for a plain folder
  std::string bundleIdentifier() const;  // Info.plist CFBundleIdentifier, "" if none
  const Dictionary& infoDictionary() const { return info_; }  // empty when absent
  const Value* objectForInfoDictionaryKey(const std::string& key) const;
  // Resources/name.type (type may be empty or start with "."), existing files only.
  std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;

  explicit Bundle(std::string path);  // prefer atPath()

 private:
  bool isAppFolder() const;
  std::string path_;
  std::string plainExecutable_;  // for a plain-folder main bundle: the running executable
  Dictionary info_;
};

}  // namespace platform
