// Executive resources. Shared and exclusive acquisitions take a fast path
// of one atomic exchange; a thread that must wait sleeps on the resource's
// host condition. A waiting exclusive acquirer holds back new shared ones,
// so that a steady stream of readers cannot starve a writer. The exclusive
// owner may acquire again (shared or exclusive) and releases as often.
#include <condition_variable>
#include <mutex>
#include <new>

#include "host/faults.h"
#include "internal.h"
#include "nt/ex.h"

namespace {

constexpr LONG RESOURCE_HELD_EXCLUSIVE = -1;

struct HostWait {
  std::mutex Lock;
  std::condition_variable Wake;
};
static_assert(sizeof(HostWait) <= sizeof(ERESOURCE::HostWait));

HostWait &WaitOf(PERESOURCE Resource) { return *std::launder(reinterpret_cast<HostWait *>(Resource->HostWait)); }

PVOID CurrentThread() { return KeGetCurrentThread(); }

BOOLEAN TryShared(PERESOURCE Resource) {
  LONG count = __atomic_load_n(&Resource->ActiveCount, __ATOMIC_SEQ_CST);
  while (count >= 0 && __atomic_load_n(&Resource->ExclusiveWaiters, __ATOMIC_SEQ_CST) == 0) {
    if (__atomic_compare_exchange_n(&Resource->ActiveCount, &count, count + 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
      return TRUE;
    }
  }
  return FALSE;
}

BOOLEAN TryExclusive(PERESOURCE Resource) {
  LONG idle = 0;
  if (!__atomic_compare_exchange_n(&Resource->ActiveCount, &idle, RESOURCE_HELD_EXCLUSIVE, false,
                                   __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
    return FALSE;
  }
  __atomic_store_n(&Resource->OwnerThread, CurrentThread(), __ATOMIC_RELAXED);
  Resource->Recursion = 0;
  return TRUE;
}

// Sleeps until Try succeeds. Waiters is raised under the host lock before
// the last try, and releasers read it after their own update, so a release
// either sees the sleeper or the sleeper sees the release.
template <typename Try>
VOID SleepUntil(PERESOURCE Resource, Try TryAcquire) {
  HostWait &wait = WaitOf(Resource);
  std::unique_lock<std::mutex> lock(wait.Lock);
  __atomic_add_fetch(&Resource->Waiters, 1, __ATOMIC_SEQ_CST);
  while (!TryAcquire(Resource)) wait.Wake.wait(lock);
  __atomic_sub_fetch(&Resource->Waiters, 1, __ATOMIC_SEQ_CST);
}

VOID WakeSleepers(PERESOURCE Resource) {
  if (__atomic_load_n(&Resource->Waiters, __ATOMIC_SEQ_CST) == 0) return;
  HostWait &wait = WaitOf(Resource);
  std::lock_guard<std::mutex> lock(wait.Lock);
  wait.Wake.notify_all();
}

BOOLEAN OwnedByCaller(PERESOURCE Resource) {
  return __atomic_load_n(&Resource->OwnerThread, __ATOMIC_RELAXED) == CurrentThread();
}

}  // namespace

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
  Resource->ActiveCount = 0;
  Resource->ExclusiveWaiters = 0;
  Resource->Waiters = 0;
  Resource->Recursion = 0;
  Resource->OwnerThread = nullptr;
  new (Resource->HostWait) HostWait();
  return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
  if (Resource->ActiveCount != 0 || Resource->Waiters != 0) {
    bw::KernelFault("ExDeleteResourceLite: the resource is still held or waited for");
  }
  WaitOf(Resource).~HostWait();
  return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
  if (OwnedByCaller(Resource)) {
    ++Resource->Recursion;
    return TRUE;
  }
  if (TryShared(Resource)) return TRUE;
  if (!Wait) return FALSE;
  SleepUntil(Resource, TryShared);
  return TRUE;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
  if (OwnedByCaller(Resource)) {
    ++Resource->Recursion;
    return TRUE;
  }
  if (TryExclusive(Resource)) return TRUE;
  if (!Wait) return FALSE;
  __atomic_add_fetch(&Resource->ExclusiveWaiters, 1, __ATOMIC_SEQ_CST);
  SleepUntil(Resource, TryExclusive);
  __atomic_sub_fetch(&Resource->ExclusiveWaiters, 1, __ATOMIC_SEQ_CST);
  // Shared acquirers held back by this thread may go once it is done.
  return TRUE;
}

VOID ExReleaseResourceLite(PERESOURCE Resource) {
  if (OwnedByCaller(Resource)) {
    if (Resource->Recursion) {
      --Resource->Recursion;
      return;
    }
    __atomic_store_n(&Resource->OwnerThread, nullptr, __ATOMIC_RELAXED);
    __atomic_store_n(&Resource->ActiveCount, 0, __ATOMIC_SEQ_CST);
    WakeSleepers(Resource);
    return;
  }
  LONG left = __atomic_sub_fetch(&Resource->ActiveCount, 1, __ATOMIC_SEQ_CST);
  if (left < 0) bw::KernelFault("ExReleaseResourceLite: the resource is not held");
  if (left == 0) WakeSleepers(Resource);
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) { return OwnedByCaller(Resource); }
