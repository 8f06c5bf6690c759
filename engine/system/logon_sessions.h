// Links that belong to a logon session.
#pragma once

#include "kernel-support/kernel.h"

// Removes the letters of every volume whose letter link is session-local
// and belongs to LogonId (the logon session ended, or Link operation 3).
VOID DropLogonSessionLinks(LUID LogonId);
SE_LOGON_SESSION_TERMINATED_ROUTINE EngineLogonSessionTerminated;
