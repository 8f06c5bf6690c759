// Security descriptors of files and folders: NTFS keeps one whole
// self-relative descriptor per file; a query gets the parts the
// SECURITY_INFORMATION names, a change replaces those parts and keeps the
// others.
#include "platform/drivers/ntfs/ntfs_volume.h"

#include <errno.h>

namespace {

// The file's whole descriptor in a new pool block.
NTSTATUS ReadDescriptor(NtfsVolume *Volume, NtfsFcb *Fcb, PSECURITY_DESCRIPTOR *Out) {
  ULONG room = 256;
  for (int attempt = 0; attempt < 4; ++attempt) {
    PVOID buffer = ExAllocatePool2(POOL_FLAG_PAGED, room, kNtfsTag);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    uint32_t needed = 0;
    int error = NtfsLibGetSecurity(Volume->Lib, Fcb->Inode, buffer, room, &needed);
    if (!error && RtlValidRelativeSecurityDescriptor(buffer, needed, 0)) {
      *Out = buffer;
      return STATUS_SUCCESS;
    }
    ExFreePoolWithTag(buffer, kNtfsTag);
    if (!error) return STATUS_INVALID_SECURITY_DESCR;
    if (error != ERANGE) return NtfsStatus(error);
    room = needed;
  }
  return STATUS_INVALID_SECURITY_DESCR;
}

// A self-relative descriptor of the parts Which names, each from From when
// Which names it, else from Rest (which may be null).
NTSTATUS Compose(SECURITY_INFORMATION Which, PSECURITY_DESCRIPTOR From, PSECURITY_DESCRIPTOR Rest,
                 PSECURITY_DESCRIPTOR *Out, ULONG *Length) {
  SECURITY_DESCRIPTOR sd;
  RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  PSID sid = nullptr;
  PACL acl = nullptr;
  BOOLEAN present = FALSE, defaulted = FALSE;
  PSECURITY_DESCRIPTOR source = (Which & OWNER_SECURITY_INFORMATION) ? From : Rest;
  if (source && NT_SUCCESS(RtlGetOwnerSecurityDescriptor(source, &sid, &defaulted)) && sid)
    RtlSetOwnerSecurityDescriptor(&sd, sid, defaulted);
  source = (Which & GROUP_SECURITY_INFORMATION) ? From : Rest;
  sid = nullptr;
  if (source && NT_SUCCESS(RtlGetGroupSecurityDescriptor(source, &sid, &defaulted)) && sid)
    RtlSetGroupSecurityDescriptor(&sd, sid, defaulted);
  source = (Which & DACL_SECURITY_INFORMATION) ? From : Rest;
  if (source && NT_SUCCESS(RtlGetDaclSecurityDescriptor(source, &present, &acl, &defaulted)) && present)
    RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, defaulted);
  source = (Which & SACL_SECURITY_INFORMATION) ? From : Rest;
  acl = nullptr;
  present = FALSE;
  if (source && NT_SUCCESS(RtlGetSaclSecurityDescriptor(source, &present, &acl, &defaulted)) && present)
    RtlSetSaclSecurityDescriptor(&sd, TRUE, acl, defaulted);
  ULONG size = 0;
  RtlAbsoluteToSelfRelativeSD(&sd, nullptr, &size);
  if (!size) return STATUS_INVALID_SECURITY_DESCR;
  PVOID buffer = ExAllocatePool2(POOL_FLAG_PAGED, size, kNtfsTag);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = RtlAbsoluteToSelfRelativeSD(&sd, buffer, &size);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(buffer, kNtfsTag);
    return status;
  }
  *Out = buffer;
  *Length = size;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtfsQuerySecurity(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  auto *fcb = static_cast<NtfsFcb *>(stack->FileObject->FsContext);
  if (!fcb) return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  SECURITY_INFORMATION which = stack->Parameters.QuerySecurity.SecurityInformation;
  ULONG room = stack->Parameters.QuerySecurity.Length;
  FsEnter(Volume);
  PSECURITY_DESCRIPTOR whole = nullptr;
  NTSTATUS status = Volume->Lib ? ReadDescriptor(Volume, fcb, &whole) : STATUS_VOLUME_DISMOUNTED;
  FsLeave(Volume);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  PSECURITY_DESCRIPTOR part = nullptr;
  ULONG length = 0;
  status = Compose(which, whole, nullptr, &part, &length);
  ExFreePoolWithTag(whole, kNtfsTag);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  if (room < length) {
    ExFreePoolWithTag(part, kNtfsTag);
    // The length it needs goes with the status.
    Irp->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
    Irp->IoStatus.Information = length;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_BUFFER_OVERFLOW;
  }
  PVOID out = FsRequestBuffer(Irp);
  if (out) RtlCopyMemory(out, part, length);
  ExFreePoolWithTag(part, kNtfsTag);
  return FsComplete(Irp, out ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, length);
}

NTSTATUS NtfsSetSecurity(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  auto *fcb = static_cast<NtfsFcb *>(stack->FileObject->FsContext);
  if (!fcb) return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  SECURITY_INFORMATION which = stack->Parameters.SetSecurity.SecurityInformation;
  PSECURITY_DESCRIPTOR given = stack->Parameters.SetSecurity.SecurityDescriptor;
  if (!given) return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  FsEnter(Volume);
  PSECURITY_DESCRIPTOR whole = nullptr;
  NTSTATUS status = Volume->Lib ? ReadDescriptor(Volume, fcb, &whole) : STATUS_VOLUME_DISMOUNTED;
  PSECURITY_DESCRIPTOR merged = nullptr;
  ULONG length = 0;
  if (NT_SUCCESS(status)) status = Compose(which, given, whole, &merged, &length);
  if (NT_SUCCESS(status)) status = NtfsStatus(NtfsLibSetSecurity(Volume->Lib, fcb->Inode, merged, length));
  FsLeave(Volume);
  if (merged) ExFreePoolWithTag(merged, kNtfsTag);
  if (whole) ExFreePoolWithTag(whole, kNtfsTag);
  return FsComplete(Irp, status, 0);
}
