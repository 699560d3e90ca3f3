// Builds the wire answer of the stand-in's resolvers: blocked names get 0.0.0.0 (AAAA: ::), other
// names what the resolver's table says.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace backend {

// Lower case, without the final dot.
std::string normaliseDnsName(std::string name);

// A set of blocked names; with subdomains on, "a.b.example" is blocked by "b.example" too.
class DnsBlockList {
 public:
  DnsBlockList() = default;
  DnsBlockList(const std::set<std::string>& names, bool subdomains);
  bool blocks(const std::string& name) const;
  bool empty() const { return names_.empty(); }

 private:
  std::set<std::string> names_;
  bool subdomains_ = false;
};

struct DnsLookup {
  bool known = false;        // false: NXDOMAIN
  std::string address;       // "" with known: no record of that type (NOERROR, empty answer)
};

// The answer for a name that is not blocked; isV6 for AAAA questions.
using DnsTable = std::function<DnsLookup(const std::string& name, bool isV6)>;

// The wire answer to a wire message. A query whose header reads but whose rest does not parse, or
// that does not ask exactly one question, gets FORMERR; an opcode other than a standard query gets
// NOTIMP. nullopt, to be dropped, for what is no query at all: shorter than a header, or a response.
// maxSize (UDP: udpAnswerLimit) cuts a larger answer to its header and question with TC set, so the
// client asks again over TCP; 0 is no limit (TCP, HTTPS).
std::optional<std::string> answerDnsQuery(const std::string& query, const DnsBlockList& blocked,
                                          const DnsTable& table, size_t maxSize = 0);

// The largest UDP answer the query's sender takes: its EDNS buffer size, at least 512.
size_t udpAnswerLimit(const std::string& query);

}  // namespace backend
