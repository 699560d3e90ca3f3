#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform::dispatch {

enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

class Queue;
using QueuePtr = std::shared_ptr<Queue>;

// Handle of a block submitted with Queue::after. Cancelling drops the block; a block that already
// started keeps running.
class WorkItem {
 public:
  void cancel();
  bool isCancelled() const;

 private:
  friend class Queue;
  explicit WorkItem(std::function<void()> work);
  void perform();

  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::function<void()> work_;
};
using WorkItemPtr = std::shared_ptr<WorkItem>;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  // A serial queue runs one block at a time in submission order. With a target, its blocks run on
  // the target (still one at a time, and one at a time with everything else the target runs).
  static QueuePtr serial(std::string label, QoS qos = QoS::Default, QueuePtr target = nullptr);
  static QueuePtr concurrent(std::string label, QoS qos = QoS::Default);
  static QueuePtr global(QoS qos = QoS::Default);
  static QueuePtr main();

  static std::string currentLabel();  // "" when the caller runs on no queue
  static QueuePtr current();          // nullptr when the caller runs on no queue

  const std::string& label() const { return label_; }
  QoS qos() const { return qos_; }
  bool isSerial() const { return kind_ == Kind::Serial || kind_ == Kind::Main; }
  const QueuePtr& target() const { return target_; }

  void async(std::function<void()> work);
  // Runs work and returns when it has run. Onto the queue the caller is running on (directly or
  // through a target) it stops the process: waiting would never end.
  void sync(const std::function<void()>& work);
  WorkItemPtr after(std::chrono::nanoseconds delay, std::function<void()> work);
  void suspend();
  void resume();  // one resume per suspend; a resume without a suspend stops the process
  bool isCurrent() const;

  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // Internal: used by the run loop and the scheduler of this library.
  enum class Kind { Serial, Concurrent, Global, Main };
  void enqueue(std::function<void()> work);
  bool runOneMainTask();        // main queue only: runs the next block; false when none is runnable
  size_t runnableMainTasks();   // main queue only: blocks waiting, 0 while suspended

 private:
  Queue(Kind kind, std::string label, QoS qos, QueuePtr target);
  void scheduleDrain();
  void drain();
  bool acquireChainForSync();
  void releaseChainAfterSync();
  void releaseOwnership();
  void syncSlow(const std::function<void()>& work);

  const Kind kind_;
  const std::string label_;
  const QoS qos_;
  const QueuePtr target_;

  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;  // serial and main: waiting blocks; concurrent: held while suspended
  int suspendCount_ = 0;
  bool scheduled_ = false;  // serial: a drain is pending or running, or a sync owns the queue
};

void once(std::once_flag& flag, const std::function<void()>& fn);
bool isMainThread();  // the process's main thread

}  // namespace platform::dispatch
