#include "backend/src/RequestRecorder.h"

#include <strings.h>

namespace backend {

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return std::nullopt;
}

void RequestRecorder::record(RecordedRequest r) {
  if (capacity_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (requests_.size() == capacity_) requests_.pop_front();
  requests_.push_back(std::move(r));
}

std::vector<RecordedRequest> RequestRecorder::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<RecordedRequest>(requests_.begin(), requests_.end());
}

std::vector<RecordedRequest> RequestRecorder::requestsForPath(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_)
    if (r.path == path) out.push_back(r);
  return out;
}

void RequestRecorder::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

}  // namespace backend
