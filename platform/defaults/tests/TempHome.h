#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// Gives each test a fresh, empty HOME and restores the old one afterwards.
class TempHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("HOME")) oldHome_ = old;
    char dirTemplate[] = "/tmp/vrl-defaults-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    home_ = dirTemplate;
    setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    if (oldHome_) {
      setenv("HOME", oldHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }
  std::string preferencesDir() const { return home_ + "/Library/Preferences"; }

  std::string home_;
  std::optional<std::string> oldHome_;
};

}  // namespace platform
