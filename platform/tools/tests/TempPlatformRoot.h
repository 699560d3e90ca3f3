#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/foundation/System.h"
#include "platform/process/Process.h"

namespace platform {

// Gives each test a fresh, empty platform root (inherited by the tools it starts) and restores the old one.
class TempPlatformRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("VRL_PLATFORM_ROOT")) oldRoot_ = old;
    std::string tmpl = (std::filesystem::temp_directory_path() / "vrl-simmac-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    setPlatformRoot(root_);
  }
  void TearDown() override {
    setPlatformRoot(oldRoot_ ? *oldRoot_ : std::string());
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  struct Run {
    std::string out;
    std::string err;
    int status = -1;
  };
  // Runs a command line through the real /bin/sh with both output streams captured.
  Run run(const std::string& commandLine) {
    std::string errFile = root_ + "/.stderr";
    ProcessResult r = runShell("{ " + commandLine + "\n} 2>" + shellQuote(errFile));
    Run result{r.output, readFile(errFile), r.status};
    std::filesystem::remove(errFile);
    return result;
  }

  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }

  std::string root_;
  std::optional<std::string> oldRoot_;
};

}  // namespace platform
