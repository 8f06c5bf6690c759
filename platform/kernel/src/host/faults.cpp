// Skip-then-fail counters, one per kind of injected fault.
#include "host/faults.h"

#include <atomic>
#include <mutex>

namespace bw {

namespace {

struct Counter {
  uint32_t skip = 0;
  uint32_t count = 0;
};

std::mutex gFaultLock;
Counter gCounters[4];
// Whether any counter may fail a call: the common case, none armed, is
// answered without the lock on every allocation and mapping.
std::atomic<bool> gArmed{false};

void UpdateArmed() {
  bool armed = false;
  for (const Counter &c : gCounters) armed = armed || c.count != 0;
  gArmed.store(armed, std::memory_order_release);
}

}  // namespace

bool FaultShouldFail(Fault what) {
  if (!gArmed.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> guard(gFaultLock);
  Counter &c = gCounters[static_cast<int>(what)];
  if (c.count == 0) return false;
  if (c.skip > 0) {
    --c.skip;
    return false;
  }
  --c.count;
  UpdateArmed();
  return true;
}

void SetFault(Fault what, uint32_t skip, uint32_t count) {
  std::lock_guard<std::mutex> guard(gFaultLock);
  gCounters[static_cast<int>(what)] = Counter{skip, count};
  UpdateArmed();
}

void ClearOtherFaults() {
  std::lock_guard<std::mutex> guard(gFaultLock);
  for (Counter &c : gCounters) c = Counter{};
  UpdateArmed();
}

}  // namespace bw
