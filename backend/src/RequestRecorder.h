#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace backend {

// One request as it reached the stand-in, kept in memory so tests can check what a client sent.
struct RecordedRequest {
  std::string method;
  std::string path;                                          // without the query
  std::map<std::string, std::string> query;                  // decoded query parameters
  std::vector<std::pair<std::string, std::string>> headers;  // as received
  std::string body;
  nlohmann::json json;  // the body parsed as JSON; null when it is not JSON

  std::optional<std::string> header(const std::string& name) const;  // case-insensitive
};

// The most recent requests, at most `capacity` of them; a capacity of 0 keeps none.
class RequestRecorder {
 public:
  explicit RequestRecorder(size_t capacity = 0) : capacity_(capacity) {}
  bool enabled() const { return capacity_ > 0; }
  void record(RecordedRequest r);
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsForPath(const std::string& path) const;
  void clear();

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<RecordedRequest> requests_;
};

}  // namespace backend
