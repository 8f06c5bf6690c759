#include "kernel-support/ks_mount_manager.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_object.h"

namespace {

// Most replies are one or two points; a larger one is asked for again.
constexpr ULONG kFirstReplyBytes = 1024;
constexpr ULONG kRetryMinimumBytes = 4096;

NTSTATUS SendOnce(PDEVICE_OBJECT Device, ULONG Code, PVOID Input, ULONG InputLength, ULONG ReplyBytes,
                  PVOID *Reply, PULONG ReplyLength) {
  PVOID buffer = nullptr;
  if (ReplyBytes) {
    buffer = KsAllocate(ReplyBytes, KS_TAG_BUFFER, PagedPool);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, ReplyBytes);
  }
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = KsDeviceControl(Device, Code, Input, InputLength, buffer, ReplyBytes, FALSE, &iosb);
  if (status == STATUS_BUFFER_OVERFLOW || NT_SUCCESS(status)) {
    *Reply = buffer;
    *ReplyLength = static_cast<ULONG>(iosb.Information);
    return status;
  }
  KsFree(&buffer);
  return status;
}

}  // namespace

NTSTATUS KsMountManagerRequest(ULONG Code, PVOID Input, ULONG InputLength, PVOID *Reply,
                               PULONG ReplyLength) {
  if (Reply) *Reply = nullptr;
  if (ReplyLength) *ReplyLength = 0;
  if ((Reply == nullptr) != (ReplyLength == nullptr)) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, MOUNTMGR_DEVICE_NAME);
  PFILE_OBJECT fileObject;
  PDEVICE_OBJECT device;
  if (!NT_SUCCESS(KsGetDeviceObject(&name, FILE_READ_ATTRIBUTES, &fileObject, &device)))
    return STATUS_INVALID_DEVICE_STATE;

  NTSTATUS status;
  if (!Reply) {
    IO_STATUS_BLOCK iosb;
    status = KsDeviceControl(device, Code, Input, InputLength, nullptr, 0, FALSE, &iosb);
  } else {
    PVOID buffer = nullptr;
    ULONG length = 0;
    status = SendOnce(device, Code, Input, InputLength, kFirstReplyBytes, &buffer, &length);
    if (status == STATUS_BUFFER_OVERFLOW) {
      // The reply's first ULONG says how many bytes it needs.
      ULONG needed = length >= sizeof(ULONG) ? *static_cast<PULONG>(buffer) : 0;
      KsFree(&buffer);
      if (needed < kRetryMinimumBytes) needed = kRetryMinimumBytes;
      status = SendOnce(device, Code, Input, InputLength, needed, &buffer, &length);
      if (status == STATUS_BUFFER_OVERFLOW) {
        KsFree(&buffer);
        status = STATUS_BUFFER_OVERFLOW;
      }
    }
    if (NT_SUCCESS(status)) {
      *Reply = buffer;
      *ReplyLength = length;
    }
  }
  KsReleaseObject(&fileObject);
  return status;
}

NTSTATUS KsBuildMountPoint(const KS_MOUNT_POINT_KEY *Key, PMOUNTMGR_MOUNT_POINT *Point,
                           PULONG Length) {
  if (!Key || !Point || !Length) return STATUS_INVALID_PARAMETER;
  *Point = nullptr;
  *Length = 0;
  USHORT link = Key->Link ? Key->Link->Length : 0;
  USHORT id = Key->UniqueId ? Key->UniqueIdLength : 0;
  USHORT device = Key->DeviceName ? Key->DeviceName->Length : 0;
  if (!link && !id && !device) return STATUS_INVALID_PARAMETER;
  ULONG size = sizeof(MOUNTMGR_MOUNT_POINT) + link + id + device;
  auto *point = static_cast<PMOUNTMGR_MOUNT_POINT>(KsAllocate(size, KS_TAG_BUFFER, PagedPool));
  if (!point) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(point, size);
  auto *bytes = reinterpret_cast<PUCHAR>(point);
  ULONG offset = sizeof(MOUNTMGR_MOUNT_POINT);
  if (link) {
    point->SymbolicLinkNameOffset = offset;
    point->SymbolicLinkNameLength = link;
    RtlCopyMemory(bytes + offset, Key->Link->Buffer, link);
    offset += link;
  }
  if (id) {
    point->UniqueIdOffset = offset;
    point->UniqueIdLength = id;
    RtlCopyMemory(bytes + offset, Key->UniqueId, id);
    offset += id;
  }
  if (device) {
    point->DeviceNameOffset = offset;
    point->DeviceNameLength = device;
    RtlCopyMemory(bytes + offset, Key->DeviceName->Buffer, device);
  }
  *Point = point;
  *Length = size;
  return STATUS_SUCCESS;
}

BOOLEAN KsMountPointAt(const MOUNTMGR_MOUNT_POINTS *Points, ULONG Length, ULONG Index,
                       KS_MOUNT_POINT_VIEW *View) {
  if (!Points || !View || Length < FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints)) return FALSE;
  if (Index >= Points->NumberOfMountPoints) return FALSE;
  ULONG64 end = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) +
                (static_cast<ULONG64>(Index) + 1) * sizeof(MOUNTMGR_MOUNT_POINT);
  if (end > Length) return FALSE;
  const MOUNTMGR_MOUNT_POINT &point = Points->MountPoints[Index];
  auto inside = [Length](ULONG Offset, USHORT Size) {
    return static_cast<ULONG64>(Offset) + Size <= Length;
  };
  if (!inside(point.SymbolicLinkNameOffset, point.SymbolicLinkNameLength) ||
      !inside(point.UniqueIdOffset, point.UniqueIdLength) ||
      !inside(point.DeviceNameOffset, point.DeviceNameLength) ||
      (point.SymbolicLinkNameLength | point.DeviceNameLength) & 1)
    return FALSE;
  auto *base = reinterpret_cast<const UCHAR *>(Points);
  auto view = [base](ULONG Offset, USHORT Size, UNICODE_STRING *String) {
    String->Buffer = Size ? reinterpret_cast<PWCHAR>(const_cast<UCHAR *>(base + Offset)) : nullptr;
    String->Length = Size;
    String->MaximumLength = Size;
  };
  view(point.SymbolicLinkNameOffset, point.SymbolicLinkNameLength, &View->Link);
  view(point.DeviceNameOffset, point.DeviceNameLength, &View->DeviceName);
  View->UniqueId = point.UniqueIdLength ? base + point.UniqueIdOffset : nullptr;
  View->UniqueIdLength = point.UniqueIdLength;
  return TRUE;
}

NTSTATUS KsAnnounceVolume(PCUNICODE_STRING DeviceName) {
  if (!DeviceName || !DeviceName->Length) return STATUS_INVALID_PARAMETER;
  ULONG size = FIELD_OFFSET(MOUNTMGR_TARGET_NAME, DeviceName) + DeviceName->Length;
  auto *target = static_cast<PMOUNTMGR_TARGET_NAME>(KsAllocate(size, KS_TAG_BUFFER, PagedPool));
  if (!target) return STATUS_INSUFFICIENT_RESOURCES;
  target->DeviceNameLength = DeviceName->Length;
  RtlCopyMemory(target->DeviceName, DeviceName->Buffer, DeviceName->Length);
  NTSTATUS status = KsMountManagerRequest(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, target, size, nullptr, nullptr);
  KsFree(&target);
  return status;
}

NTSTATUS KsCreateMountPoint(PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName) {
  if (!Link || !Link->Length || !DeviceName || !DeviceName->Length) return STATUS_INVALID_PARAMETER;
  ULONG size = sizeof(MOUNTMGR_CREATE_POINT_INPUT) + Link->Length + DeviceName->Length;
  auto *input = static_cast<PMOUNTMGR_CREATE_POINT_INPUT>(KsAllocate(size, KS_TAG_BUFFER, PagedPool));
  if (!input) return STATUS_INSUFFICIENT_RESOURCES;
  input->SymbolicLinkNameOffset = sizeof(MOUNTMGR_CREATE_POINT_INPUT);
  input->SymbolicLinkNameLength = Link->Length;
  input->DeviceNameOffset = static_cast<USHORT>(sizeof(MOUNTMGR_CREATE_POINT_INPUT) + Link->Length);
  input->DeviceNameLength = DeviceName->Length;
  auto *bytes = reinterpret_cast<PUCHAR>(input);
  RtlCopyMemory(bytes + input->SymbolicLinkNameOffset, Link->Buffer, Link->Length);
  RtlCopyMemory(bytes + input->DeviceNameOffset, DeviceName->Buffer, DeviceName->Length);
  NTSTATUS status = KsMountManagerRequest(IOCTL_MOUNTMGR_CREATE_POINT, input, size, nullptr, nullptr);
  KsFree(&input);
  return status;
}

namespace {

NTSTATUS PointRequest(ULONG Code, const KS_MOUNT_POINT_KEY *Key, PVOID *Reply, PULONG ReplyLength) {
  PMOUNTMGR_MOUNT_POINT point;
  ULONG size;
  NTSTATUS status = KsBuildMountPoint(Key, &point, &size);
  if (!NT_SUCCESS(status)) return status;
  status = KsMountManagerRequest(Code, point, size, Reply, ReplyLength);
  KsFree(&point);
  return status;
}

}  // namespace

NTSTATUS KsQueryMountPoints(const KS_MOUNT_POINT_KEY *Key, PMOUNTMGR_MOUNT_POINTS *Points,
                            PULONG Length) {
  if (!Points || !Length) return STATUS_INVALID_PARAMETER;
  PVOID reply = nullptr;
  NTSTATUS status = PointRequest(IOCTL_MOUNTMGR_QUERY_POINTS, Key, &reply, Length);
  if (NT_SUCCESS(status) && *Length < FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints)) {
    KsFree(&reply);
    status = STATUS_INVALID_DEVICE_STATE;
  }
  *Points = static_cast<PMOUNTMGR_MOUNT_POINTS>(reply);
  return status;
}

NTSTATUS KsDeleteMountPoints(const KS_MOUNT_POINT_KEY *Key) {
  PVOID reply = nullptr;
  ULONG length = 0;
  NTSTATUS status = PointRequest(IOCTL_MOUNTMGR_DELETE_POINTS, Key, &reply, &length);
  KsFree(&reply);
  return status;
}

NTSTATUS KsDeleteMountPointsDbOnly(const VOID *UniqueId, USHORT UniqueIdLength) {
  if (!UniqueId || !UniqueIdLength) return STATUS_INVALID_PARAMETER;
  KS_MOUNT_POINT_KEY key = {nullptr, UniqueId, UniqueIdLength, nullptr};
  return PointRequest(IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY, &key, nullptr, nullptr);
}
