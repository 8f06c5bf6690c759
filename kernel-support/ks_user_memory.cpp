#include "kernel-support/ks_user_memory.h"

namespace {

// As a mask, ZeroBits asks for an address whose bits above it are clear.
constexpr ULONG_PTR kBelow2GB = 0x7FFFFFFF;

NTSTATUS OpenProcess(PEPROCESS Process, PHANDLE Handle) {
  return ObOpenObjectByPointer(Process, OBJ_KERNEL_HANDLE, nullptr, PROCESS_VM_OPERATION, *PsProcessType,
                               KernelMode, Handle);
}

}  // namespace

NTSTATUS KsCopyToProcess(PEPROCESS Process, const VOID *Data, SIZE_T Length, BOOLEAN LowAddress,
                         PVOID *UserAddress) {
  if (!Process || !Data || !Length || !UserAddress) return STATUS_INVALID_PARAMETER;
  *UserAddress = nullptr;
  HANDLE process;
  NTSTATUS status = OpenProcess(Process, &process);
  if (!NT_SUCCESS(status)) return status;
  PVOID base = nullptr;
  SIZE_T size = Length;
  status = ZwAllocateVirtualMemory(process, &base, LowAddress ? kBelow2GB : 0, &size,
                                   MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ZwClose(process);
  if (!NT_SUCCESS(status)) return status;
  KAPC_STATE state;
  KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(Process), &state);
  RtlCopyMemory(base, Data, Length);
  KeUnstackDetachProcess(&state);
  *UserAddress = base;
  return STATUS_SUCCESS;
}

NTSTATUS KsFreeInProcess(PEPROCESS Process, PVOID *UserAddress) {
  if (!Process || !UserAddress) return STATUS_INVALID_PARAMETER;
  if (!*UserAddress) return STATUS_SUCCESS;
  HANDLE process;
  NTSTATUS status = OpenProcess(Process, &process);
  if (!NT_SUCCESS(status)) return status;
  SIZE_T size = 0;
  status = ZwFreeVirtualMemory(process, UserAddress, &size, MEM_RELEASE);
  ZwClose(process);
  *UserAddress = nullptr;
  return status;
}
