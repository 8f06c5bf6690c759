// The header of an image opened as a volume's store, and its check.
#include "engine/image/cipher.h"
#include "engine/image/image_file.h"
#include "engine/store/store_internal.h"

namespace {

// A direct mount's or a new image's header lies in the view of the file's
// start, in the system process's user space: only touched attached to it.
BOOLEAN HeaderInView(const VolumeStore *Store) {
  PUCHAR view = static_cast<PUCHAR>(Store->ImageView);
  PUCHAR header = reinterpret_cast<PUCHAR>(Store->Header);
  return header && view && header >= view && header < view + IMAGE_HEADER_BLOCK_SIZE;
}

// The file holds the data and one or two header blocks. Subtracted from the
// file's size, so that a data size near 2^64 cannot wrap around to it.
BOOLEAN FitsFileSize(ULONGLONG DataSize, ULONGLONG FileSize) {
  return (FileSize >= IMAGE_HEADER_BLOCK_SIZE && DataSize == FileSize - IMAGE_HEADER_BLOCK_SIZE) ||
         (FileSize >= 2 * IMAGE_HEADER_BLOCK_SIZE && DataSize == FileSize - 2 * IMAGE_HEADER_BLOCK_SIZE);
}

VOID DropHeader(VolumeStore *Store) {
  if (Store->Header && !HeaderInView(Store)) KsFree(&Store->Header);
  Store->Header = nullptr;
}

}  // namespace

VOID ImageCopyStoreHeader(VolumeStore *Store, ImageHeader *Header) {
  StoreSystemAttach attach(HeaderInView(Store));
  StoreLockData(Store);
  RtlCopyMemory(Header, Store->Header, sizeof(*Header));
  StoreUnlockData(Store);
}

VOID ImageSetStoreHeader(VolumeStore *Store, const ImageHeader *Header) {
  StoreSystemAttach attach(HeaderInView(Store));
  StoreLockData(Store);
  RtlCopyMemory(Store->Header, Header, sizeof(*Header));
  StoreUnlockData(Store);
}

NTSTATUS ImageLoadStoreHeader(VolumeStore *Store) {
  if (!Store->ImageFile) return STATUS_INVALID_PARAMETER;
  DropHeader(Store);
  ImageHeader *header = static_cast<ImageHeader *>(KsAllocate(sizeof(ImageHeader), IMAGE_HEADER_TAG));
  if (!header) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(header, sizeof(*header));
  NTSTATUS status = STATUS_SUCCESS;
  if (Store->ImageFileSize >= sizeof(ImageHeader)) {
    // A whole header block, as an unbuffered file wants it; a file shorter
    // than that still shows what it has.
    PUCHAR block = static_cast<PUCHAR>(KsAllocate(IMAGE_HEADER_BLOCK_SIZE, IMAGE_HEADER_TAG));
    if (!block) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      IO_STATUS_BLOCK iosb = {};
      LARGE_INTEGER at;
      at.QuadPart = 0;
      status = ZwReadFile(Store->ImageFile, nullptr, nullptr, nullptr, &iosb, block, IMAGE_HEADER_BLOCK_SIZE, &at,
                          nullptr);
      if (NT_SUCCESS(status) && iosb.Information < sizeof(ImageHeader)) status = STATUS_DATA_ERROR;
      if (NT_SUCCESS(status)) RtlCopyMemory(header, block, sizeof(ImageHeader));
      KsFree(&block);
    }
  }
  if (!NT_SUCCESS(status)) {
    KsFree(&header);
    return status;
  }
  Store->Header = header;
  return STATUS_SUCCESS;
}

NTSTATUS ImageMapStoreHeader(VolumeStore *Store) {
  if (!Store->ImageFile || Store->ImageView) return STATUS_INVALID_PARAMETER;
  // Too short for a header block: a pool copy shows what there is, and the
  // check of the image refuses it.
  if (Store->ImageFileSize < IMAGE_HEADER_BLOCK_SIZE) return ImageLoadStoreHeader(Store);
  DropHeader(Store);
  // The view belongs to the system process, whoever asked for the volume.
  StoreSystemAttach attach;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE section = nullptr;
  NTSTATUS status = ZwCreateSection(&section, SECTION_MAP_READ | SECTION_MAP_WRITE | SECTION_QUERY, &attributes,
                                    nullptr, PAGE_READWRITE, SEC_COMMIT, Store->ImageFile);
  if (!NT_SUCCESS(status)) return status;
  PVOID base = nullptr;
  SIZE_T viewSize = IMAGE_HEADER_BLOCK_SIZE;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  status = ZwMapViewOfSection(section, ZwCurrentProcess(), &base, 0, IMAGE_HEADER_BLOCK_SIZE, &offset, &viewSize,
                              ViewUnmap, 0, PAGE_READWRITE);
  ZwClose(section);
  if (!NT_SUCCESS(status)) return status;
  Store->ImageView = base;
  Store->Header = static_cast<ImageHeader *>(base);
  return STATUS_SUCCESS;
}

NTSTATUS ImageValidateStore(VolumeStore *Store, PULONG Outcome) {
  *Outcome = IMAGE_OUTCOME_UNKNOWN;
  if (StoreIsRaw(Store)) {
    Store->DataOffset = IMAGE_HEADER_BLOCK_SIZE;
    Store->VolumeSize = Store->ImageFileSize;
    *Outcome = IMAGE_OUTCOME_SUCCESS;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = STATUS_SUCCESS;
  ULONGLONG fileSize = Store->ImageFileSize;
  ImageHeader copy;
  const ImageHeader *header = nullptr;
  if (Store->Header) {
    ImageCopyStoreHeader(Store, &copy);
    header = &copy;
  }
  const CipherBlock *cipher = Store->Cipher;
  if (fileSize < sizeof(ImageHeader) || !header) {
    *Outcome = IMAGE_OUTCOME_BAD_HEADER;
    status = STATUS_UNRECOGNIZED_VOLUME;
  } else if (ULONG check = ImageCheckHeader(header); check != IMAGE_OUTCOME_SUCCESS) {
    *Outcome = check;
    status = STATUS_FILE_CORRUPT_ERROR;
  } else if (header->HeaderBlockSize != IMAGE_HEADER_BLOCK_SIZE || !FitsFileSize(header->DataSize, fileSize)) {
    // Every image has 4096-byte header blocks; another value would move the
    // data and the copies to where nothing of the image lies.
    *Outcome = IMAGE_OUTCOME_BAD_HEADER;
    status = STATUS_FILE_INVALID;
  } else if (!cipher || header->AlgorithmId != cipher->AlgorithmId || header->KeyLength != cipher->KeyLength ||
             header->CipherBlockSize != cipher->BlockSize || cipher->BlockSize == 0 ||
             header->DataSize % cipher->BlockSize != 0) {
    *Outcome = IMAGE_OUTCOME_UNKNOWN_ALGORITHM;
    status = IMAGE_STATUS_CIPHER_MISMATCH;
  } else if (cipher->AlgorithmId != CIPHER_ALGORITHM_NULL) {
    UCHAR keyCheck[IMAGE_KEY_CHECK_SIZE];
    status = CipherKeyCheck(cipher, keyCheck);
    if (!NT_SUCCESS(status)) {
      *Outcome = IMAGE_OUTCOME_UNKNOWN;
    } else if (!RtlEqualMemory(keyCheck, header->KeyCheck, sizeof(keyCheck))) {
      *Outcome = IMAGE_OUTCOME_BAD_KEY;
      status = STATUS_ACCESS_DENIED;
    }
  }
  if (!NT_SUCCESS(status)) {
    DropHeader(Store);
    return status;
  }
  Store->DataOffset = header->HeaderBlockSize;
  Store->VolumeSize = header->DataSize;
  *Outcome = IMAGE_OUTCOME_SUCCESS;
  return STATUS_SUCCESS;
}
