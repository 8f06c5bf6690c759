// Requests to the mount manager ("\Device\MountPointManager") and the
// mount-point records they carry.
#pragma once

#include "kernel-support/kernel.h"

#include <mountmgr.h>

// What a request names: any of a link name, a unique id and a device name.
struct KS_MOUNT_POINT_KEY {
  PCUNICODE_STRING Link;
  const VOID *UniqueId;
  USHORT UniqueIdLength;
  PCUNICODE_STRING DeviceName;
};

// One point of a MOUNTMGR_MOUNT_POINTS reply, as views into the reply.
struct KS_MOUNT_POINT_VIEW {
  UNICODE_STRING Link;
  const UCHAR *UniqueId;
  USHORT UniqueIdLength;
  UNICODE_STRING DeviceName;
};

// Sends Code with Input to the top of the mount manager's stack and waits.
// With Reply, the answer comes back in a pool buffer ("Xbuf", freed with
// KsFree); an answer that does not fit is asked for again with the size the
// first answer named, at least 4096 bytes. STATUS_INVALID_DEVICE_STATE when
// the mount manager's stack cannot be referenced.
NTSTATUS KsMountManagerRequest(ULONG Code, PVOID Input, ULONG InputLength, PVOID *Reply,
                               PULONG ReplyLength);

// The 24-byte record header followed by the link name, the unique id and
// the device name, each located by offset and length ("Xbuf", freed with
// KsFree). A key that names nothing is refused with STATUS_INVALID_PARAMETER.
NTSTATUS KsBuildMountPoint(const KS_MOUNT_POINT_KEY *Key, PMOUNTMGR_MOUNT_POINT *Point,
                           PULONG Length);

// Point Index of a reply of Length bytes; FALSE when the reply does not hold it.
BOOLEAN KsMountPointAt(const MOUNTMGR_MOUNT_POINTS *Points, ULONG Length, ULONG Index,
                       KS_MOUNT_POINT_VIEW *View);

// IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION for the device.
NTSTATUS KsAnnounceVolume(PCUNICODE_STRING DeviceName);
// IOCTL_MOUNTMGR_CREATE_POINT: Link names DeviceName.
NTSTATUS KsCreateMountPoint(PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName);
// IOCTL_MOUNTMGR_QUERY_POINTS; the reply is freed with KsFree.
NTSTATUS KsQueryMountPoints(const KS_MOUNT_POINT_KEY *Key, PMOUNTMGR_MOUNT_POINTS *Points,
                            PULONG Length);
// IOCTL_MOUNTMGR_DELETE_POINTS.
NTSTATUS KsDeleteMountPoints(const KS_MOUNT_POINT_KEY *Key);
// IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY for the unique id.
NTSTATUS KsDeleteMountPointsDbOnly(const VOID *UniqueId, USHORT UniqueIdLength);
