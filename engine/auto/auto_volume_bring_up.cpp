#include "engine/auto/auto_volume_bring_up.h"

#include "engine/control/control_request.h"
#include "engine/image/cipher.h"
#include "engine/store/volume_store.h"
#include "engine/system/partition_letters.h"
#include "engine/system/volume_reformat.h"
#include "engine/control/notifications.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_reaper.h"
#include "engine/volume/volume_table.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

namespace {

// The fresh file system: the record's, or FAT when FAT32 will not fit.
NTSTATUS FormatFresh(VolumeBlock *Volume, const AutoVolumeDataParts *Record) {
  const VV_AUTO_VOLUME_DATA &head = Record->Head;
  PANSI_STRING label = nullptr;
  NTSTATUS status =
      KsAnsiStringFromBytes(static_cast<PCSTR>(Record->VolumeLabel.Data), Record->VolumeLabel.Length, &label);
  if (!NT_SUCCESS(status)) return status;
  ULONG options = head.FileSystem == ENGINE_FS_NTFS && (head.MountFlags & ENGINE_MOUNT_COMPRESS)
                      ? ENGINE_FORMAT_COMPRESS_ROOT
                      : 0;
  PCSTR text = label->Length ? label->Buffer : nullptr;
  status = ReformatVolume(Volume, head.FileSystem, options, text, -1);
  // Other file systems come up unformatted when formatting fails.
  if (!NT_SUCCESS(status) && head.FileSystem == ENGINE_FS_FAT32)
    status = ReformatVolume(Volume, ENGINE_FS_FAT, options, text, -1);
  else
    status = STATUS_SUCCESS;
  KsFreeAnsiString(&label);
  return status;
}

NTSTATUS AssignRecordLetters(VolumeBlock *Volume, const VV_AUTO_VOLUME_DATA &Head) {
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) {
    // A disk without partitions has nothing to give letters to.
    WCHAR additional[ENGINE_MAX_ADDITIONAL_LETTERS];
    for (UCHAR i = 0; i < Head.AdditionalLetterCount; ++i) additional[i] = Head.AdditionalLetters[i];
    NTSTATUS status =
        VolumeAssignLetters(Volume, Head.DriveLetter, additional, Head.AdditionalLetterCount, FALSE, -1, nullptr);
    return status == STATUS_NOT_FOUND ? STATUS_SUCCESS : status;
  }
  if (!IsDriveLetter(Head.DriveLetter)) return STATUS_OBJECT_NAME_INVALID;
  return VolumeAssignLetters(Volume, Head.DriveLetter, nullptr, 0, FALSE, -1, nullptr);
}

VOID CreateInitialFolders(VolumeBlock *Volume, EngineBytes Block) {
  InitialFolderIterator folders;
  InitialFoldersBegin(&folders, Block);
  EngineBytes folder;
  while (InitialFoldersNext(&folders, &folder) == ENGINE_PARSE_OK) {
    PUNICODE_STRING path = nullptr;
    if (folder.Length && NT_SUCCESS(KsStringFromWide(static_cast<PCWSTR>(folder.Data), folder.Length, &path)))
      VolumeCreateFolder(Volume, path);
    KsFreeString(&path);
  }
}

// Steps up to the letters; a failure of any of them abandons the volume.
NTSTATUS MakeVolume(AutoVolumeStart *Start, VolumeBlock *Volume) {
  const VV_AUTO_VOLUME_DATA &head = Start->Record.Head;
  // Contents loaded from an image are the user's files: only fresh memory
  // is formatted.
  if (head.FileSystem != ENGINE_FS_RAW && Start->Record.ImageFilePath.Length == 0) {
    NTSTATUS status = FormatFresh(Volume, &Start->Record);
    if (!NT_SUCCESS(status)) return status;
  }
  volatile LONG *word = reinterpret_cast<volatile LONG *>(&Volume->Properties);
  ULONG properties = static_cast<ULONG>(InterlockedOr(word, static_cast<LONG>(head.Properties))) | head.Properties;
  if (Volume->Store) VolumeStoreSetProperties(Volume->Store, properties);
  return AssignRecordLetters(Volume, head);
}

// The volume leaves at once with its memory wiped, as a forced unmount.
VOID Abandon(VolumeBlock *Volume) {
  // Letters a partial assignment left would keep the reaper away.
  if (VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER)) VolumeRemoveLetters(Volume, -1);
  Volume->Force = 1;
  Volume->Wipe = 1;
  KIRQL irql;
  KeAcquireSpinLock(&Volume->SpinLock, &irql);
  VolumeClearFlags(Volume, VOLUME_IN_SERVICE);
  KeReleaseSpinLock(&Volume->SpinLock, irql);
  VolumePostCommand(Volume, VOLUME_COMMAND_TAKE_OFFLINE);
  VolumeReaperWake();
}

}  // namespace

VOID AutoVolumeBringUp(AutoVolumeStart *Start) {
  const VV_AUTO_VOLUME_DATA &head = Start->Record.Head;
  BOOLEAN fresh = Start->Record.ImageFilePath.Length == 0;
  ULONG flags = head.MountFlags;
  // A disk-emulated volume gets a fresh partition table from the bus.
  if (head.FileSystem != ENGINE_FS_RAW && fresh) flags |= ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE;

  VolumeBlock *created = nullptr;
  NTSTATUS status = VolumeCreate(Start->Cipher, Start->Store, flags, &created);
  if (!NT_SUCCESS(status)) {
    StoreRelease(&Start->Store, TRUE);
    CipherRelease(&Start->Cipher);
    return;
  }
  // From here the volume owns store and cipher; hold it while it comes up.
  VolumeBlock *volume = nullptr;
  if (!NT_SUCCESS(VolumeReference(VolumeHandleOf(created), &volume))) return;
  Start->Store = nullptr;
  Start->Cipher = nullptr;
  if ((flags & ENGINE_MOUNT_DISK_EMULATION) && NT_SUCCESS(RemoveAutomaticPartitionLetters(volume)))
    NotifyBroadcast(VolumeHandleOf(volume), ENGINE_EVENT_LETTERS_CHANGED);

  status = MakeVolume(Start, volume);
  if (!NT_SUCCESS(status)) {
    Abandon(volume);
    VolumeRelease(&volume);
    return;
  }
  if (flags & ENGINE_MOUNT_COMPRESS) VolumeCompressRoot(volume);
  if (Start->Record.InitialFolders.Length) CreateInitialFolders(volume, Start->Record.InitialFolders);
  if (head.AutoflushPeriod && !fresh && (flags & ENGINE_MOUNT_MEMORY))
    VolumeSetFlushState(volume, head.AutoflushPeriod, head.AutoflushFlags);
  VolumeRelease(&volume);
}
