// The plain resolvers as raw clients meet them: malformed queries and other opcodes over UDP and TCP,
// TCP clients that take more than their share, and UDP answers too big for the client.
#include "backend/dns/PlainDnsResolvers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace backend {
namespace {

constexpr uint8_t kRd = 0x01;
constexpr int kFormErr = 1;
constexpr int kNotImp = 4;

std::string header(uint16_t id, uint8_t flags, uint16_t questions, uint16_t additional = 0) {
  std::string h(12, '\0');
  h[0] = static_cast<char>(id >> 8);
  h[1] = static_cast<char>(id & 0xff);
  h[2] = static_cast<char>(flags);
  h[5] = static_cast<char>(questions);
  h[11] = static_cast<char>(additional);
  return h;
}

std::string question(const std::string& name, uint16_t type = 1) {
  std::string q;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q += static_cast<char>(dot - start);
    q += name.substr(start, dot - start);
    start = dot + 1;
  }
  q += '\0';
  q += static_cast<char>(type >> 8);
  q += static_cast<char>(type & 0xff);
  q += std::string("\0\x01", 2);  // class IN
  return q;
}

// An EDNS record offering a UDP buffer of `size` bytes.
std::string ednsRecord(uint16_t size) {
  return std::string("\0\0\x29", 3) + static_cast<char>(size >> 8) + static_cast<char>(size & 0xff) +
         std::string(6, '\0');
}

struct Reply {
  uint16_t id;
  int opcode;
  int rcode;
  bool response;
  bool truncated;
  int answers;
};

Reply read(const std::string& wire) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(wire.at(i)); };
  return Reply{static_cast<uint16_t>(byte(0) << 8 | byte(1)), (byte(2) >> 3) & 0x0f, byte(3) & 0x0f,
               (byte(2) & 0x80) != 0, (byte(2) & 0x02) != 0, byte(6) << 8 | byte(7)};
}

int clientSocket(int type) {
  int fd = ::socket(AF_INET, type, 0);
  timeval patience{30, 0};  // generous: a loaded machine is slow, but an answer does come
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  return fd;
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int connectTcp(uint16_t port) {
  int fd = clientSocket(SOCK_STREAM);
  sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string framed(const std::string& message) {
  return std::string{static_cast<char>(message.size() >> 8), static_cast<char>(message.size() & 0xff)} + message;
}

bool readAll(int fd, char* out, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, out, n, 0);
    if (r <= 0) return false;
    out += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

std::optional<std::string> readFramed(int fd) {
  unsigned char prefix[2];
  if (!readAll(fd, reinterpret_cast<char*>(prefix), 2)) return std::nullopt;
  std::string message(static_cast<size_t>(prefix[0] << 8 | prefix[1]), '\0');
  if (!readAll(fd, message.data(), message.size())) return std::nullopt;
  return message;
}

// The server ended the connection (rather than the wait running out).
bool closedByServer(int fd) {
  char byte;
  for (;;) {
    ssize_t r = ::recv(fd, &byte, 1, 0);
    if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
    if (r < 0) return false;
  }
}

class PlainDnsResolversTest : public ::testing::Test {
 protected:
  uint16_t serve(PlainDnsResolvers& resolvers) {
    std::string error;
    EXPECT_TRUE(resolvers.add("127.0.0.1", "normal", DnsBlockList({"blocked.example"}, true), 0, &error)) << error;
    return resolvers.resolvers().at(0).port;
  }

  std::optional<std::string> askUdp(uint16_t port, const std::string& query) {
    sockaddr_in a = loopback(port);
    ::sendto(udp_, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::string buffer(65535, '\0');
    ssize_t n = ::recv(udp_, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    return buffer.substr(0, static_cast<size_t>(n));
  }

  void TearDown() override { ::close(udp_); }

  const std::map<std::string, std::string> table_ = {{"www.example", "192.0.2.20"}};
  int udp_ = clientSocket(SOCK_DGRAM);
};

TEST_F(PlainDnsResolversTest, MalformedQueriesGetFormerrAndOtherOpcodesNotimpOverUdpAndTcp) {
  PlainDnsResolvers resolvers(table_);
  const uint16_t port = serve(resolvers);
  struct Case {
    const char* what;
    std::string query;
    int opcode;
    int rcode;
  };
  const std::vector<Case> cases = {
      {"a header that promises a question", header(0xbee1, kRd, 1), 0, kFormErr},
      {"a name cut off", header(0xbee2, kRd, 1) + "\x3f" "abc", 0, kFormErr},
      {"no question", header(0xbee3, kRd, 0), 0, kFormErr},
      {"two questions", header(0xbee4, kRd, 2) + question("www.example") + question("blocked.example"), 0, kFormErr},
      {"a status request", header(0xbee5, 2 << 3 | kRd, 1) + question("www.example"), 2, kNotImp},
      {"an update", header(0xbee6, 5 << 3, 1) + question("www.example"), 5, kNotImp},
  };
  const std::string good = header(0xbe00, kRd, 1) + question("www.example");

  for (const auto& c : cases) {
    auto answer = askUdp(port, c.query);
    ASSERT_TRUE(answer) << c.what << ": no answer over UDP";
    Reply r = read(*answer);
    EXPECT_EQ(r.id, read(c.query).id) << c.what;
    EXPECT_TRUE(r.response) << c.what;
    EXPECT_EQ(r.opcode, c.opcode) << c.what;
    EXPECT_EQ(r.rcode, c.rcode) << c.what;
  }
  // What is no query at all (too short for a header, a response) is dropped: the next datagram that
  // comes back answers the good query sent after them.
  sockaddr_in a = loopback(port);
  for (const std::string& junk : {std::string("\x12\x34\x01", 3), header(0xbad0, 0x80, 1) + question("www.example")})
    ::sendto(udp_, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  auto answer = askUdp(port, good);
  ASSERT_TRUE(answer);
  EXPECT_EQ(read(*answer).id, 0xbe00);
  EXPECT_EQ(read(*answer).answers, 1);

  // The same over one TCP connection, answered in turn, and the connection serves on.
  int fd = connectTcp(port);
  ASSERT_GE(fd, 0);
  for (const auto& c : cases) {
    ASSERT_TRUE(sendAll(fd, framed(c.query)));
    auto reply = readFramed(fd);
    ASSERT_TRUE(reply) << c.what << ": no answer over TCP";
    Reply r = read(*reply);
    EXPECT_EQ(r.id, read(c.query).id) << c.what;
    EXPECT_EQ(r.opcode, c.opcode) << c.what;
    EXPECT_EQ(r.rcode, c.rcode) << c.what;
  }
  ASSERT_TRUE(sendAll(fd, framed(good) + framed(header(0xbe01, kRd, 1) + question("blocked.example"))));
  auto first = readFramed(fd), second = readFramed(fd);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(read(*first).id, 0xbe00);
  EXPECT_EQ(read(*first).answers, 1);
  EXPECT_EQ(read(*second).id, 0xbe01);
  EXPECT_EQ(read(*second).answers, 1);
  ::close(fd);
}

TEST_F(PlainDnsResolversTest, TcpClientsAreBoundedInNumberMessageSizeAndIdleTime) {
  PlainDnsResolvers::TcpLimits limits;
  limits.connections = 2;
  limits.idle = std::chrono::minutes(10);
  limits.querySize = 512;
  PlainDnsResolvers resolvers(table_, limits);
  const uint16_t port = serve(resolvers);
  const std::string query = framed(header(0x0a01, kRd, 1) + question("www.example"));
  auto answers = [&](int fd) {
    if (!sendAll(fd, query)) return false;
    auto reply = readFramed(fd);
    return reply && read(*reply).answers == 1;
  };

  int first = connectTcp(port), second = connectTcp(port);
  ASSERT_TRUE(answers(first));
  ASSERT_TRUE(answers(second));
  int third = connectTcp(port);
  EXPECT_TRUE(third < 0 || closedByServer(third)) << "a connection past the limit is closed at once";
  ::close(third);
  EXPECT_TRUE(answers(first)) << "the others serve on";

  // A query longer than any a client needs ends its connection, which frees its place.
  ASSERT_TRUE(sendAll(first, std::string("\x02\x01", 2)));
  EXPECT_TRUE(closedByServer(first));
  ::close(first);
  int fourth = connectTcp(port);
  EXPECT_TRUE(answers(fourth));
  ::close(fourth);
  ::close(second);

  // A client that stops in the middle of a query is closed once idle.
  limits.idle = std::chrono::milliseconds(100);
  PlainDnsResolvers quick(table_, limits);
  int stalled = connectTcp(serve(quick));
  ASSERT_TRUE(sendAll(stalled, query.substr(0, 10)));
  EXPECT_TRUE(closedByServer(stalled));
  ::close(stalled);
}

TEST(DnsAnswerTest, AnAnswerTooBigForTheClientsDatagramComesTruncated) {
  const std::string query = header(0x7001, kRd, 1) + question("www.example");
  DnsTable table = [](const std::string&, bool) { return DnsLookup{true, "192.0.2.20"}; };
  auto whole = answerDnsQuery(query, DnsBlockList(), table);
  ASSERT_TRUE(whole);
  EXPECT_EQ(read(*whole).answers, 1);
  EXPECT_FALSE(read(*whole).truncated);

  auto cut = answerDnsQuery(query, DnsBlockList(), table, whole->size() - 1);
  ASSERT_TRUE(cut);
  Reply r = read(*cut);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.answers, 0);
  EXPECT_EQ(r.id, 0x7001);
  EXPECT_EQ(cut->substr(12), question("www.example")) << "the question stays, so the client can ask again";

  // The limit is what the client offers, never below the 512 bytes every client takes.
  EXPECT_EQ(udpAnswerLimit(query), 512u);
  EXPECT_EQ(udpAnswerLimit(header(1, kRd, 1, 1) + question("www.example") + ednsRecord(4096)), 4096u);
  EXPECT_EQ(udpAnswerLimit(header(1, kRd, 1, 1) + question("www.example") + ednsRecord(100)), 512u);
}

}  // namespace
}  // namespace backend
