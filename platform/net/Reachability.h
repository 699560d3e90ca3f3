// Whether the network can be reached, from the system's network interfaces. Changes are noticed by
// polling the interfaces while the notifier runs; the handlers run on the notification queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/Queue.h"

namespace platform::net {

class Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  enum class Connection { Unavailable, WiFi, Cellular, None };
  // "WiFi", "Cellular", "No Connection", "unavailable".
  static std::string description(Connection connection);

  // The general internet route. The notification queue defaults to the main queue.
  static std::shared_ptr<Reachability> forInternetConnection(dispatch::QueuePtr notificationQueue = nullptr);
  ~Reachability();

  using Handler = std::function<void(Reachability&)>;
  void setWhenReachable(Handler handler);
  void setWhenUnreachable(Handler handler);

  // Starts watching; the current state is reported once at once, then every change. False when the
  // interfaces cannot be read.
  bool startNotifier();
  void stopNotifier();
  bool isNotifierRunning() const { return running_; }

  // The kind of connection the interfaces offer now (last seen while the notifier runs).
  Connection connection() const;

  // What a probe of the interfaces found: WiFi for any non-loopback interface that is up and has an
  // address (wired links count as WiFi, as the route does not tell them apart), Cellular for a
  // mobile-broadband one, None without either; nullopt when they cannot be read.
  using Probe = std::function<std::optional<Connection>()>;
  static std::optional<Connection> probeInterfaces();
  // Tests: replace the probe and look again at once. nullptr restores the interface probe.
  void setProbeForTesting(Probe probe);
  void pollNowForTesting();

  static constexpr std::chrono::milliseconds kPollInterval{2000};

 private:
  explicit Reachability(dispatch::QueuePtr notificationQueue);
  void poll();
  void report(Connection connection);

  dispatch::QueuePtr queue_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Handler whenReachable_, whenUnreachable_;
  Probe probe_;
  std::optional<Connection> last_;
  std::atomic<bool> running_{false};
  bool stopping_ = false;
  std::thread poller_;
};

}  // namespace platform::net
