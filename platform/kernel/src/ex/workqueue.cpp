// The system worker threads that run work items.
#include "internal.h"
#include "ps/process.h"

#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

namespace bw {

namespace {

struct WorkQueue {
  std::mutex lock;
  std::condition_variable cv;
  std::deque<std::function<void()>> items;
  std::vector<std::thread> workers;
  bool stop = false;
  size_t busy = 0;
};

WorkQueue &Queue() {
  static WorkQueue *q = new WorkQueue;
  return *q;
}

void Worker() {
  // Each worker is a thread of the system process.
  PKTHREAD self = CreateThreadObject(SystemProcess(), 0, true);
  {
    ThreadContext context(self);
    auto &q = Queue();
    std::unique_lock<std::mutex> guard(q.lock);
    for (;;) {
      q.cv.wait(guard, [&] { return q.stop || !q.items.empty(); });
      if (q.items.empty()) break;  // stopping and drained
      auto work = std::move(q.items.front());
      q.items.pop_front();
      ++q.busy;
      guard.unlock();
      work();
      guard.lock();
      --q.busy;
      q.cv.notify_all();
    }
  }
  TerminateThreadObject(self, STATUS_SUCCESS);
  ObfDereferenceObject(self);
}

}  // namespace

void WorkQueueInit() {
  auto &q = Queue();
  std::lock_guard<std::mutex> guard(q.lock);
  q.stop = false;
  for (int i = 0; i < 3; ++i) q.workers.emplace_back(Worker);
}

void WorkQueueShutdown() {
  auto &q = Queue();
  {
    std::lock_guard<std::mutex> guard(q.lock);
    q.stop = true;
    q.cv.notify_all();
  }
  for (auto &t : q.workers) t.join();
  q.workers.clear();
}

void QueueSystemWork(std::function<void()> work) {
  auto &q = Queue();
  std::lock_guard<std::mutex> guard(q.lock);
  q.items.push_back(std::move(work));
  q.cv.notify_one();
}

}  // namespace bw
