// Automatic volumes: created by the engine itself at every start.
#pragma once

#include "kernel-support/kernel.h"

// Rewrites entries of the older one-value-per-volume layout as subkeys.
NTSTATUS ConvertLegacyAutoVolumes();
// Queues CreateAutoVolumes as a system work item.
NTSTATUS QueueAutoVolumeCreation();
// Waits until a queued creation has finished (driver unload).
VOID WaitForAutoVolumeCreation();
IO_WORKITEM_ROUTINE CreateAutoVolumes;
