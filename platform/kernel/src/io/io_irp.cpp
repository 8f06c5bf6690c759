// IRPs: allocation, the builders, IoCallDriver and completion. A small
// checker catches what real Windows punishes: completing twice, returning
// STATUS_PENDING without marking the IRP pending, and over-long replies.
#include "internal.h"
#include "io/io_internal.h"
#include "ps/process.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <cstring>

namespace bw {

namespace {

enum IrpOrigin : uint8_t { kDriverAllocated = 0, kThreaded = 1 };

// Precedes every IRP. Who frees an IRP (the last IoCallDriver frame to let
// go, the completion, or IoFreeIrp) is decided by one atomic word: the
// count of IoCallDriver frames still looking at the IRP, and the flag that
// completion has run to the end (or IoFreeIrp was called). A completion on
// another thread and the dispatching frame's return may otherwise both, or
// neither, free it.
constexpr uint32_t kIrpDone = 0x80000000u;
struct IrpHeader {
  uint64_t magic;
  std::atomic<uint32_t> state;  // holds | kIrpDone
  IrpOrigin origin;
  uint8_t pad[3];
  bool Done() const { return (state.load(std::memory_order_acquire) & kIrpDone) != 0; }
};
static_assert(sizeof(IrpHeader) % 16 == 0);
constexpr uint64_t kIrpMagic = 0x50524957424C4956ULL;

std::atomic<size_t> gLiveIrps{0};

IrpHeader *HeaderOfIrp(PIRP irp) { return reinterpret_cast<IrpHeader *>(irp) - 1; }

void ReleaseIrpMemory(PIRP irp) {
  gLiveIrps.fetch_sub(1, std::memory_order_relaxed);
  IrpHeader *h = HeaderOfIrp(irp);
  h->magic = 0;
  h->~IrpHeader();
  free(h);
}

// Frees a finished IRP once no IoCallDriver frame holds it.
void DropHold(PIRP irp) {
  IrpHeader *h = HeaderOfIrp(irp);
  if (h->state.fetch_sub(1, std::memory_order_acq_rel) - 1 == kIrpDone) ReleaseIrpMemory(irp);
}

}  // namespace

size_t OutstandingIrps() { return gLiveIrps.load(std::memory_order_relaxed); }

PIRP AllocateCallerIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (!irp) return nullptr;
  HeaderOfIrp(irp)->origin = kThreaded;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

}  // namespace bw

using namespace bw;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1) StackSize = 1;
  size_t bytes = sizeof(IrpHeader) + sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION);
  void *raw = calloc(1, bytes);
  if (!raw) return nullptr;
  auto *h = new (raw) IrpHeader;
  h->magic = kIrpMagic;
  h->state = 0;
  h->origin = kDriverAllocated;
  auto *irp = reinterpret_cast<PIRP>(h + 1);
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  auto *stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + StackSize;
  irp->IoStatus.Status = STATUS_SUCCESS;
  InitializeListHead(&irp->ThreadListEntry);
  gLiveIrps.fetch_add(1, std::memory_order_relaxed);
  return irp;
}

VOID IoFreeIrp(PIRP Irp) {
  IrpHeader *h = HeaderOfIrp(Irp);
  if (h->magic != kIrpMagic) KernelFault("IoFreeIrp of something that is not a live IRP");
  // With a frame still holding it, it is freed as soon as that frame lets go.
  if ((h->state.fetch_or(kIrpDone, std::memory_order_acq_rel) & ~kIrpDone) == 0) ReleaseIrpMemory(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  CCHAR stackSize = Irp->StackCount;
  USHORT size = Irp->Size;
  memset(Irp, 0, size);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = size;
  Irp->StackCount = stackSize;
  Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackSize;
  Irp->IoStatus.Status = Iostatus;
  InitializeListHead(&Irp->ThreadListEntry);
  HeaderOfIrp(Irp)->state.fetch_and(~kIrpDone, std::memory_order_acq_rel);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  HeaderOfIrp(irp)->origin = kThreaded;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, 0x20206F49);
        if (!irp->AssociatedIrp.SystemBuffer) {
          IoFreeIrp(irp);
          return nullptr;
        }
        memset(irp->AssociatedIrp.SystemBuffer, 0, length);
        if (InputBuffer && InputBufferLength)
          memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (OutputBuffer && OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
      }
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBuffer && InputBufferLength) {
        irp->AssociatedIrp.SystemBuffer =
            ExAllocatePoolWithTag(NonPagedPoolNx, InputBufferLength, 0x20206F49);
        if (!irp->AssociatedIrp.SystemBuffer) {
          IoFreeIrp(irp);
          return nullptr;
        }
        memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBuffer && OutputBufferLength) {
        if (!IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp)) {
          if (irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePool(irp->AssociatedIrp.SystemBuffer);
          IoFreeIrp(irp);
          return nullptr;
        }
        MmProbeAndLockPages(irp->MdlAddress, KernelMode,
                            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT
                                ? IoReadAccess
                                : IoWriteAccess);
      }
      break;
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  HeaderOfIrp(irp)->origin = kThreaded;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = Length;
    if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
    if (DeviceObject->Flags & DO_DIRECT_IO) {
      if (!IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp)) {
        IoFreeIrp(irp);
        return nullptr;
      }
      MmProbeAndLockPages(irp->MdlAddress, KernelMode,
                          MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
    } else if (DeviceObject->Flags & DO_BUFFERED_IO) {
      irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, Length ? Length : 1,
                                                              0x20206F49);
      if (!irp->AssociatedIrp.SystemBuffer) {
        IoFreeIrp(irp);
        return nullptr;
      }
      if (MajorFunction == IRP_MJ_WRITE) memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                   (MajorFunction == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
      irp->UserBuffer = Buffer;
    } else {
      irp->UserBuffer = Buffer;
    }
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

namespace {

// A dispatch that returns STATUS_PENDING has marked its stack location, or
// passed the request down without a completion routine to a driver that
// marked its own: completion carries that mark up to this location, as
// IoCompleteRequest does for every location without a completion routine.
bool PendingMarked(PIRP Irp, PIO_STACK_LOCATION stack) {
  auto *lowest = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
  for (PIO_STACK_LOCATION location = stack;; --location) {
    if (location->Control & SL_PENDING_RETURNED) return true;
    if (location == lowest || (location - 1)->CompletionRoutine) return false;
  }
}

}  // namespace

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IrpHeader *h = HeaderOfIrp(Irp);
  if (h->magic != kIrpMagic || h->Done()) KernelFault("IoCallDriver with an IRP that is not live");
  if (Irp->CurrentLocation <= 1) KernelFault("IoCallDriver: no stack location left in the IRP");
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  h->state.fetch_add(1, std::memory_order_acq_rel);
  NTSTATUS status = dispatch(DeviceObject, Irp);
  if (status == STATUS_PENDING && !PendingMarked(Irp, stack))
    KernelFault("driver returned STATUS_PENDING without IoMarkIrpPending");
  DropHold(Irp);
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR) {
  IrpHeader *h = HeaderOfIrp(Irp);
  if (h->magic != kIrpMagic || h->Done()) KernelFault("IRP completed twice");
  if (Irp->IoStatus.Status == STATUS_PENDING) KernelFault("IRP completed with STATUS_PENDING");
  if (Irp->CurrentLocation > Irp->StackCount) KernelFault("IRP completed that was never sent");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
       Irp->CurrentLocation <= Irp->StackCount + 1;
       stack++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                  (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
    if (invoke && stack->CompletionRoutine) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
      PVOID context = stack->Context;
      stack->CompletionRoutine = nullptr;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  // Completed all the way up: the I/O manager's own final processing.
  if (h->origin != kThreaded)
    KernelFault("IRP from IoAllocateIrp completed without a completion routine that keeps it");
  PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + Irp->StackCount - 1;
  if ((Irp->Flags & IRP_BUFFERED_IO) && (Irp->Flags & IRP_INPUT_OPERATION) &&
      !NT_ERROR(Irp->IoStatus.Status) && Irp->UserBuffer) {
    ULONG limit = first->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                          first->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL
                      ? first->Parameters.DeviceIoControl.OutputBufferLength
                      : first->Parameters.Read.Length;
    if (Irp->IoStatus.Information > limit)
      KernelFault("request completed with more output bytes than its output buffer holds");
    memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, Irp->IoStatus.Information);
  }
  if (Irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePool(Irp->AssociatedIrp.SystemBuffer);
  Irp->AssociatedIrp.SystemBuffer = nullptr;
  for (PMDL mdl = Irp->MdlAddress, next; mdl; mdl = next) {
    next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  Irp->MdlAddress = nullptr;
  IO_STATUS_BLOCK result = Irp->IoStatus;
  PIO_STATUS_BLOCK iosb = Irp->UserIosb;
  PKEVENT event = Irp->UserEvent;
  if ((h->state.fetch_or(kIrpDone, std::memory_order_acq_rel) & ~kIrpDone) == 0) ReleaseIrpMemory(Irp);
  if (iosb) *iosb = result;
  if (event) KeSetEvent(event, 0, FALSE);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine) {
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
  }
  IoReleaseCancelSpinLock(irql);
  return FALSE;
}

namespace {
KSPIN_LOCK gCancelLock = 0;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gCancelLock, Irql); }
VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelLock, Irql); }

BOOLEAN IoIs32bitProcess(PIRP Irp) {
  PETHREAD thread = Irp ? Irp->Tail.Overlay.Thread : PsGetCurrentThread();
  if (!thread) return FALSE;
  if (Irp && Irp->RequestorMode == KernelMode) return FALSE;
  return thread->Tcb.Process->Wow64 ? TRUE : FALSE;
}

PEPROCESS IoGetRequestorProcess(PIRP Irp) {
  PETHREAD thread = Irp->Tail.Overlay.Thread;
  return thread ? thread->Tcb.Process : nullptr;
}
