// What the ntfs_lib_*.cpp files share: the volume as the library holds it,
// and small helpers around libntfs-3g's inodes and attributes.
#pragma once

#include "platform/drivers/ntfs/ntfs_lib.h"

// The library's headers lean on these without including them.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

#include <errno.h>

struct NtfsLibVolume {
  NtfsLibDevice Device;
  struct ntfs_device *Dev;
  ntfs_volume *Vol;
  s64 Position;  // of the device's own reads and writes
  struct PERMISSIONS_CACHE *Cache;  // the library's, for descriptors it has seen
  bool OwnSecure;                   // $Secure opened at mount
};

// The library's flag enums, combined as C combines them.
inline FILE_ATTR_FLAGS NtfsLibFlags(uint32_t Bits) { return static_cast<FILE_ATTR_FLAGS>(cpu_to_le32(Bits)); }

// errno after a library call that failed, never 0.
inline int NtfsLibError() { return errno ? errno : EIO; }

// The device operations that send the library's transfers to the driver.
extern struct ntfs_device_operations gNtfsLibDeviceOps;

// Fills Info from an open inode.
int NtfsLibFillInfo(ntfs_inode *Ni, NtfsLibInfo *Info);
