#include "platform/foundation/LoopbackHost.h"

#include <gtest/gtest.h>

namespace {

// Bearer tokens travel in plain text, and the stand-in's admin interface answers, only for a host
// that is this machine; a name that merely starts like a loopback address is not.
TEST(LoopbackHostTest, OnlyThisMachineIsLoopback) {
  for (const char* host : {"127.0.0.1:8080", "127.0.0.1", "127.45.3.9:443", "127.255.255.254:1", "localhost:8080",
                           "localhost", "LocalHost:1", "localhost.", "[::1]:8080", "[::1]", "::1"}) {
    EXPECT_TRUE(platform::isLoopbackHost(host)) << host;
  }
  for (const char* host : {"127.example.com:443", "127.example.com", "127.0.0.1.example.com:443",
                           "localhost.example.com:443", "mylocalhost:1", "128.0.0.1:80", "10.0.0.1:80", "[::2]:8080",
                           "[::ffff:8.8.8.8]:80", "[::1]x:80", "[::1", "", ":8080", "127.0.0.1:", "127.0.0.1:80x",
                           "localhost:http", "documents.example.com:443"}) {
    EXPECT_FALSE(platform::isLoopbackHost(host)) << host;
  }
}

}  // namespace
