#include "platform/net/Reachability.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace platform::net {

std::string Reachability::description(Connection connection) {
  switch (connection) {
    case Connection::WiFi: return "WiFi";
    case Connection::Cellular: return "Cellular";
    case Connection::None: return "No Connection";
    case Connection::Unavailable: return "unavailable";
  }
  return "unavailable";
}

std::optional<Reachability::Connection> Reachability::probeInterfaces() {
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  bool wifi = false, cellular = false;
  for (struct ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || !a->ifa_name) continue;
    const int family = a->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_RUNNING) == 0 || (a->ifa_flags & IFF_LOOPBACK)) continue;
    // Mobile-broadband links are point-to-point modems (wwan*, ppp*).
    if (std::strncmp(a->ifa_name, "wwan", 4) == 0 || std::strncmp(a->ifa_name, "ppp", 3) == 0)
      cellular = true;
    else
      wifi = true;
  }
  ::freeifaddrs(list);
  if (wifi) return Connection::WiFi;
  if (cellular) return Connection::Cellular;
  return Connection::None;
}

Reachability::Reachability(dispatch::QueuePtr notificationQueue)
    : queue_(notificationQueue ? std::move(notificationQueue) : dispatch::Queue::main()) {}

std::shared_ptr<Reachability> Reachability::forInternetConnection(dispatch::QueuePtr notificationQueue) {
  return std::shared_ptr<Reachability>(new Reachability(std::move(notificationQueue)));
}

Reachability::~Reachability() { stopNotifier(); }

void Reachability::setWhenReachable(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  whenReachable_ = std::move(handler);
}

void Reachability::setWhenUnreachable(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  whenUnreachable_ = std::move(handler);
}

Reachability::Connection Reachability::connection() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ && last_) return *last_;
    if (probe_) return probe_().value_or(Connection::Unavailable);
  }
  return probeInterfaces().value_or(Connection::Unavailable);
}

void Reachability::setProbeForTesting(Probe probe) {
  std::lock_guard<std::mutex> lock(mutex_);
  probe_ = std::move(probe);
}

void Reachability::pollNowForTesting() { poll(); }

bool Reachability::startNotifier() {
  if (running_) return true;
  Probe probe;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    probe = probe_;
  }
  if (!(probe ? probe() : probeInterfaces())) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
    last_.reset();
  }
  running_ = true;
  poll();  // the current state is reported once at once
  poller_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
      if (stopping_) break;
      lock.unlock();
      poll();
      lock.lock();
    }
  });
  return true;
}

void Reachability::stopNotifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (poller_.joinable()) poller_.join();
  running_ = false;
}

void Reachability::poll() {
  Probe probe;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    probe = probe_;
  }
  std::optional<Connection> now = probe ? probe() : probeInterfaces();
  const Connection connection = now.value_or(Connection::Unavailable);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (last_ && *last_ == connection) return;
    last_ = connection;
  }
  report(connection);
}

void Reachability::report(Connection connection) {
  std::weak_ptr<Reachability> weak = weak_from_this();
  queue_->async([weak, connection] {
    auto self = weak.lock();
    if (!self || !self->running_) return;
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      handler = (connection == Connection::WiFi || connection == Connection::Cellular) ? self->whenReachable_
                                                                                       : self->whenUnreachable_;
    }
    if (handler) handler(*self);
  });
}

}  // namespace platform::net
