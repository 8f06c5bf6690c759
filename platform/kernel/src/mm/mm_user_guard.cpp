// The user-space guard. On Windows the user part of the address space is
// the current process's: a view mapped into the system process's user space
// is reached only by a thread attached to that process, and any other
// thread touching the address faults or reaches its own process's memory.
// Every thread of the stand-in shares one host address space, so such a
// touch would silently work. With the guard on, each process's user-space
// mappings are PROT_NONE while no host thread is in that process and are
// opened while at least one is; a touch from outside then faults as it
// should. The host cannot open memory for one thread only, so a second
// thread running at the same moment may slip through: the guard finds such
// faults in the common case and never faults a touch from inside.
//
// A host thread is in a process while it is attached to it, or while it
// stands for a thread of a user process (ps/process.cpp decides which).
#include "mm/mm_internal.h"
#include "ps/process.h"

#include <sys/mman.h>

#include <atomic>

namespace bw {

namespace {

std::atomic<bool> gGuard{false};
// The process the calling host thread is counted in.
thread_local PEPROCESS tPresence = nullptr;

// Called with MmLock held.
void SetUserMappingsOpen(PEPROCESS process, bool open) {
  for (Mapping *m : UserMappingsOf(process))
    mprotect(reinterpret_cast<void *>(m->base), m->bytes, open ? m->protection : PROT_NONE);
}

}  // namespace

void SetUserSpaceGuard(bool on) {
  gGuard = on;
  tPresence = nullptr;
}

int UserMappingProtection(PEPROCESS process, int protection) {
  return gGuard && process && process->UserPresence == 0 ? PROT_NONE : protection;
}

void MoveUserPresence(PEPROCESS process) {
  if (!gGuard.load(std::memory_order_relaxed)) return;
  PEPROCESS from = tPresence;
  if (from == process) return;
  std::lock_guard<std::mutex> guard(MmLock());
  if (from && --from->UserPresence == 0) SetUserMappingsOpen(from, false);
  if (process && process->UserPresence++ == 0) SetUserMappingsOpen(process, true);
  tPresence = process;
}

}  // namespace bw
