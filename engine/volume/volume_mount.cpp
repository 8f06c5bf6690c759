// A volume for a create or mount request, step by step, each failure with
// the image status the reply carries.
#include "engine/volume/volume_mount.h"

#include "engine/control/notifications.h"
#include "engine/format/formatters.h"
#include "engine/image/cipher.h"
#include "engine/image/image_file.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/store/volume_store.h"
#include "engine/system/partition_letters.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_random.h"

namespace {

constexpr UCHAR PARTITION_TYPE_IFS = 0x07;

// One partition of type 0x07 from the second sector to the end.
NTSTATUS WritePartitionSector(VolumeStore *Store) {
  UCHAR sector[STORE_SECTOR_SIZE];
  ULONGLONG size = Store->Size();
  if (size <= STORE_SECTOR_SIZE) return STATUS_INVALID_PARAMETER;
  PartitionEntrySpec entry = {STORE_SECTOR_SIZE, size - STORE_SECTOR_SIZE, 0, PARTITION_TYPE_IFS};
  NTSTATUS status = BuildPartitionSector(sector, STORE_SECTOR_SIZE, NewRandom32(), &entry, 1);
  ULONG_PTR bytes = 0;
  if (NT_SUCCESS(status)) status = StoreWrite(Store, STORE_WRITE_INTERNAL, sector, 0, STORE_SECTOR_SIZE, &bytes);
  return status;
}

// Zero fill and format of a fresh memory: outcome 8 when they fail.
NTSTATUS PrepareContents(const VolumeMountParameters *Parameters, VolumeStore *Store, CipherBlock *Cipher,
                         PULONG MountFlags) {
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN image = Parameters->ImagePath != nullptr;
  // Zeros stored through the cipher: the volume reads zeros afterwards.
  if ((*MountFlags & ENGINE_MOUNT_MEMORY) && !image && !CipherIsIdentity(Cipher))
    status = StoreRangeWalk(Store, WALK_NO_READ, 0, 0, StoreZeroFillCallback, nullptr);
  if (!NT_SUCCESS(status) || Parameters->FileSystem == ENGINE_FS_RAW) return status;
  ULONGLONG offset = 0;
  if (*MountFlags & ENGINE_MOUNT_DISK_EMULATION) {
    status = WritePartitionSector(Store);
    if (!NT_SUCCESS(status)) return status;
    // The engine wrote the table itself: the bus must not write another.
    *MountFlags &= ~ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE;
    offset = STORE_SECTOR_SIZE;
  }
  status = FormatVolume(Store, Parameters->FormatFlags, Parameters->FileSystem, Parameters->Label, offset, 0);
  if (NT_SUCCESS(status) && (Parameters->FormatFlags & ENGINE_CREATE_FORMAT_ZERO_FILL))
    *MountFlags |= ENGINE_MOUNT_COMPRESS;
  return status;
}

}  // namespace

// Passive level, in the requesting thread.
NTSTATUS VolumeMount(const VolumeMountParameters *Parameters, ULONG64 *Handle, PULONG Outcome) {
  *Handle = 0;
  *Outcome = ENGINE_IMAGE_STATUS_UNKNOWN;
  ULONG mountFlags = Parameters->MountFlags;
  PCUNICODE_STRING path = Parameters->ImagePath;
  NTSTATUS status = STATUS_SUCCESS;

  ULONG algorithm = Parameters->AlgorithmId;
  if (mountFlags & ENGINE_MOUNT_RAW_IMAGE) {
    algorithm = CIPHER_ALGORITHM_NULL;
  } else if (path) {
    status = ImageSelectAlgorithm(path, &algorithm, Outcome);
    if (!NT_SUCCESS(status)) return status;
  } else if (algorithm == CIPHER_ALGORITHM_NONE) {
    return STATUS_INVALID_PARAMETER;
  }

  CipherBlock *cipher = nullptr;
  ULONG reason = CIPHER_REASON_SUCCESS;
  status = CipherCreate(algorithm, Parameters->Key, Parameters->KeyLength, &cipher, &reason);
  if (!NT_SUCCESS(status)) {
    *Outcome = reason == CIPHER_REASON_UNSUPPORTED ? ENGINE_IMAGE_STATUS_UNKNOWN_ALGORITHM
                                                   : ENGINE_IMAGE_STATUS_UNKNOWN;
    return status;
  }

  VolumeStore *store = nullptr;
  status = StoreCreateForVolume(mountFlags, Parameters->NumaNode, Parameters->Size, path, cipher, &store, Outcome);
  if (!NT_SUCCESS(status)) {
    CipherRelease(&cipher);
    return status;
  }

  status = PrepareContents(Parameters, store, cipher, &mountFlags);
  if (!NT_SUCCESS(status)) *Outcome = ENGINE_IMAGE_STATUS_NOT_FORMATTED;

  VolumeBlock *volume = nullptr;
  if (NT_SUCCESS(status)) {
    status = VolumeCreate(cipher, store, mountFlags, &volume);
    if (!NT_SUCCESS(status)) *Outcome = ENGINE_IMAGE_STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) {
    StoreRelease(&store, FALSE);
    CipherRelease(&cipher);
    return status;
  }
  // The letters the system gave the disk's partitions on its own make way
  // for the ones the user asks for.
  if ((mountFlags & ENGINE_MOUNT_DISK_EMULATION) && NT_SUCCESS(RemoveAutomaticPartitionLetters(volume)))
    NotifyBroadcast(VolumeHandleOf(volume), ENGINE_EVENT_LETTERS_CHANGED);
  if (mountFlags & ENGINE_MOUNT_COMPRESS) VolumeCompressRoot(volume);
  *Outcome = ENGINE_IMAGE_STATUS_SUCCESS;
  *Handle = VolumeHandleOf(volume);
  return STATUS_SUCCESS;
}
