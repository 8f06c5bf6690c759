// Notification registrations and their broadcast as user-mode APCs.
#pragma once

#include "kernel-support/kernel.h"

// Bytes the engine places in a 32-bit process for each notification: a
// 16-byte header, then the 8-byte volume handle whose address the routine gets.
struct NotificationBlock32 {
  ULONG Size;   // 24
  ULONG Event;  // the event code, also the routine's first argument
  ULONG64 Reserved;
  ULONG64 VolumeHandle;
};
static_assert(sizeof(NotificationBlock32) == 24);
static_assert(offsetof(NotificationBlock32, VolumeHandle) == 16);

NTSTATUS NotificationTableCreate();
// Drops every registration and frees the table.
VOID NotificationTableDestroy();

// Registers Thread (whose reference passes to the table) with a user
// routine. A thread already registered keeps its routine; the new
// reference is dropped.
NTSTATUS NotifyRegister(PETHREAD Thread, ULONG64 Routine);
// Withdraws the registration of Thread, if any.
VOID NotifyUnregister(PETHREAD Thread);
// Drops the registrations whose threads are terminating.
VOID NotifyDropTerminatedThreads();
ULONG NotifyRegistrationCount();

// Queues Event for the volume Handle to every registered thread.
VOID NotifyBroadcast(ULONG64 Handle, ULONG Event);
