#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

// A fresh directory removed again when the test ends.
struct TempDir {
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vrl-foundation-XXXXXX").string();
    path = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};
