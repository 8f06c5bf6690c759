// Skip-then-fail counters, one per kind of injected fault.
#include "host/faults.h"

#include <mutex>

namespace bw {

namespace {

struct Counter {
  uint32_t skip = 0;
  uint32_t count = 0;
};

std::mutex gFaultLock;
Counter gCounters[4];

}  // namespace

bool FaultShouldFail(Fault what) {
  std::lock_guard<std::mutex> guard(gFaultLock);
  Counter &c = gCounters[static_cast<int>(what)];
  if (c.count == 0) return false;
  if (c.skip > 0) {
    --c.skip;
    return false;
  }
  --c.count;
  return true;
}

void SetFault(Fault what, uint32_t skip, uint32_t count) {
  std::lock_guard<std::mutex> guard(gFaultLock);
  gCounters[static_cast<int>(what)] = Counter{skip, count};
}

void ClearOtherFaults() {
  std::lock_guard<std::mutex> guard(gFaultLock);
  for (Counter &c : gCounters) c = Counter{};
}

}  // namespace bw
