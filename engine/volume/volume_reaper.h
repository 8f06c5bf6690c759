// The VolumeReaper thread: destroys volumes that have left service and are
// no longer used, and drops registrations of ended threads.
#pragma once

#include "kernel-support/kernel.h"

NTSTATUS VolumeReaperStart();
// Stops the thread and waits for it.
VOID VolumeReaperStop();
VOID VolumeReaperWake();
