// Plain DNS resolvers over UDP and TCP, each on an address of its own (port 53 by default), each with its
// own block list and one shared table of known names. Nothing is forwarded: a name that is neither
// blocked nor in the table is answered NXDOMAIN, so no query ever leaves the machine. A UDP answer too
// big for the client comes truncated (TC), and the client asks again over TCP on the same address.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backend/dns/DnsAnswer.h"

namespace backend {

class PlainDnsResolvers {
 public:
  // What one TCP client may hold of the resolvers. The defaults are the program's; tests use smaller ones.
  struct TcpLimits {
    size_t connections = 64;                     // open at once, over every address; more are closed at once
    std::chrono::milliseconds idle{10000};       // a connection with no whole query this long is closed
    size_t querySize = 4096;                     // a longer length prefix closes the connection
  };

  // table: name -> IPv4 address of the names that resolve.
  explicit PlainDnsResolvers(std::map<std::string, std::string> table);
  PlainDnsResolvers(std::map<std::string, std::string> table, TcpLimits tcpLimits);
  ~PlainDnsResolvers();  // stops
  PlainDnsResolvers(const PlainDnsResolvers&) = delete;
  PlainDnsResolvers& operator=(const PlainDnsResolvers&) = delete;

  // Serves address:port (IPv4 or IPv6), UDP and TCP, with the block list at once. Port 0 takes a
  // free port (the same for both). listName only names it.
  bool add(const std::string& address, const std::string& listName, DnsBlockList blocked, uint16_t port = 53,
           std::string* error = nullptr);
  void stop();

  struct Entry {
    std::string address;
    std::string listName;
    uint16_t port = 0;
  };
  std::vector<Entry> resolvers() const;
  uint64_t answered() const { return answered_; }

 private:
  struct Socket;
  struct Connection;
  void loop();
  void serveUdp(Socket& socket, std::string& buffer);
  void accept(Socket& socket, std::vector<std::unique_ptr<Connection>>& connections);
  // False when the connection is done with (closed by the client, broken, or over a limit).
  bool serveTcp(Connection& connection, short events);
  DnsLookup lookup(const std::string& name, bool isV6) const;

  const std::map<std::string, std::string> table_;
  const TcpLimits tcpLimits_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Socket>> sockets_;
  int wakeFd_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> answered_{0};
};

}  // namespace backend
