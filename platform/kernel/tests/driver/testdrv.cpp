// A small driver the stand-in's tests load to exercise the I/O manager:
// buffered, direct and neither requests, pending completion from a work
// item, user-mode APCs, system threads with timers, the checker's faults,
// a request that waits to be let go, the disks of testdrv_disk.cpp and the
// letters and logon sessions of testdrv_sessions.cpp.
#include "platform/kernel/tests/driver/testdrv_disk.h"
#include "platform/kernel/tests/driver/testdrv_sessions.h"

#include <ntddk.h>
#include <wdmsec.h>

namespace {

constexpr ULONG kEcho = CTL_CODE(0x22, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kPend = CTL_CODE(0x22, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kQueueApc = CTL_CODE(0x22, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kThreadTimer = CTL_CODE(0x22, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kCompleteTwice = CTL_CODE(0x22, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kPendUnmarked = CTL_CODE(0x22, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kCallerInfo = CTL_CODE(0x22, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kQueueApcToThread = CTL_CODE(0x22, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS);
// The output buffer, locked in an MDL, filled with the input bytes over and over.
constexpr ULONG kFillOutDirect = CTL_CODE(0x22, 0x808, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
// The "output" buffer, locked in an MDL, read as data: Information is the sum of its bytes.
constexpr ULONG kSumInDirect = CTL_CODE(0x22, 0x809, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
// The caller's own addresses: the input copied backwards into the output.
constexpr ULONG kReverseNeither = CTL_CODE(0x22, 0x80A, METHOD_NEITHER, FILE_ANY_ACCESS);
// Waits until the driver unloads (at most 20 s); "\??\BwTestStalled" exists meanwhile.
constexpr ULONG kStall = CTL_CODE(0x22, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Queues a work item that is still running, a while later, when the request
// has long been answered: unloading meanwhile must wait for it.
constexpr ULONG kLateWork = CTL_CODE(0x22, 0x80C, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTag = 0x74737442;  // "Btst"

PDEVICE_OBJECT gDevice;
KEVENT gUnloading;
LONG gOpens;
LONG gCleanups;
LONG gCloses;

struct PendContext {
  PIO_WORKITEM item;
  PIRP irp;
};

VOID CompletePended(PDEVICE_OBJECT, PVOID Context) {
  auto *ctx = static_cast<PendContext *>(Context);
  PIRP irp = ctx->irp;
  IoFreeWorkItem(ctx->item);
  ExFreePoolWithTag(ctx, kTag);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID LateWork(PDEVICE_OBJECT, PVOID Context) {
  LARGE_INTEGER delay;
  delay.QuadPart = -3000000;  // 300 ms
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
}

VOID ApcKernelRoutine(PKAPC Apc, PKNORMAL_ROUTINE *, PVOID *, PVOID *, PVOID *) {
  ExFreePoolWithTag(Apc, kTag);
}

struct TimerThread {
  KTIMER timer;
  NTSTATUS result;
};

VOID TimerThreadMain(PVOID Context) {
  auto *t = static_cast<TimerThread *>(Context);
  LARGE_INTEGER due;
  due.QuadPart = -20 * 10000;  // 20 ms
  KeSetTimer(&t->timer, due, nullptr);
  t->result = KeWaitForSingleObject(&t->timer, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// A request of the direct methods: the MDL over the caller's buffer, mapped.
PUCHAR MappedOutput(PIRP Irp) {
  if (!Irp->MdlAddress) return nullptr;
  return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
}

// METHOD_NEITHER hands over the caller's addresses: a user caller's must
// lie in user space (the probe a driver makes before touching them).
bool CallerMayUse(PIRP Irp, PVOID buffer, ULONG length) {
  if (Irp->RequestorMode != UserMode || length == 0) return true;
  auto start = reinterpret_cast<ULONG_PTR>(buffer);
  return start && start + length > start && start + length <= MmUserProbeAddress;
}

NTSTATUS Stall() {
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BwTestStalled");
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestDevice");
  NTSTATUS status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -20LL * 1000 * 10000;
  KeWaitForSingleObject(&gUnloading, Executive, KernelMode, FALSE, &timeout);
  IoDeleteSymbolicLink(&link);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsTestDisk(DeviceObject)) return DispatchTestDisk(DeviceObject, Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_CREATE) InterlockedIncrement(&gOpens);
  if (stack->MajorFunction == IRP_MJ_CLEANUP) InterlockedIncrement(&gCleanups);
  if (stack->MajorFunction == IRP_MJ_CLOSE) InterlockedIncrement(&gCloses);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsTestDisk(DeviceObject)) return DispatchTestDisk(DeviceObject, Irp);
  {
    NTSTATUS status;
    ULONG_PTR information;
    if (TestSessionsControl(Irp, &status, &information)) {
      Irp->IoStatus.Status = status;
      Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho:
      information = in < out ? in : out;
      break;
    case kPend: {
      auto *ctx = static_cast<PendContext *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PendContext), kTag));
      ctx->item = IoAllocateWorkItem(DeviceObject);
      ctx->irp = Irp;
      IoMarkIrpPending(Irp);
      IoQueueWorkItem(ctx->item, CompletePended, DelayedWorkQueue, ctx);
      return STATUS_PENDING;
    }
    case kLateWork: {
      PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
      if (!item) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      IoQueueWorkItem(item, LateWork, DelayedWorkQueue, item);
      break;
    }
    case kQueueApc: {
      // Input: u64 routine, u64 context. Queued to the requesting thread.
      if (in != 16 || !buffer) {
        status = STATUS_INVALID_BUFFER_SIZE;
        break;
      }
      ULONG64 values[2];
      RtlCopyMemory(values, buffer, 16);
      auto *apc = static_cast<PKAPC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KAPC), kTag));
      KeInitializeApc(apc, KeGetCurrentThread(), OriginalApcEnvironment, ApcKernelRoutine, nullptr,
                      reinterpret_cast<PKNORMAL_ROUTINE>(values[0]), UserMode,
                      reinterpret_cast<PVOID>(values[1]));
      if (!KeInsertQueueApc(apc, reinterpret_cast<PVOID>(ULONG_PTR{7}), nullptr, 0)) {
        ExFreePoolWithTag(apc, kTag);
        status = STATUS_THREAD_IS_TERMINATING;
      }
      break;
    }
    case kQueueApcToThread: {
      // Input: u64 thread handle of the caller, u64 routine, u64 context.
      if (in != 24 || !buffer) {
        status = STATUS_INVALID_BUFFER_SIZE;
        break;
      }
      ULONG64 values[3];
      RtlCopyMemory(values, buffer, 24);
      PVOID thread = nullptr;
      status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(values[0]), 0, *PsThreadType,
                                         UserMode, &thread, nullptr);
      if (!NT_SUCCESS(status)) break;
      auto *apc = static_cast<PKAPC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KAPC), kTag));
      KeInitializeApc(apc, static_cast<PKTHREAD>(thread), OriginalApcEnvironment, ApcKernelRoutine,
                      nullptr, reinterpret_cast<PKNORMAL_ROUTINE>(values[1]), UserMode,
                      reinterpret_cast<PVOID>(values[2]));
      if (!KeInsertQueueApc(apc, reinterpret_cast<PVOID>(ULONG_PTR{7}), nullptr, 0)) {
        ExFreePoolWithTag(apc, kTag);
        status = STATUS_THREAD_IS_TERMINATING;
      }
      ObDereferenceObject(thread);
      break;
    }
    case kThreadTimer: {
      auto *t = static_cast<TimerThread *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TimerThread), kTag));
      KeInitializeTimer(&t->timer);
      t->result = STATUS_UNSUCCESSFUL;
      OBJECT_ATTRIBUTES oa;
      InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
      HANDLE handle;
      status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &oa, nullptr, nullptr,
                                    TimerThreadMain, t);
      if (NT_SUCCESS(status)) {
        PVOID thread;
        ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr);
        ZwClose(handle);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        status = t->result;
      }
      ExFreePoolWithTag(t, kTag);
      break;
    }
    case kCompleteTwice:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case kPendUnmarked:
      return STATUS_PENDING;
    case kCallerInfo: {
      // Output: u32 32-bit flag, u32 session id, requestor mode.
      if (out < 12 || !buffer) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      ULONG info[3] = {static_cast<ULONG>(IoIs32bitProcess(Irp)),
                       PsGetCurrentProcessSessionId(), static_cast<ULONG>(Irp->RequestorMode)};
      RtlCopyMemory(buffer, info, sizeof info);
      information = sizeof info;
      break;
    }
    case kFillOutDirect: {
      PUCHAR output = MappedOutput(Irp);
      if (!output || in == 0) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      auto *input = static_cast<PUCHAR>(buffer);
      for (ULONG i = 0; i < out; ++i) output[i] = input[i % in];
      information = out;
      break;
    }
    case kSumInDirect: {
      PUCHAR data = MappedOutput(Irp);
      if (!data) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      for (ULONG i = 0; i < out; ++i) information += data[i];
      break;
    }
    case kReverseNeither: {
      auto *input = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      auto *output = static_cast<PUCHAR>(Irp->UserBuffer);
      if (!CallerMayUse(Irp, input, in) || !CallerMayUse(Irp, output, out)) {
        status = STATUS_ACCESS_VIOLATION;
        break;
      }
      information = in < out ? in : out;
      for (ULONG i = 0; i < information; ++i) output[i] = input[in - 1 - i];
      break;
    }
    case kStall:
      status = Stall();
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DispatchTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsTestDisk(DeviceObject)) return DispatchTestDisk(DeviceObject, Irp);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

VOID Unload(PDRIVER_OBJECT) {
  KeSetEvent(&gUnloading, 0, FALSE);
  StopTestSessions();
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BwTest");
  IoDeleteSymbolicLink(&link);
  DeleteTestDisks();
  IoDeleteDevice(gDevice);
}

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestDevice");
  UNICODE_STRING sddl = RTL_CONSTANT_STRING(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)");
  NTSTATUS status = IoCreateDeviceSecure(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                         &sddl, nullptr, &gDevice);
  if (!NT_SUCCESS(status)) return status;
  KeInitializeEvent(&gUnloading, NotificationEvent, FALSE);
  status = CreateTestDisks(DriverObject);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(gDevice);
    return status;
  }
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BwTest");
  status = IoCreateSymbolicLink(&link, &name);
  if (NT_SUCCESS(status)) {
    status = StartTestSessions();
    if (!NT_SUCCESS(status)) IoDeleteSymbolicLink(&link);
  }
  if (!NT_SUCCESS(status)) {
    DeleteTestDisks();
    IoDeleteDevice(gDevice);
    return status;
  }
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchTransfer;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchTransfer;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchTransfer;
  DriverObject->DriverUnload = Unload;
  gDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// Counters for the tests, read through the module's exports.
extern "C" __attribute__((visibility("default"))) void TestDriverCounters(LONG *opens, LONG *cleanups,
                                                                         LONG *closes) {
  *opens = gOpens;
  *cleanups = gCleanups;
  *closes = gCloses;
}
