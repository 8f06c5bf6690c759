// File-system controls on a FAT volume: the volume lock, dismount and the
// mounted check as every volume has them, with the table written out before
// a lock and at dismount; and compression, which FAT does not have.
#include "platform/drivers/fat/fat_volume.h"

namespace {

NTSTATUS FlushTable(FsVolume *Volume) { return FatFlushTable(&static_cast<FatVolume *>(Volume)->Core); }

VOID FlushAtDismount(FsVolume *Volume) { FlushTable(Volume); }

constexpr FsVolumeHooks kHooks{FlushTable, FlushAtDismount};

}  // namespace

NTSTATUS FatFileSystemControl(FatVolume *Volume, PIRP Irp) {
  NTSTATUS status;
  if (FsVolumeControl(Volume, Irp, &kHooks, &status)) return status;
  // FSCTL_SET_COMPRESSION among them.
  return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
