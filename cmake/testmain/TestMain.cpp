// Main of every test program: makes the build's folders known to the tests and puts the
// simulated Mac's tools first on PATH, whether the program runs under CTest or by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  setenv("VRL_SOURCE_DIR", VRL_SOURCE_DIR, 0);
  setenv("VRL_BINARY_DIR", VRL_BINARY_DIR, 0);
  const char* path = getenv("PATH");
  std::string macBin = VRL_MAC_BIN_DIR;
  std::string current = path ? path : "/usr/bin:/bin";
  if (current.rfind(macBin + ":", 0) != 0) {
    setenv("PATH", (macBin + ":" + current).c_str(), 1);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
