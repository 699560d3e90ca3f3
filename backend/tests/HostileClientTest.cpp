// The stand-in under clients that send too much, too deep or too slowly.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/src/BackendServer.h"

namespace backend {
namespace {

constexpr const char* kVerifyPassword = "/identityservice/v3/relyingparty/verifyPassword?key=k";

BackendOptions quietOptions() {
  BackendOptions options;
  options.quiet = true;
  options.seed = nlohmann::json{{"users", {{{"email", "eve@example.com"}, {"password", "pa55word"}}}}};
  return options;
}

int connectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends the bytes as they are and returns what came back before the server closed or went quiet.
std::string rawExchange(uint16_t port, const std::string& bytes) {
  int fd = connectTo(port);
  if (fd < 0) return {};
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[4096];
  ssize_t n;
  while (reply.find("\r\n\r\n") == std::string::npos && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    reply.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return reply;
}

httplib::Result signIn(BackendServer& server, int timeoutSeconds = 30) {
  httplib::Client client("127.0.0.1", server.port());
  client.set_connection_timeout(timeoutSeconds, 0);
  client.set_read_timeout(timeoutSeconds, 0);
  return client.Post(kVerifyPassword, R"({"email":"eve@example.com","password":"pa55word","returnSecureToken":true})",
                     "application/json");
}

TEST(BackendHostileClientTest, RecorderIsOffUnlessAskedForAndKeepsOnlyTheRecentRequests) {
  BackendServer quiet(quietOptions());
  ASSERT_TRUE(quiet.start());
  httplib::Client client("127.0.0.1", quiet.port());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(client.Get("/unknown/" + std::to_string(i)));
  EXPECT_TRUE(quiet.recorder().requests().empty());

  BackendOptions options = quietOptions();
  options.recordRequests = 3;
  BackendServer recording(options);
  ASSERT_TRUE(recording.start());
  httplib::Client other("127.0.0.1", recording.port());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(other.Get("/unknown/" + std::to_string(i)));
  auto kept = recording.recorder().requests();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].path, "/unknown/2");
  EXPECT_EQ(kept[2].path, "/unknown/4");
}

TEST(BackendHostileClientTest, OversizedCompressedChunkedAndDeepBodiesAreRefused) {
  BackendServer server(quietOptions());
  ASSERT_TRUE(server.start());
  httplib::Client client("127.0.0.1", server.port());

  auto big = client.Post(kVerifyPassword, std::string(kMaxRequestBodyBytes + 1, ' ') + "{}", "application/json");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);

  // A small gzip body could inflate without bound: compressed bodies are refused before reading.
  httplib::Headers gzip = {{"Content-Encoding", "gzip"}};
  auto compressed = client.Post(kVerifyPassword, gzip, std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8), "application/json");
  ASSERT_TRUE(compressed);
  EXPECT_EQ(compressed->status, 415);

  // A body without a declared length has no size to check up front.
  auto chunked = rawExchange(server.port(), std::string("POST ") + kVerifyPassword +
                                                " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                                                "Content-Type: application/json\r\n\r\n2\r\n{}\r\n0\r\n\r\n");
  EXPECT_EQ(chunked.substr(0, 12), "HTTP/1.1 411") << chunked;

  const std::string deep = std::string(20000, '[') + std::string(20000, ']');
  auto nested = client.Post(kVerifyPassword, R"({"email":"eve@example.com","password":"pa55word","x":)" + deep + "}",
                            "application/json");
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->status, 400);
  EXPECT_NE(nested->body.find("Invalid JSON payload received."), std::string::npos);

  auto fine = signIn(server);
  ASSERT_TRUE(fine);
  EXPECT_EQ(fine->status, 200);
}

TEST(BackendHostileClientTest, KeepsServingWhileManySlowClientsHoldConnections) {
  BackendServer server(quietOptions());
  ASSERT_TRUE(server.start());
  std::vector<int> slow;
  for (int i = 0; i < 64; ++i) {
    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    // Half a request line, and then nothing.
    const char partial[] = "POST /identityservice/v3/relyingparty/verifyPassword";
    ASSERT_GT(::send(fd, partial, sizeof partial - 1, MSG_NOSIGNAL), 0);
    slow.push_back(fd);
  }
  // Well inside the time a silent client may hold its worker.
  auto reply = signIn(server, kReadTimeoutSeconds - 2);
  for (int fd : slow) ::close(fd);
  ASSERT_TRUE(reply) << httplib::to_string(reply.error());
  EXPECT_EQ(reply->status, 200);
}

}  // namespace
}  // namespace backend
