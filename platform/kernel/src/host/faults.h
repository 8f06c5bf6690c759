// Fault injection counters for the memory manager and the host file system
// (pool faults are counted by the pool itself).
#pragma once

#include "bw/host.h"

namespace bw {

// Consumes one call of the kind: true when this call is to fail.
bool FaultShouldFail(Fault what);
void SetFault(Fault what, uint32_t skip, uint32_t count);
void ClearOtherFaults();

}  // namespace bw
