// Executive resources: reader/writer locks that threads hold at passive or
// APC level, inside a critical region.
#pragma once

#include "nt/ke.h"
#include "nt/types.h"

// Drivers treat the resource as opaque; the fields are the stand-in's.
typedef struct _ERESOURCE {
  volatile LONG ActiveCount;       // shared holders, or RESOURCE_HELD_EXCLUSIVE
  volatile LONG ExclusiveWaiters;  // new shared acquisitions wait behind these
  volatile LONG Waiters;           // threads asleep in the resource
  ULONG Recursion;                 // further exclusive acquisitions by the owner
  PVOID volatile OwnerThread;      // the exclusive owner
  ULONG_PTR HostWait[12];          // the host's lock and condition for sleepers
} ERESOURCE, *PERESOURCE;

NTKERNELAPI NTSTATUS ExInitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS ExDeleteResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI VOID ExReleaseResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
