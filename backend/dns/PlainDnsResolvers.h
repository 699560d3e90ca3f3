// Plain DNS resolvers over UDP, each on an address of its own (port 53 by default), each with its own
// block list and one shared table of known names. Nothing is forwarded: a name that is neither blocked
// nor in the table is answered NXDOMAIN, so no query ever leaves the machine.
#pragma once

#include <atomic>
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
  // table: name -> IPv4 address of the names that resolve.
  explicit PlainDnsResolvers(std::map<std::string, std::string> table);
  ~PlainDnsResolvers();  // stops
  PlainDnsResolvers(const PlainDnsResolvers&) = delete;
  PlainDnsResolvers& operator=(const PlainDnsResolvers&) = delete;

  // Serves address:port (IPv4 or IPv6) with the block list at once. listName only names it.
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
  void loop();
  DnsLookup lookup(const std::string& name, bool isV6) const;

  const std::map<std::string, std::string> table_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Socket>> sockets_;
  int wakeFd_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> answered_{0};
};

}  // namespace backend
