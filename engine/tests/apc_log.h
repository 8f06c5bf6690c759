// Collects the user-mode APCs a user thread of the stand-in receives.
#pragma once

#include "bw/user_session.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace enginetest {

// What a user thread's APC sink received.
class ApcLog {
 public:
  void Attach(bw::UserThread &thread) {
    thread.SetApcSink([this](const bw::UserApc &apc) {
      std::lock_guard<std::mutex> guard(lock_);
      apcs_.push_back(apc);
      changed_.notify_all();
    });
  }
  std::vector<bw::UserApc> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return apcs_.size() >= count; });
    return apcs_;
  }
  // Waits until an APC whose first system argument is Event has come.
  bool WaitForEvent(uint64_t event, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] {
      for (const auto &apc : apcs_)
        if (apc.systemArgument1 == event) return true;
      return false;
    });
  }
  std::vector<bw::UserApc> All() {
    std::lock_guard<std::mutex> guard(lock_);
    return apcs_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return apcs_.size();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<bw::UserApc> apcs_;
};

}  // namespace enginetest
