// Security descriptors of files (NtQuerySecurityObject,
// NtSetSecurityObject): IRP_MJ_QUERY_SECURITY with the caller's buffer in
// Irp->UserBuffer, IRP_MJ_SET_SECURITY with a captured copy of the
// descriptor. A file system that keeps no security answers
// STATUS_INVALID_DEVICE_REQUEST.
#include "internal.h"
#include "io/io_internal.h"

#include <cstring>

namespace bw {

namespace {
constexpr ULONG kIoSecurityTag = 0x53536F49;  // "IoSS"
constexpr SECURITY_INFORMATION kOwnerParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
}  // namespace

ACCESS_MASK QuerySecurityAccess(SECURITY_INFORMATION which) {
  ACCESS_MASK access = 0;
  if (which & (kOwnerParts | DACL_SECURITY_INFORMATION)) access |= READ_CONTROL;
  if (which & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

ACCESS_MASK SetSecurityAccess(SECURITY_INFORMATION which) {
  ACCESS_MASK access = 0;
  if (which & kOwnerParts) access |= WRITE_OWNER;
  if (which & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
  if (which & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

NTSTATUS FileQuerySecurity(PFILE_OBJECT file, KPROCESSOR_MODE mode, SECURITY_INFORMATION which,
                           PVOID buffer, ULONG length, ULONG *needed) {
  if (length && !buffer) return STATUS_INVALID_PARAMETER;
  IO_STACK_LOCATION shape{};
  shape.MajorFunction = IRP_MJ_QUERY_SECURITY;
  shape.Parameters.QuerySecurity.SecurityInformation = which;
  shape.Parameters.QuerySecurity.Length = length;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = SendFileInformationRequest(file, mode, shape, buffer, length, true, true, &iosb);
  // A file system tells a buffer too small by STATUS_BUFFER_OVERFLOW with
  // the length it needs; the caller learns it as STATUS_BUFFER_TOO_SMALL.
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
    if (needed) *needed = static_cast<ULONG>(iosb.Information);
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (needed) *needed = NT_SUCCESS(status) ? static_cast<ULONG>(iosb.Information) : 0;
  return status;
}

NTSTATUS FileSetSecurity(PFILE_OBJECT file, KPROCESSOR_MODE mode, SECURITY_INFORMATION which,
                         PSECURITY_DESCRIPTOR descriptor) {
  if (!descriptor) return STATUS_INVALID_PARAMETER;
  if (!UserBufferValid(mode, descriptor, SECURITY_DESCRIPTOR_MIN_LENGTH))
    return STATUS_ACCESS_VIOLATION;
  if (!RtlValidSecurityDescriptor(descriptor)) return STATUS_INVALID_SECURITY_DESCR;
  ULONG length = RtlLengthSecurityDescriptor(descriptor);
  if (!UserBufferValid(mode, descriptor, length)) return STATUS_ACCESS_VIOLATION;
  // The file system sees a self-relative copy of its own.
  PVOID captured = nullptr;
  if (static_cast<PISECURITY_DESCRIPTOR>(descriptor)->Control & SE_SELF_RELATIVE) {
    captured = ExAllocatePoolWithTag(PagedPool, length, kIoSecurityTag);
    if (!captured) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(captured, descriptor, length);
  } else {
    ULONG size = 0;
    RtlAbsoluteToSelfRelativeSD(descriptor, nullptr, &size);
    captured = size ? ExAllocatePoolWithTag(PagedPool, size, kIoSecurityTag) : nullptr;
    if (!captured) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = RtlAbsoluteToSelfRelativeSD(descriptor, captured, &size);
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(captured, kIoSecurityTag);
      return status;
    }
  }
  IO_STACK_LOCATION shape{};
  shape.MajorFunction = IRP_MJ_SET_SECURITY;
  shape.Parameters.SetSecurity.SecurityInformation = which;
  shape.Parameters.SetSecurity.SecurityDescriptor = captured;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status =
      SendFileInformationRequest(file, mode, shape, nullptr, 0, false, false, &iosb, true);
  ExFreePoolWithTag(captured, kIoSecurityTag);
  return status;
}

}  // namespace bw

using namespace bw;

namespace {

NTSTATUS ReferenceFileForSecurity(HANDLE handle, PFILE_OBJECT *file) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &FileType, KernelMode, &object, nullptr);
  *file = static_cast<PFILE_OBJECT>(object);
  return status;
}

}  // namespace

NTSTATUS ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                               PULONG LengthNeeded) {
  if (!LengthNeeded) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFileForSecurity(Handle, &file);
  if (!NT_SUCCESS(status)) return status;
  ULONG needed = 0;
  status = FileQuerySecurity(file, KernelMode, SecurityInformation, SecurityDescriptor, Length,
                             &needed);
  *LengthNeeded = needed;
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor) {
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFileForSecurity(Handle, &file);
  if (!NT_SUCCESS(status)) return status;
  status = FileSetSecurity(file, KernelMode, SecurityInformation, SecurityDescriptor);
  ObfDereferenceObject(file);
  return status;
}
