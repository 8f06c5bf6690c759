// Mounting a volume with libntfs-3g over the driver's device, and what the
// volume says of itself: sizes, free space, label.
#include "platform/drivers/ntfs/ntfs_lib_internal.h"

#include <ntfs-3g/logging.h>

#include <stdlib.h>
#include <string.h>

namespace {

// The library's messages are for people at a terminal; the driver answers
// with statuses instead.
int Quiet(const char *, const char *, int, u32, void *, const char *, va_list) { return 0; }

}  // namespace

int NtfsLibMount(const NtfsLibDevice *Device, NtfsLibVolume **Volume) {
  ntfs_log_set_handler(Quiet);
  auto *volume = static_cast<NtfsLibVolume *>(calloc(1, sizeof(NtfsLibVolume)));
  if (!volume) return ENOMEM;
  volume->Device = *Device;
  char name[] = "ntfs-volume";
  volume->Dev = ntfs_device_alloc(name, 0, &gNtfsLibDeviceOps, volume);
  if (!volume->Dev) {
    free(volume);
    return ENOMEM;
  }
  errno = 0;
  volume->Vol = ntfs_device_mount(volume->Dev, NTFS_MNT_NONE);
  if (!volume->Vol) {
    int error = NtfsLibError();
    ntfs_device_free(volume->Dev);
    free(volume);
    return error;
  }
  // Windows opens names without regard to case; the volume keeps them as
  // given (the library's own ignore-case mode would store them in lower
  // case).
  NVolClearCaseSensitive(volume->Vol);
  // Security descriptors live in $Secure; a volume of the old format
  // without it keeps them per file.
  if (!volume->Vol->secure_ni) volume->OwnSecure = ntfs_open_secure(volume->Vol) == 0;
  // The free-space counts are kept up to date from here on.
  ntfs_volume_get_free_space(volume->Vol);
  *Volume = volume;
  return 0;
}

void NtfsLibUnmount(NtfsLibVolume *Volume) {
  if (!Volume) return;
  struct SECURITY_CONTEXT scx;
  memset(&scx, 0, sizeof scx);
  scx.vol = Volume->Vol;
  scx.pseccache = &Volume->Cache;
  ntfs_destroy_security_context(&scx);
  if (Volume->OwnSecure) ntfs_close_secure(Volume->Vol);
  // Unmounting frees the device with the volume.
  ntfs_umount(Volume->Vol, FALSE);
  free(Volume);
}

int NtfsLibQueryVolume(NtfsLibVolume *Volume, NtfsLibVolumeInfo *Info) {
  ntfs_volume *vol = Volume->Vol;
  memset(Info, 0, sizeof *Info);
  Info->ClusterSize = vol->cluster_size;
  Info->SectorSize = vol->sector_size;
  Info->TotalClusters = static_cast<uint64_t>(vol->nr_clusters);
  Info->FreeClusters = vol->free_clusters > 0 ? static_cast<uint64_t>(vol->free_clusters) : 0;
  if (vol->vol_name) {
    ntfschar *label = nullptr;
    int n = ntfs_mbstoucs(vol->vol_name, &label);
    if (n > 0) {
      if (n > 128) n = 128;
      memcpy(Info->Label, label, n * sizeof(char16_t));
      Info->LabelLength = static_cast<uint16_t>(n);
    }
    free(label);
  }
  return 0;
}

int NtfsLibSetLabel(NtfsLibVolume *Volume, const char16_t *Label, uint16_t Length) {
  errno = 0;
  if (ntfs_volume_rename(Volume->Vol, reinterpret_cast<const ntfschar *>(Label), Length)) return NtfsLibError();
  return 0;
}

int NtfsLibFlush(NtfsLibVolume *Volume) {
  errno = 0;
  if (ntfs_device_sync(Volume->Dev)) return NtfsLibError();
  return 0;
}

bool NtfsLibNameIsValid(const char16_t *Name, uint16_t Length) {
  if (Length == 0 || Length > kNtfsMaxName) return false;
  if (Length == 1 && Name[0] == u'.') return false;
  if (Length == 2 && Name[0] == u'.' && Name[1] == u'.') return false;
  for (uint16_t i = 0; i < Length; ++i) {
    char16_t c = Name[i];
    if (c < 0x20) return false;
    switch (c) {
      case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

bool NtfsLibNamesEqual(NtfsLibVolume *Volume, const char16_t *A, uint16_t ALength, const char16_t *B,
                       uint16_t BLength) {
  return ntfs_names_are_equal(reinterpret_cast<const ntfschar *>(A), ALength, reinterpret_cast<const ntfschar *>(B),
                              BLength, IGNORE_CASE, Volume->Vol->upcase, Volume->Vol->upcase_len);
}
