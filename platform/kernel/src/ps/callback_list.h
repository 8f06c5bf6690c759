// Routines drivers register with the kernel to be told of events (process
// creation and exit, logon-session termination). Calls run without any lock
// of the list held, so a routine may wait or call back into the kernel; a
// routine being removed is waited for until its calls in flight on other
// threads have returned, so that a driver may unload right after removing
// it, as the kernel's rundown protection lets it on Windows.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace bw {

template <class Routine>
class CallbackList {
 public:
  // False when the routine is registered already.
  bool Add(Routine routine) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto &e : entries_)
      if (e->routine == routine) return false;
    entries_.push_back(std::make_shared<Entry>(Entry{routine, 0, false}));
    return true;
  }

  // False when the routine was not registered. Returns once no other thread
  // is inside it any more (a routine may remove itself while it runs).
  bool Remove(Routine routine) {
    std::unique_lock<std::mutex> guard(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const std::shared_ptr<Entry> &e) { return e->routine == routine; });
    if (it == entries_.end()) return false;
    std::shared_ptr<Entry> entry = *it;
    entry->removed = true;
    entries_.erase(it);
    size_t own = std::count(Inside().begin(), Inside().end(), entry.get());
    idle_.wait(guard, [&] { return entry->active == own; });
    return true;
  }

  // Calls `call(routine)` for every routine registered now, in order.
  template <class Call>
  void ForEach(const Call &call) {
    std::vector<std::shared_ptr<Entry>> entries;
    {
      std::lock_guard<std::mutex> guard(lock_);
      entries = entries_;
    }
    for (auto &e : entries) {
      {
        // A routine removed meanwhile is not called any more.
        std::lock_guard<std::mutex> guard(lock_);
        if (e->removed) continue;
        ++e->active;
      }
      Inside().push_back(e.get());
      call(e->routine);
      Inside().pop_back();
      std::lock_guard<std::mutex> guard(lock_);
      --e->active;
      idle_.notify_all();
    }
  }

  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
  }

 private:
  struct Entry {
    Routine routine;
    size_t active;  // calls in flight, under lock_
    bool removed;   // under lock_
  };
  // The entries whose routine the calling thread is inside, innermost last.
  static std::vector<const Entry *> &Inside() {
    thread_local std::vector<const Entry *> inside;
    return inside;
  }

  std::mutex lock_;
  std::condition_variable idle_;
  std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace bw
