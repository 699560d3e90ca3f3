#include "davedove/verorariv/remote/grpc_connection.h"

#include <gtest/gtest.h>

namespace davedove {
namespace verorariv {
namespace remote {
namespace {

// The bearer token travels in plain text only to a host that is this machine.
TEST(GrpcConnectionTest, OnlyLoopbackHostsAreSpokenToInPlainText) {
  for (const char* host : {"127.0.0.1:8080", "127.0.0.1", "127.45.3.9:443", "127.255.255.254:1",
                           "localhost:8080", "localhost", "LocalHost:1", "[::1]:8080", "[::1]", "::1"}) {
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  }
  for (const char* host : {"127.example.com:443", "127.example.com", "127.0.0.1.example.com:443",
                           "localhost.example.com:443", "mylocalhost:1", "128.0.0.1:80", "10.0.0.1:80",
                           "[::2]:8080", "[::ffff:8.8.8.8]:80", "[::1]x:80", "[::1", "", ":8080",
                           "documents.example.com:443"}) {
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  }
}

}  // namespace
}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
