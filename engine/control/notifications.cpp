#include "engine/control/notifications.h"

#include "engine/start/engine.h"
#include "kernel-support/ks_apc.h"
#include "kernel-support/ks_object.h"
#include "kernel-support/ks_user_memory.h"

namespace {

constexpr ULONG kNotificationBuckets = 32;

struct BroadcastContext {
  ULONG64 Handle;
  ULONG Event;
};

PVOID RoutineValue(ULONG64 Routine) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Routine)); }

// One notification to one thread. A 32-bit process gets the handle in a
// block of its own memory, since its routine cannot take a 64-bit context.
NTSTATUS NotifyThread(PETHREAD Thread, PVOID Routine, ULONG64 Handle, ULONG Event) {
  PVOID eventArgument = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Event));
  PEPROCESS process = PsGetThreadProcess(Thread);
  if (!PsGetProcessWow64Process(process))
    return KsQueueUserApc(Thread, Routine, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Handle)),
                          eventArgument, nullptr, nullptr, nullptr);

  NotificationBlock32 block;
  RtlZeroMemory(&block, sizeof(block));
  block.Size = sizeof(block);
  block.Event = Event;
  block.VolumeHandle = Handle;
  PVOID userBlock = nullptr;
  NTSTATUS status = KsCopyToProcess(process, &block, sizeof(block), TRUE, &userBlock);
  if (!NT_SUCCESS(status)) return status;
  PVOID handleAddress = static_cast<PUCHAR>(userBlock) + offsetof(NotificationBlock32, VolumeHandle);
  status = KsQueueUserApc(Thread, Routine, handleAddress, eventArgument, nullptr, nullptr, nullptr);
  if (!NT_SUCCESS(status)) KsFreeInProcess(process, &userBlock);
  return status;
}

ULONG BroadcastVisitor(PVOID Context, ULONG64 Key, PVOID Value) {
  auto *broadcast = static_cast<BroadcastContext *>(Context);
  // A thread that cannot be notified does not stop the others.
  NotifyThread(reinterpret_cast<PETHREAD>(static_cast<ULONG_PTR>(Key)), Value, broadcast->Handle,
               broadcast->Event);
  return KS_VISIT_CONTINUE;
}

ULONG DropVisitor(PVOID, ULONG64 Key, PVOID) {
  PVOID thread = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Key));
  KsDereferenceObject(thread);
  return KS_VISIT_REMOVE;
}

ULONG DropTerminatedVisitor(PVOID Context, ULONG64 Key, PVOID Value) {
  auto *thread = reinterpret_cast<PETHREAD>(static_cast<ULONG_PTR>(Key));
  if (!PsIsThreadTerminating(thread)) return KS_VISIT_CONTINUE;
  return DropVisitor(Context, Key, Value);
}

ULONG64 KeyOf(PETHREAD Thread) { return static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(Thread)); }

}  // namespace

NTSTATUS NotificationTableCreate() {
  return KsHashTableCreate(kNotificationBuckets, KsHashPointer, &Engine.NotificationTable);
}

VOID NotificationTableDestroy() {
  if (!Engine.NotificationTable) return;
  TableLock();
  KS_HASH_TABLE *table = Engine.NotificationTable;
  Engine.NotificationTable = nullptr;
  TableUnlock();
  KsHashTableDestroy(&table, DropVisitor, nullptr);
}

NTSTATUS NotifyRegister(PETHREAD Thread, ULONG64 Routine) {
  TableLock();
  NTSTATUS status = KsHashTableInsert(Engine.NotificationTable, KeyOf(Thread), RoutineValue(Routine));
  TableUnlock();
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    KsDereferenceObject(Thread);
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) KsDereferenceObject(Thread);
  return status;
}

VOID NotifyUnregister(PETHREAD Thread) {
  TableLock();
  BOOLEAN removed = KsHashTableRemove(Engine.NotificationTable, KeyOf(Thread), nullptr);
  TableUnlock();
  // The table held its own reference on the thread.
  if (removed) KsDereferenceObject(Thread);
}

VOID NotifyDropTerminatedThreads() {
  TableLock();
  KsHashTableWalk(Engine.NotificationTable, DropTerminatedVisitor, nullptr);
  TableUnlock();
}

ULONG NotifyRegistrationCount() {
  TableLock();
  ULONG count = KsHashTableCount(Engine.NotificationTable);
  TableUnlock();
  return count;
}

VOID NotifyBroadcast(ULONG64 Handle, ULONG Event) {
  BroadcastContext context{Handle, Event};
  TableLock();
  KsHashTableWalk(Engine.NotificationTable, BroadcastVisitor, &context);
  TableUnlock();
}
