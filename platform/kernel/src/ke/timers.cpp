// Kernel timers and DPCs. One timer thread keeps the armed timers ordered by
// due time, signals them and runs their DPCs (and queued DPCs) at
// DISPATCH_LEVEL.
#include "ke/dispatcher.h"
#include "internal.h"
#include "ps/process.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

namespace bw {

namespace {

using Clock = std::chrono::steady_clock;

struct TimerState {
  std::mutex lock;
  std::condition_variable cv;
  std::multimap<Clock::time_point, PKTIMER> armed;
  std::map<PKTIMER, Clock::time_point> dueOf;
  std::deque<PKDPC> dpcs;
  std::thread thread;
  bool stop = false;
  bool running = false;
  PKDPC runningDpc = nullptr;
};

TimerState &State() {
  static TimerState *s = new TimerState;
  return *s;
}

void RunDpc(PKDPC dpc) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
  KeLowerIrql(old);
}

void TimerThread() {
  ThreadContext context(CurrentThread());
  auto &s = State();
  std::unique_lock<std::mutex> guard(s.lock);
  while (!s.stop) {
    if (!s.dpcs.empty()) {
      PKDPC dpc = s.dpcs.front();
      s.dpcs.pop_front();
      dpc->DpcData = nullptr;
      s.runningDpc = dpc;
      guard.unlock();
      RunDpc(dpc);
      guard.lock();
      s.runningDpc = nullptr;
      s.cv.notify_all();
      continue;
    }
    if (s.armed.empty()) {
      s.cv.wait(guard);
      continue;
    }
    auto first = s.armed.begin();
    if (first->first > Clock::now()) {
      Clock::time_point due = first->first;  // the node may go while we wait
      s.cv.wait_until(guard, due);
      continue;
    }
    PKTIMER timer = first->second;
    s.armed.erase(first);
    s.dueOf.erase(timer);
    if (timer->Period > 0) {
      auto next = Clock::now() + std::chrono::milliseconds(timer->Period);
      s.armed.emplace(next, timer);
      s.dueOf[timer] = next;
    } else {
      timer->Header.Inserted = 0;
    }
    // Queue the DPC before signalling: a waiter may free the timer as soon
    // as it is signalled, so the timer is not touched afterwards.
    if (timer->Dpc && !timer->Dpc->DpcData) {
      timer->Dpc->DpcData = timer->Dpc;  // marks it queued
      s.dpcs.push_back(timer->Dpc);
    }
    SignalObject(&timer->Header, 1);
  }
}

Clock::time_point DueTimeToDeadline(LARGE_INTEGER due) {
  auto now = Clock::now();
  if (due.QuadPart <= 0) return now + std::chrono::nanoseconds(-due.QuadPart * 100);
  LARGE_INTEGER sys;
  KeQuerySystemTime(&sys);
  LONGLONG delta = due.QuadPart - sys.QuadPart;
  return now + std::chrono::nanoseconds(delta > 0 ? delta * 100 : 0);
}

}  // namespace

void TimersInit() {
  auto &s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.running) return;
  s.stop = false;
  s.running = true;
  s.thread = std::thread(TimerThread);
}

void TimersShutdown() {
  auto &s = State();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.running) return;
    s.stop = true;
    s.cv.notify_all();
  }
  s.thread.join();
  std::lock_guard<std::mutex> guard(s.lock);
  s.running = false;
  s.armed.clear();
  s.dueOf.clear();
  s.dpcs.clear();
}

}  // namespace bw

using namespace bw;

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto &s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (Dpc->DpcData) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Dpc->DpcData = Dpc;
  s.dpcs.push_back(Dpc);
  s.cv.notify_all();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto &s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  for (auto it = s.dpcs.begin(); it != s.dpcs.end(); ++it) {
    if (*it == Dpc) {
      s.dpcs.erase(it);
      Dpc->DpcData = nullptr;
      return TRUE;
    }
  }
  return FALSE;
}

VOID KeFlushQueuedDpcs(VOID) {
  auto &s = State();
  std::unique_lock<std::mutex> guard(s.lock);
  s.cv.wait(guard, [&] { return (s.dpcs.empty() && !s.runningDpc) || !s.running; });
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  InitializeDispatcherHeader(&Timer->Header,
                             Type == NotificationTimer ? kNotificationTimer : kSynchronizationTimer,
                             0);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = &Timer->TimerListEntry;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  auto &s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  BOOLEAN wasArmed = FALSE;
  auto it = s.dueOf.find(Timer);
  if (it != s.dueOf.end()) {
    auto range = s.armed.equal_range(it->second);
    for (auto a = range.first; a != range.second; ++a)
      if (a->second == Timer) {
        s.armed.erase(a);
        break;
      }
    s.dueOf.erase(it);
    wasArmed = TRUE;
  }
  {
    std::lock_guard<std::mutex> dispatcher(DispatcherLock());
    Timer->Header.SignalState = 0;
  }
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(DueTime.QuadPart);
  Timer->Header.Inserted = 1;
  auto deadline = DueTimeToDeadline(DueTime);
  s.armed.emplace(deadline, Timer);
  s.dueOf[Timer] = deadline;
  s.cv.notify_all();
  return wasArmed;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  auto &s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.dueOf.find(Timer);
  if (it == s.dueOf.end()) return FALSE;
  auto range = s.armed.equal_range(it->second);
  for (auto a = range.first; a != range.second; ++a)
    if (a->second == Timer) {
      s.armed.erase(a);
      break;
    }
  s.dueOf.erase(it);
  Timer->Header.Inserted = 0;
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Timer->Header.SignalState ? TRUE : FALSE;
}
