#include "platform/dispatch/Queue.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>
#include <vector>

#include "platform/dispatch/RunLoop.h"

namespace platform::dispatch {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

// Queues the calling thread is running, outermost first. A serial queue running on a target
// appears after its target; a sync that waits for another thread lends its frames to that thread.
thread_local std::vector<Queue*> tFrames;

struct FrameGuard {
  explicit FrameGuard(Queue* q) { tFrames.push_back(q); }
  ~FrameGuard() { tFrames.pop_back(); }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;
};

// The waiting caller of a sync still owns its queues: the thread that runs the block on its behalf
// must see them as held, or a sync back onto one of them would hang instead of stopping.
struct LentFrames {
  explicit LentFrames(const std::vector<Queue*>& lent) : count(lent.size()) {
    tFrames.insert(tFrames.begin(), lent.begin(), lent.end());
  }
  ~LentFrames() { tFrames.erase(tFrames.begin(), tFrames.begin() + static_cast<std::ptrdiff_t>(count)); }
  LentFrames(const LentFrames&) = delete;
  LentFrames& operator=(const LentFrames&) = delete;
  size_t count;
};

Queue* mainQueueRaw() {
  static Queue* const queue = Queue::main().get();  // lives for the whole process
  return queue;
}

bool holds(const Queue* q) {
  if (q == mainQueueRaw() && isMainThread()) return true;  // the main thread is the main queue's
  return std::find(tFrames.begin(), tFrames.end(), q) != tFrames.end();
}

std::vector<Queue*> heldFrames() {
  std::vector<Queue*> held = tFrames;
  Queue* mainQueue = mainQueueRaw();
  if (isMainThread() && std::find(held.begin(), held.end(), mainQueue) == held.end()) {
    held.insert(held.begin(), mainQueue);
  }
  return held;
}

// Shared worker threads. Grows when work waits and no worker is idle (a block may wait on another
// block, so a fixed size could starve); idle workers sleep on the condition variable.
class Pool {
 public:
  static Pool& shared() {
    static Pool* pool = new Pool;  // never destroyed: workers may outlive static destruction
    return *pool;
  }

  void submit(QoS qos, std::function<void()> job) {
    bool spawn = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_[static_cast<size_t>(qos)].push_back(std::move(job));
      ++pending_;
      if (pending_ > idle_ && threads_ < kMaxThreads) {
        ++threads_;
        spawn = true;
      }
    }
    cv_.notify_one();
    if (spawn) {
      try {
        std::thread([this] { work(); }).detach();
      } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(mutex_);
        --threads_;
        if (threads_ == 0) fail("dispatch: cannot start a worker thread");
      }
    }
  }

 private:
  static constexpr int kMaxThreads = 128;

  void work() {
    pthread_setname_np(pthread_self(), "vrl-dispatch");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      cv_.wait(lock, [this] { return pending_ > 0; });
      --idle_;
      std::function<void()> job;
      for (size_t i = jobs_.size(); i-- > 0;) {  // highest quality of service first
        if (!jobs_[i].empty()) {
          job = std::move(jobs_[i].front());
          jobs_[i].pop_front();
          break;
        }
      }
      --pending_;
      lock.unlock();
      job();
      job = nullptr;  // captures die outside the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::array<std::deque<std::function<void()>>, 5> jobs_;
  size_t pending_ = 0;
  size_t idle_ = 0;
  int threads_ = 0;
};

// One thread that holds every pending `after` block until its time, then submits it to its queue.
class Scheduler {
 public:
  static Scheduler& shared() {
    static Scheduler* scheduler = new Scheduler;
    return *scheduler;
  }

  void add(Clock::time_point when, QueuePtr queue, WorkItemPtr item, std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      heap_.push_back(Entry{when, nextSeq_++, std::move(queue), std::move(item), std::move(job)});
      std::push_heap(heap_.begin(), heap_.end(), Later());
      if (!started_) {
        started_ = true;
        std::thread([this] { loop(); }).detach();
      }
    }
    cv_.notify_one();
  }

 private:
  struct Entry {
    Clock::time_point when;
    uint64_t seq;  // equal times keep submission order
    QueuePtr queue;
    WorkItemPtr item;
    std::function<void()> job;  // performs the item on its queue
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.when != b.when ? a.when > b.when : a.seq > b.seq;
    }
  };

  void loop() {
    pthread_setname_np(pthread_self(), "vrl-dispatch-tm");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (heap_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const Clock::time_point due = heap_.front().when;  // a copy: the heap may grow while we wait
      if (Clock::now() < due) {
        cv_.wait_until(lock, due);
        continue;
      }
      std::pop_heap(heap_.begin(), heap_.end(), Later());
      Entry entry = std::move(heap_.back());
      heap_.pop_back();
      lock.unlock();
      if (!entry.item->isCancelled()) entry.queue->enqueue(std::move(entry.job));
      entry = Entry{};
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Entry> heap_;
  uint64_t nextSeq_ = 0;
  bool started_ = false;
};

const char* qosName(QoS qos) {
  switch (qos) {
    case QoS::Background: return "background";
    case QoS::Utility: return "utility";
    case QoS::Default: return "default";
    case QoS::UserInitiated: return "user-initiated";
    case QoS::UserInteractive: return "user-interactive";
  }
  return "default";
}

constexpr int kDrainBatch = 64;  // blocks per turn before a serial queue lets others on its thread

}  // namespace

// ---- WorkItem

WorkItem::WorkItem(std::function<void()> work) : work_(std::move(work)) {}

void WorkItem::cancel() {
  std::function<void()> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  dropped.swap(work_);  // release captures now, not at the original fire time
}

bool WorkItem::isCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

void WorkItem::perform() {
  std::function<void()> work;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return;
    work.swap(work_);
  }
  if (work) work();
}

// ---- Queue

Queue::Queue(Kind kind, std::string label, QoS qos, QueuePtr target)
    : kind_(kind), label_(std::move(label)), qos_(qos), target_(std::move(target)) {}

Queue::~Queue() = default;

QueuePtr Queue::serial(std::string label, QoS qos, QueuePtr target) {
  return QueuePtr(new Queue(Kind::Serial, std::move(label), qos, std::move(target)));
}

QueuePtr Queue::concurrent(std::string label, QoS qos) {
  return QueuePtr(new Queue(Kind::Concurrent, std::move(label), qos, nullptr));
}

QueuePtr Queue::global(QoS qos) {
  static auto* queues = [] {
    auto* all = new std::array<QueuePtr, 5>;
    for (size_t i = 0; i < all->size(); ++i) {
      QoS q = static_cast<QoS>(i);
      (*all)[i] = QueuePtr(new Queue(Kind::Global, std::string("vorellin.root.") + qosName(q) + "-qos", q, nullptr));
    }
    return all;
  }();
  return (*queues)[static_cast<size_t>(qos)];
}

QueuePtr Queue::main() {
  static auto* queue = new QueuePtr(new Queue(Kind::Main, "vorellin.main-thread", QoS::UserInteractive, nullptr));
  return *queue;
}

std::string Queue::currentLabel() {
  if (!tFrames.empty()) return tFrames.back()->label_;
  if (isMainThread()) return main()->label_;
  return "";
}

QueuePtr Queue::current() {
  if (!tFrames.empty()) return tFrames.back()->shared_from_this();
  if (isMainThread()) return main();
  return nullptr;
}

bool Queue::isCurrent() const { return holds(this); }

void Queue::async(std::function<void()> work) { enqueue(std::move(work)); }

void Queue::enqueue(std::function<void()> work) {
  switch (kind_) {
    case Kind::Main: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(work));
      }
      RunLoop::wake();
      return;
    }
    case Kind::Global:
      Pool::shared().submit(qos_, [this, work = std::move(work)] {
        FrameGuard frame(this);
        work();
      });
      return;
    case Kind::Concurrent: {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (suspendCount_ > 0) {
          tasks_.push_back(std::move(work));
          return;
        }
      }
      Pool::shared().submit(qos_, [self = shared_from_this(), work = std::move(work)] {
        FrameGuard frame(self.get());
        work();
      });
      return;
    }
    case Kind::Serial: {
      bool start = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(work));
        if (!scheduled_ && suspendCount_ == 0) {
          scheduled_ = true;
          start = true;
        }
      }
      if (start) scheduleDrain();
      return;
    }
  }
}

void Queue::scheduleDrain() {
  auto job = [self = shared_from_this()] { self->drain(); };
  if (target_) {
    target_->enqueue(std::move(job));
  } else {
    Pool::shared().submit(qos_, std::move(job));
  }
}

void Queue::drain() {
  FrameGuard frame(this);
  for (int done = 0;; ++done) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (suspendCount_ > 0 || tasks_.empty()) {
        scheduled_ = false;
        return;
      }
      if (done == kDrainBatch) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
  scheduleDrain();  // still scheduled_: go to the back of the line
}

bool Queue::runOneMainTask() {
  std::function<void()> task;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (suspendCount_ > 0 || tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  FrameGuard frame(this);
  task();
  return true;
}

size_t Queue::runnableMainTasks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return suspendCount_ > 0 ? 0 : tasks_.size();
}

void Queue::suspend() {
  if (kind_ == Kind::Global) return;  // the shared queues cannot be suspended
  std::lock_guard<std::mutex> lock(mutex_);
  ++suspendCount_;
}

void Queue::resume() {
  if (kind_ == Kind::Global) return;
  bool start = false;
  std::deque<std::function<void()>> released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (suspendCount_ == 0) fail("dispatch: resume of queue '" + label_ + "' that is not suspended");
    if (--suspendCount_ > 0) return;
    if (kind_ == Kind::Serial && !scheduled_ && !tasks_.empty()) {
      scheduled_ = true;
      start = true;
    } else if (kind_ == Kind::Concurrent) {
      released.swap(tasks_);
    }
  }
  if (start) scheduleDrain();
  for (auto& work : released) enqueue(std::move(work));
  if (kind_ == Kind::Main) RunLoop::wake();
}

WorkItemPtr Queue::after(std::chrono::nanoseconds delay, std::function<void()> work) {
  WorkItemPtr item(new WorkItem(std::move(work)));
  std::function<void()> job = [item] { item->perform(); };
  if (delay <= std::chrono::nanoseconds::zero()) {
    enqueue(std::move(job));
  } else {
    Scheduler::shared().add(Clock::now() + delay, shared_from_this(), item, std::move(job));
  }
  return item;
}

bool Queue::acquireChainForSync() {
  std::vector<Queue*> owned;
  bool ok = true;
  for (Queue* q = this; q && ok; q = q->target_.get()) {
    std::lock_guard<std::mutex> lock(q->mutex_);
    switch (q->kind_) {
      case Kind::Main:  // its blocks run on the main thread only
        ok = false;
        break;
      case Kind::Global:
        break;
      case Kind::Concurrent:
        ok = q->suspendCount_ == 0;
        break;
      case Kind::Serial:
        if (q->scheduled_ || q->suspendCount_ > 0) {
          ok = false;
        } else {
          q->scheduled_ = true;
          owned.push_back(q);
        }
        break;
    }
  }
  if (!ok) {
    for (Queue* q : owned) q->releaseOwnership();
  }
  return ok;
}

void Queue::releaseChainAfterSync() {
  for (Queue* q = this; q; q = q->target_.get()) {
    if (q->kind_ == Kind::Serial) q->releaseOwnership();
  }
}

void Queue::releaseOwnership() {
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!tasks_.empty() && suspendCount_ == 0) {
      start = true;  // blocks that arrived while the sync owned the queue
    } else {
      scheduled_ = false;
    }
  }
  if (start) scheduleDrain();
}

void Queue::sync(const std::function<void()>& work) {
  for (const Queue* q = this; q; q = q->target_.get()) {
    if (!q->isSerial() || !holds(q)) continue;
    if (q == this) fail("dispatch: sync onto the current queue '" + label_ + "' would deadlock");
    fail("dispatch: sync onto queue '" + label_ + "' would deadlock: its target '" + q->label_ +
         "' is the current queue");
  }

  if (kind_ == Kind::Global) {
    FrameGuard frame(this);
    work();
    return;
  }
  if (!acquireChainForSync()) {
    syncSlow(work);
    return;
  }
  // The chain is idle and now ours: run on the calling thread.
  struct Owner {
    Queue* queue;
    size_t depth = 0;
    explicit Owner(Queue* q) : queue(q) {
      for (Queue* c = q; c; c = c->target_.get()) ++depth;
      tFrames.resize(tFrames.size() + depth);
      size_t at = tFrames.size();
      for (Queue* c = q; c; c = c->target_.get()) tFrames[--at] = c;  // outermost first
    }
    ~Owner() {
      tFrames.resize(tFrames.size() - depth);
      queue->releaseChainAfterSync();
    }
  } owner(this);
  work();
}

void Queue::syncSlow(const std::function<void()>& work) {
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
  } waiter;
  enqueue([&waiter, &work, lent = heldFrames()] {
    {
      LentFrames frames(lent);
      try {
        work();
      } catch (...) {
        waiter.error = std::current_exception();
      }
    }
    std::lock_guard<std::mutex> lock(waiter.mutex);
    waiter.done = true;
    waiter.cv.notify_one();
  });
  std::unique_lock<std::mutex> lock(waiter.mutex);
  waiter.cv.wait(lock, [&waiter] { return waiter.done; });
  if (waiter.error) std::rethrow_exception(waiter.error);
}

// ---- free functions

void once(std::once_flag& flag, const std::function<void()>& fn) { std::call_once(flag, fn); }

bool isMainThread() {
  static thread_local const bool isMain = static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
  return isMain;
}

}  // namespace platform::dispatch
