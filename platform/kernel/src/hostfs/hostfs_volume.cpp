// What the host file system answers of labels and security. The host keeps
// no volume label, so setting one is refused (STATUS_ACCESS_DENIED); it
// keeps no Windows security either: a query gets one fixed descriptor
// (owner and group Administrators, full access for everyone, no SACL) cut
// to the parts asked for, and a change is refused as by a file system
// without security (STATUS_INVALID_DEVICE_REQUEST). Host permissions are
// what decides access.
#include "hostfs/hostfs.h"

#include "host/faults.h"
#include "se/sddl.h"

#include <cstring>

namespace bw {

namespace {
constexpr ULONG kHostFsTag = 0x73467348;  // "HsFs"
}  // namespace

NTSTATUS HostFsSetVolumeInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!OpenOf(stack->FileObject)) return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  NTSTATUS status = stack->Parameters.SetVolume.FsInformationClass == FileFsLabelInformation
                        ? STATUS_ACCESS_DENIED
                        : STATUS_INVALID_PARAMETER;
  return HostFsComplete(irp, status, 0);
}

NTSTATUS HostFsQuerySecurity(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!OpenOf(stack->FileObject)) return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  SECURITY_INFORMATION which = stack->Parameters.QuerySecurity.SecurityInformation;
  std::u16string sddl;
  if (which & OWNER_SECURITY_INFORMATION) sddl += u"O:BA";
  if (which & GROUP_SECURITY_INFORMATION) sddl += u"G:BA";
  if (which & DACL_SECURITY_INFORMATION) sddl += u"D:(A;;FA;;;WD)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  NTSTATUS status = SddlToSecurityDescriptor(sddl, &descriptor, kHostFsTag);
  if (!NT_SUCCESS(status)) return HostFsComplete(irp, status, 0);
  ULONG length = RtlLengthSecurityDescriptor(descriptor);
  ULONG room = stack->Parameters.QuerySecurity.Length;
  if (room < length) {
    ExFreePoolWithTag(descriptor, kHostFsTag);
    return HostFsComplete(irp, STATUS_BUFFER_OVERFLOW, length);
  }
  memcpy(irp->UserBuffer, descriptor, length);
  ExFreePoolWithTag(descriptor, kHostFsTag);
  return HostFsComplete(irp, STATUS_SUCCESS, length);
}

NTSTATUS HostFsSetSecurity(PDEVICE_OBJECT, PIRP irp) {
  return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace bw
