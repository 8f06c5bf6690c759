// The store of a new volume: empty memory, memory loaded from an image, or
// the image file itself.
#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_file.h"
#include "kernel-support/ks_object.h"
#include "engine/store/store_internal.h"

NTSTATUS StoreCreateForVolume(ULONG MountFlags, ULONG NumaNode, ULONGLONG Size, PCUNICODE_STRING ImagePath,
                              CipherBlock *Cipher, VolumeStore **Store, PULONG Outcome) {
  *Store = nullptr;
  *Outcome = IMAGE_OUTCOME_UNKNOWN;
  BOOLEAN memory = (MountFlags & ENGINE_MOUNT_MEMORY) != 0;
  BOOLEAN raw = (MountFlags & ENGINE_MOUNT_RAW_IMAGE) != 0;
  BOOLEAN image = ImagePath && ImagePath->Buffer && ImagePath->Length;
  if (Size ? !(image || memory) : !image) return STATUS_INVALID_PARAMETER;
  if (!Cipher) return STATUS_INVALID_PARAMETER;
  if (raw && Cipher->AlgorithmId != CIPHER_ALGORITHM_NULL) return STATUS_INVALID_PARAMETER;

  HANDLE file = nullptr;
  ULONGLONG fileSize = 0;
  NTSTATUS status;
  if (image) {
    if (ImagePath->Length < sizeof(WCHAR)) {
      *Outcome = IMAGE_OUTCOME_OPEN_FAILED;
      return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    status = ImageOpenFile(ImagePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN,
                           FILE_NO_INTERMEDIATE_BUFFERING, &file);
    if (NT_SUCCESS(status)) {
      status = ImageQueryFileSize(file, &fileSize);
      if (!NT_SUCCESS(status)) {
        ZwClose(file);
        file = nullptr;
      }
    }
    if (!NT_SUCCESS(status)) {
      *Outcome = IMAGE_OUTCOME_OPEN_FAILED;
      return status;
    }
    if (memory && Size && fileSize >= 2 * IMAGE_HEADER_BLOCK_SIZE && Size < fileSize - 2 * IMAGE_HEADER_BLOCK_SIZE) {
      ZwClose(file);
      *Outcome = IMAGE_OUTCOME_OPEN_FAILED;
      return STATUS_INVALID_PARAMETER;
    }
    // The header's data size replaces this once the header is checked.
    Size = raw ? fileSize : (fileSize > sizeof(ImageHeader) ? fileSize - sizeof(ImageHeader) : 0);
  }

  VolumeStore *store = nullptr;
  status = StoreCreate(memory ? StoreModeMemory : StoreModeFile, raw, ImagePath, file, Size, Cipher, &store);
  if (!NT_SUCCESS(status)) {
    *Outcome = IMAGE_OUTCOME_BAD_BLOCK_SIZE;
    return status;
  }
  store->ImageFileSize = fileSize;

  if (image && !raw) {
    status = memory ? ImageLoadStoreHeader(store) : ImageMapStoreHeader(store);
    if (!NT_SUCCESS(status)) *Outcome = IMAGE_OUTCOME_BAD_HEADER;
  } else {
    status = ImageAllocateHeader(&store->Header, Size, Cipher);
    if (NT_SUCCESS(status) && !image && !raw) store->DataOffset = store->Header->HeaderBlockSize;
  }
  if (NT_SUCCESS(status)) {
    if (image) {
      status = ImageValidateStore(store, Outcome);
    } else {
      store->VolumeSize = Size;
    }
  }
  if (NT_SUCCESS(status)) {
    *Outcome = IMAGE_OUTCOME_UNKNOWN;
    status = StoreCreateChangeMap(store);
  }
  if (NT_SUCCESS(status) && memory) {
    status = StoreCreateMemory(store, MountFlags, NumaNode);
    // Loaded data is not a change.
    if (NT_SUCCESS(status)) ChangeMapClearAll(store->Changes);
  }
  if (NT_SUCCESS(status) && memory && image && (MountFlags & ENGINE_MOUNT_DETACH_IMAGE)) {
    StoreSystemAttach attach;
    KsReleaseObject(&store->ImageFileObject);
    ZwClose(store->ImageFile);
    store->ImageFile = nullptr;
  }
  if (!NT_SUCCESS(status)) {
    StoreRelease(&store, FALSE);
    return status;
  }
  *Outcome = IMAGE_OUTCOME_SUCCESS;
  *Store = store;
  return STATUS_SUCCESS;
}
