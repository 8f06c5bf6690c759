// Dispatcher objects: IRQL, spin locks, events, semaphores, mutexes, fast
// mutexes and waits. One dispatcher lock and condition variable serve every
// wait, as the kernel's dispatcher database does.
#include "ke/dispatcher.h"

#include "internal.h"
#include "ps/process.h"
#include "nt/rtl.h"

#include <sched.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace bw {

namespace {
std::mutex gDispatcherLock;
thread_local KIRQL tIrql = PASSIVE_LEVEL;

// A thread blocked in a wait, listed while it waits so that a signal wakes
// only the threads waiting on that object.
struct Waiter {
  PVOID *objects;
  ULONG count;
  std::condition_variable cv;
  Waiter *next;
};
Waiter *gWaiters = nullptr;  // guarded by gDispatcherLock

// Wakes the threads waiting on `object`; call with the lock held.
void WakeWaitersOf(const void *object) {
  for (Waiter *w = gWaiters; w; w = w->next)
    for (ULONG i = 0; i < w->count; ++i)
      if (w->objects[i] == object) {
        w->cv.notify_one();
        break;
      }
}
}  // namespace

std::mutex &DispatcherLock() { return gDispatcherLock; }
void DispatcherNotify() {
  for (Waiter *w = gWaiters; w; w = w->next) w->cv.notify_one();
}

void InitializeDispatcherHeader(DISPATCHER_HEADER *header, UCHAR type, LONG signalState) {
  header->Type = type;
  header->Absolute = 0;
  header->Size = 0;
  header->Inserted = 0;
  header->SignalState = signalState;
  header->WaitListHead.Flink = header->WaitListHead.Blink = &header->WaitListHead;
}

void SignalObject(DISPATCHER_HEADER *header, LONG state) {
  std::lock_guard<std::mutex> guard(gDispatcherLock);
  header->SignalState = state;
  WakeWaitersOf(header);
}

namespace {

bool IsSignalled(DISPATCHER_HEADER *h, PKTHREAD thread) {
  if (h->Type == kMutant) {
    auto *m = reinterpret_cast<KMUTANT *>(h);
    return h->SignalState > 0 || m->OwnerThread == thread;
  }
  return h->SignalState > 0;
}

// Consumes what a satisfied wait takes from the object.
void Satisfy(DISPATCHER_HEADER *h, PKTHREAD thread) {
  switch (h->Type) {
    case kSynchronizationEvent:
    case kSynchronizationTimer:
      h->SignalState = 0;
      break;
    case kSemaphore:
      h->SignalState--;
      break;
    case kMutant: {
      auto *m = reinterpret_cast<KMUTANT *>(h);
      if (m->OwnerThread == thread) {
        m->RecursionCount++;
      } else {
        m->OwnerThread = thread;
        m->RecursionCount = 1;
        h->SignalState = 0;
      }
      break;
    }
    default:
      break;
  }
}

// Deadline for a kernel timeout; nullopt waits forever.
bool DeadlineFor(PLARGE_INTEGER timeout, std::chrono::steady_clock::time_point *deadline) {
  if (!timeout) return false;
  auto now = std::chrono::steady_clock::now();
  LONGLONG t = timeout->QuadPart;
  if (t <= 0) {
    *deadline = now + std::chrono::nanoseconds(-t * 100);
  } else {
    LARGE_INTEGER sys;
    KeQuerySystemTime(&sys);
    LONGLONG delta = t - sys.QuadPart;
    *deadline = now + std::chrono::nanoseconds(delta > 0 ? delta * 100 : 0);
  }
  return true;
}

}  // namespace

}  // namespace bw

using namespace bw;

KIRQL KeGetCurrentIrql(VOID) { return tIrql; }
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql < tIrql) KernelFault("KeRaiseIrql to a lower IRQL");
  *OldIrql = tIrql;
  tIrql = NewIrql;
}
VOID KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > tIrql) KernelFault("KeLowerIrql to a higher IRQL");
  tIrql = NewIrql;
}
KIRQL KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE)) {
    while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED)) sched_yield();
  }
}
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (!__atomic_load_n(SpinLock, __ATOMIC_RELAXED)) KernelFault("KeReleaseSpinLock of a spin lock that is not held");
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  KeAcquireSpinLockAtDpcLevel(SpinLock);
}
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  KeLowerIrql(NewIrql);
}
VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->Lock = SpinLock;
  KeAcquireSpinLock(SpinLock, &LockHandle->OldIrql);
}
VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->Lock, LockHandle->OldIrql);
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  InitializeDispatcherHeader(&Event->Header,
                             Type == NotificationEvent ? kNotificationEvent : kSynchronizationEvent,
                             State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  std::lock_guard<std::mutex> guard(gDispatcherLock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  WakeWaitersOf(Event);
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(gDispatcherLock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(gDispatcherLock);
  return Event->Header.SignalState;
}

VOID KeInitializeSemaphore(PKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  InitializeDispatcherHeader(&Semaphore->Header, kSemaphore, Count);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  std::lock_guard<std::mutex> guard(gDispatcherLock);
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit)
    KernelFault("KeReleaseSemaphore beyond the semaphore's limit");
  Semaphore->Header.SignalState = previous + Adjustment;
  WakeWaitersOf(Semaphore);
  return previous;
}

VOID KeInitializeMutex(PKMUTEX Mutex, ULONG) {
  InitializeDispatcherHeader(&Mutex->Header, kMutant, 1);
  Mutex->OwnerThread = nullptr;
  Mutex->RecursionCount = 0;
}

LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN) {
  std::lock_guard<std::mutex> guard(gDispatcherLock);
  if (Mutex->OwnerThread != KeGetCurrentThread())
    KernelFault("KeReleaseMutex by a thread that does not own the mutex");
  LONG previous = Mutex->Header.SignalState;
  if (--Mutex->RecursionCount == 0) {
    Mutex->OwnerThread = nullptr;
    Mutex->Header.SignalState = 1;
    WakeWaitersOf(Mutex);
  }
  return previous;
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
  bool mayBlock = !(Timeout && Timeout->QuadPart == 0);
  if (mayBlock && tIrql > APC_LEVEL) KernelFault("blocking wait at DISPATCH_LEVEL or above");
  PKTHREAD self = KeGetCurrentThread();
  std::chrono::steady_clock::time_point deadline;
  bool timed = DeadlineFor(Timeout, &deadline);
  std::unique_lock<std::mutex> guard(gDispatcherLock);
  Waiter waiter{Object, Count, {}, nullptr};
  bool listed = false;
  // Leaves the waiter list however the wait ends.
  struct Unlist {
    Waiter *waiter;
    bool *listed;
    ~Unlist() {
      if (!*listed) return;
      for (Waiter **p = &gWaiters; *p; p = &(*p)->next)
        if (*p == waiter) {
          *p = waiter->next;
          break;
        }
    }
  } unlist{&waiter, &listed};
  for (;;) {
    if (WaitType == WaitAny) {
      for (ULONG i = 0; i < Count; ++i) {
        auto *h = static_cast<DISPATCHER_HEADER *>(Object[i]);
        if (IsSignalled(h, self)) {
          Satisfy(h, self);
          return static_cast<NTSTATUS>(STATUS_WAIT_0 + i);
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < Count && all; ++i)
        all = IsSignalled(static_cast<DISPATCHER_HEADER *>(Object[i]), self);
      if (all) {
        for (ULONG i = 0; i < Count; ++i)
          Satisfy(static_cast<DISPATCHER_HEADER *>(Object[i]), self);
        return STATUS_SUCCESS;
      }
    }
    if (!listed) {
      waiter.next = gWaiters;
      gWaiters = &waiter;
      listed = true;
    }
    if (timed) {
      if (waiter.cv.wait_until(guard, deadline) == std::cv_status::timeout &&
          std::chrono::steady_clock::now() >= deadline) {
        // One last look: the object may have been signalled at the deadline.
        bool any = false;
        for (ULONG i = 0; i < Count && !any; ++i)
          any = IsSignalled(static_cast<DISPATCHER_HEADER *>(Object[i]), self);
        if (!any || WaitType == WaitAll) return STATUS_TIMEOUT;
      }
    } else {
      waiter.cv.wait(guard);
    }
  }
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, WaitReason, WaitMode, Alertable, Timeout,
                                  nullptr);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (!Interval) return STATUS_INVALID_PARAMETER;
  if (tIrql > APC_LEVEL) KernelFault("KeDelayExecutionThread above APC_LEVEL");
  std::chrono::steady_clock::time_point deadline;
  DeadlineFor(Interval, &deadline);
  std::this_thread::sleep_until(deadline);
  return STATUS_SUCCESS;
}

// Fast mutexes work as the kernel's do: a count and a synchronization event.
VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

// The owner is read by other threads' checks while it changes: relaxed
// atomic accesses, as the ordering comes from Count and the event.
VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  PKTHREAD self = KeGetCurrentThread();
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == self)
    KernelFault("recursive acquisition of a fast mutex");
  if (__atomic_sub_fetch(&FastMutex->Count, 1, __ATOMIC_ACQ_REL) != 0) {
    __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
    KeWaitForSingleObject(&FastMutex->Event, WrExecutive, KernelMode, FALSE, nullptr);
  }
  __atomic_store_n(&FastMutex->Owner, static_cast<PVOID>(self), __ATOMIC_RELAXED);
}

VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread())
    KernelFault("fast mutex released by a thread that does not own it");
  __atomic_store_n(&FastMutex->Owner, static_cast<PVOID>(nullptr), __ATOMIC_RELAXED);
  if (__atomic_add_fetch(&FastMutex->Count, 1, __ATOMIC_ACQ_REL) != 1)
    KeSetEvent(&FastMutex->Event, 0, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (tIrql > APC_LEVEL) KernelFault("ExAcquireFastMutex above APC_LEVEL");
  KIRQL old = tIrql;
  ExAcquireFastMutexUnsafe(FastMutex);
  FastMutex->OldIrql = old;
  tIrql = APC_LEVEL;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  ExReleaseFastMutexUnsafe(FastMutex);
  tIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  LONG expected = 1;
  if (!__atomic_compare_exchange_n(&FastMutex->Count, &expected, 0, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE))
    return FALSE;
  __atomic_store_n(&FastMutex->Owner, static_cast<PVOID>(KeGetCurrentThread()), __ATOMIC_RELAXED);
  FastMutex->OldIrql = tIrql;
  tIrql = APC_LEVEL;
  return TRUE;
}

VOID KeEnterCriticalRegion(VOID) { KeGetCurrentThread()->CriticalRegion++; }
VOID KeLeaveCriticalRegion(VOID) { KeGetCurrentThread()->CriticalRegion--; }
BOOLEAN KeAreAllApcsDisabled(VOID) { return tIrql >= APC_LEVEL; }
