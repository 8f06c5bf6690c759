// The store of a new volume: empty memory, memory loaded from an image, or
// the image file itself.
#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_file.h"
#include "kernel-support/ks_object.h"
#include "engine/store/store_internal.h"

namespace {

// What a create or mount request asks for.
struct VolumeRequest {
  BOOLEAN Memory;  // the data lives in memory (else the image is the store)
  BOOLEAN Raw;     // the image has no header
  BOOLEAN Image;   // an image path was given
};

// A size needs an image or memory to put it in; without a size only an
// image can tell it. Raw images know only the null cipher.
NTSTATUS CheckRequest(ULONG MountFlags, ULONGLONG Size, PCUNICODE_STRING ImagePath, const CipherBlock *Cipher,
                      VolumeRequest *Request) {
  Request->Memory = (MountFlags & ENGINE_MOUNT_MEMORY) != 0;
  Request->Raw = (MountFlags & ENGINE_MOUNT_RAW_IMAGE) != 0;
  Request->Image = ImagePath && ImagePath->Buffer && ImagePath->Length;
  if (Size ? !(Request->Image || Request->Memory) : !Request->Image) return STATUS_INVALID_PARAMETER;
  if (!Cipher) return STATUS_INVALID_PARAMETER;
  if (Request->Raw && Cipher->AlgorithmId != CIPHER_ALGORITHM_NULL) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// Opens the image and reads its size. *Size becomes what the file holds
// (the header's data size replaces it once the header is checked). Every
// failure is outcome 7.
NTSTATUS OpenImage(const VolumeRequest *Request, PCUNICODE_STRING ImagePath, PULONGLONG Size, PHANDLE File,
                   PULONGLONG FileSize, PULONG Outcome) {
  *File = nullptr;
  *FileSize = 0;
  if (ImagePath->Length < sizeof(WCHAR)) {
    *Outcome = IMAGE_OUTCOME_OPEN_FAILED;
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  HANDLE file = nullptr;
  ULONGLONG fileSize = 0;
  NTSTATUS status = ImageOpenFile(ImagePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN,
                                  FILE_NO_INTERMEDIATE_BUFFERING, &file);
  if (NT_SUCCESS(status)) {
    status = ImageQueryFileSize(file, &fileSize);
    if (!NT_SUCCESS(status)) ZwClose(file);
  }
  if (!NT_SUCCESS(status)) {
    *Outcome = IMAGE_OUTCOME_OPEN_FAILED;
    return status;
  }
  // A memory volume asked smaller than the image would cut it.
  if (Request->Memory && *Size && fileSize >= 2 * IMAGE_HEADER_BLOCK_SIZE &&
      *Size < fileSize - 2 * IMAGE_HEADER_BLOCK_SIZE) {
    ZwClose(file);
    *Outcome = IMAGE_OUTCOME_OPEN_FAILED;
    return STATUS_INVALID_PARAMETER;
  }
  *Size = Request->Raw ? fileSize : (fileSize > sizeof(ImageHeader) ? fileSize - sizeof(ImageHeader) : 0);
  *File = file;
  *FileSize = fileSize;
  return STATUS_SUCCESS;
}

// The store's header: read from the image (memory volume) or inside a view
// of it (direct mount); built afresh for a raw image or no image at all.
NTSTATUS SetUpHeader(VolumeStore *Store, const VolumeRequest *Request, ULONGLONG Size, CipherBlock *Cipher,
                     PULONG Outcome) {
  if (Request->Image && !Request->Raw) {
    NTSTATUS status = Request->Memory ? ImageLoadStoreHeader(Store) : ImageMapStoreHeader(Store);
    if (!NT_SUCCESS(status)) *Outcome = IMAGE_OUTCOME_BAD_HEADER;
    return status;
  }
  NTSTATUS status = ImageAllocateHeader(&Store->Header, Size, Cipher);
  if (NT_SUCCESS(status) && !Request->Image && !Request->Raw) Store->DataOffset = Store->Header->HeaderBlockSize;
  return status;
}

// Size and data offset: from the checked image, else as asked.
NTSTATUS SetUpSize(VolumeStore *Store, const VolumeRequest *Request, ULONGLONG Size, PULONG Outcome) {
  if (!Request->Image) {
    Store->VolumeSize = Size;
    return STATUS_SUCCESS;
  }
  return ImageValidateStore(Store, Outcome);
}

// Memory taken (and loaded from the image); loaded data is no change.
NTSTATUS SetUpMemory(VolumeStore *Store, ULONG MountFlags, ULONG NumaNode) {
  NTSTATUS status = StoreCreateMemory(Store, MountFlags, NumaNode);
  if (NT_SUCCESS(status)) ChangeMapClearAll(Store->Changes);
  return status;
}

// A loaded volume that was asked to let go of its image keeps only the path.
VOID DetachImage(VolumeStore *Store) {
  StoreSystemAttach attach;
  KsReleaseObject(&Store->ImageFileObject);
  ZwClose(Store->ImageFile);
  Store->ImageFile = nullptr;
}

}  // namespace

NTSTATUS StoreCreateForVolume(ULONG MountFlags, ULONG NumaNode, ULONGLONG Size, PCUNICODE_STRING ImagePath,
                              CipherBlock *Cipher, VolumeStore **Store, PULONG Outcome) {
  *Store = nullptr;
  *Outcome = IMAGE_OUTCOME_UNKNOWN;
  VolumeRequest request;
  NTSTATUS status = CheckRequest(MountFlags, Size, ImagePath, Cipher, &request);
  if (!NT_SUCCESS(status)) return status;

  HANDLE file = nullptr;
  ULONGLONG fileSize = 0;
  if (request.Image) {
    status = OpenImage(&request, ImagePath, &Size, &file, &fileSize, Outcome);
    if (!NT_SUCCESS(status)) return status;
  }

  VolumeStore *store = nullptr;
  status = StoreCreate(request.Memory ? StoreModeMemory : StoreModeFile, request.Raw, ImagePath, file, Size, Cipher,
                       &store);
  if (!NT_SUCCESS(status)) {
    *Outcome = IMAGE_OUTCOME_BAD_BLOCK_SIZE;
    return status;
  }
  store->ImageFileSize = fileSize;

  status = SetUpHeader(store, &request, Size, Cipher, Outcome);
  if (NT_SUCCESS(status)) status = SetUpSize(store, &request, Size, Outcome);
  if (NT_SUCCESS(status)) {
    *Outcome = IMAGE_OUTCOME_UNKNOWN;
    status = StoreCreateChangeMap(store);
  }
  if (NT_SUCCESS(status) && request.Memory) status = SetUpMemory(store, MountFlags, NumaNode);
  if (NT_SUCCESS(status) && request.Memory && request.Image && (MountFlags & ENGINE_MOUNT_DETACH_IMAGE)) {
    DetachImage(store);
  }
  if (!NT_SUCCESS(status)) {
    StoreRelease(&store, FALSE);
    return status;
  }
  *Outcome = IMAGE_OUTCOME_SUCCESS;
  *Store = store;
  return STATUS_SUCCESS;
}
