// Logon sessions of the stand-in: each has an authentication id, an owning
// host user and, while it lives, its DosDevices directory. Processes join
// one when they are created; ending one removes the directory with every
// link in it and tells the drivers' termination routines.
#pragma once

#include "nt/types.h"
#include "nt/status.h"

#include <cstdint>
#include <string>

namespace bw {

// Makes `logonId` the session of a new process of host user `uid`: a live
// session of that user is joined, an unknown one begins as the user's
// (a default session, which lasts until the kernel stops). Another user's
// session is refused with STATUS_ACCESS_DENIED. SYSTEM_LUID needs nothing:
// its DosDevices is the global one.
NTSTATUS JoinLogonSession(LUID logonId, uint32_t uid);
// A process of the session ended.
void LeaveLogonSession(LUID logonId);
// "\Sessions\0\DosDevices\HHHHHHHH-LLLLLLLL".
std::u16string LogonSessionDirectory(LUID logonId);
// Kernel shutdown: every session is forgotten, no routine is told.
void LogonSessionsShutdown();

}  // namespace bw
