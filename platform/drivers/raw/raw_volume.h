// The raw file system: one volume device per mounted volume, which takes
// every volume as it is (no structure on it) and passes the volume's
// requests to the device below.
#pragma once

#include "platform/drivers/fscommon/fs_file_io.h"

// Extension of a raw volume device: the state every volume keeps, nothing
// more, since a raw volume holds no files.
struct RawVolume : FsVolume {};

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
