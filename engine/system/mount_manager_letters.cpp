// Letters the mount manager owns for any volume device: finding, giving
// and taking away a device's letter (the partitions of emulated disks).
#include "engine/system/drive_letters.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_mount_manager.h"
#include "kernel-support/ks_mounted_devices.h"
#include "kernel-support/ks_string.h"

namespace {

// The first mount point the mount manager reports for Key.
struct FirstPoint {
  PMOUNTMGR_MOUNT_POINTS Points = nullptr;
  ULONG Length = 0;
  KS_MOUNT_POINT_VIEW View;
  ~FirstPoint() { KsFree(&Points); }
};

BOOLEAN QueryFirstPoint(const KS_MOUNT_POINT_KEY *Key, FirstPoint *First) {
  if (!NT_SUCCESS(KsQueryMountPoints(Key, &First->Points, &First->Length))) return FALSE;
  return KsMountPointAt(First->Points, First->Length, 0, &First->View);
}

}  // namespace

WCHAR FindLetterOfDevice(PCUNICODE_STRING DeviceName) {
  if (!DeviceName) return 0;
  for (WCHAR letter = 'A'; letter <= 'Z'; ++letter) {
    PUNICODE_STRING link = nullptr;
    if (!NT_SUCCESS(MakeLetterLink(letter, &link))) return 0;
    KS_MOUNT_POINT_KEY key = {link, nullptr, 0, nullptr};
    FirstPoint first;
    BOOLEAN match = QueryFirstPoint(&key, &first) &&
                    RtlEqualUnicodeString(&first.View.DeviceName, DeviceName, TRUE);
    KsFreeString(&link);
    if (match) return letter;
  }
  return 0;
}

NTSTATUS RemoveAutomaticLetter(PCUNICODE_STRING DeviceName) {
  if (!DeviceName) return STATUS_INVALID_PARAMETER;
  WCHAR letter = FindLetterOfDevice(DeviceName);
  if (!letter) return STATUS_SUCCESS;
  PUNICODE_STRING link = nullptr;
  NTSTATUS status = MakeLetterLink(letter, &link);
  if (!NT_SUCCESS(status)) return status;
  KS_MOUNT_POINT_KEY byLink = {link, nullptr, 0, nullptr};
  status = KsDeleteMountPoints(&byLink);
  KsFreeString(&link);
  // Whatever else the database remembers of the device goes too, so that
  // the letter does not come back at its next arrival.
  KS_MOUNT_POINT_KEY byDevice = {nullptr, nullptr, 0, DeviceName};
  FirstPoint first;
  if (QueryFirstPoint(&byDevice, &first) && first.View.UniqueIdLength)
    KsMountedDevicesDeleteByData(first.View.UniqueId, first.View.UniqueIdLength);
  return status;
}

NTSTATUS SetMountManagerLetter(PCUNICODE_STRING DeviceName, WCHAR Letter) {
  if (!DeviceName) return STATUS_INVALID_PARAMETER;
  Letter = UpcaseDriveLetter(Letter);
  if (Letter < 'A' || Letter > 'Z') return STATUS_OBJECT_NAME_INVALID;
  WCHAR current = FindLetterOfDevice(DeviceName);
  if (current == Letter) return STATUS_SUCCESS;
  if (current) RemoveAutomaticLetter(DeviceName);
  PUNICODE_STRING link = nullptr;
  NTSTATUS status = MakeLetterLink(Letter, &link);
  if (!NT_SUCCESS(status)) return status;
  status = KsCreateMountPoint(link, DeviceName);
  KsFreeString(&link);
  return status;
}
