// The raw file system: one volume device per mounted volume, which takes
// every volume as it is (no structure on it) and passes the volume's
// requests to the device below.
#pragma once

#include <ntifs.h>
#include <ntdddisk.h>

// A VPB swapped in at dismount carries the tag of those the I/O manager
// makes: the device frees it as its own.
constexpr ULONG kVpbTag = 0x20627056;  // "Vpb "

// Extension of a raw volume device. The lock guards everything below it.
struct RawVolume {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Target;      // top of the volume's stack, referenced
  PVPB Vpb;                   // the VPB the volume was mounted through
  BOOLEAN OwnsVpb;            // swapped out at dismount: freed with the volume
  volatile LONG Dismounted;   // read without the lock on the request path
  FAST_MUTEX Lock;
  ULONG OpenCount;            // file objects, create to close
  ULONG HandleCount;          // create to cleanup
  PFILE_OBJECT LockedBy;      // the handle that locked the volume
  SHARE_ACCESS Share;
};

// IRP_MN_MOUNT_VOLUME on the file system's own device.
NTSTATUS RawMountVolume(PDRIVER_OBJECT Driver, PIRP Irp);

// Requests on a raw volume device.
NTSTATUS RawVolumeCreate(RawVolume *Volume, PIRP Irp);
NTSTATUS RawVolumeCleanup(RawVolume *Volume, PIRP Irp);
NTSTATUS RawVolumeClose(RawVolume *Volume, PIRP Irp);
NTSTATUS RawVolumeFsControl(RawVolume *Volume, PIRP Irp);
// Reads, writes, device controls, flushes and information requests: the
// request itself goes down to the volume's device.
NTSTATUS RawVolumePassDown(RawVolume *Volume, PIRP Irp);

// Flushes go down too; one the device does not know succeeds.
NTSTATUS RawVolumeFlush(RawVolume *Volume, PIRP Irp);

NTSTATUS RawComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
