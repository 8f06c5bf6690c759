// CreateImage: a new image file, zero-filled through its cipher, with an
// optional partition table and a fresh file system.
#include "engine/image/cipher.h"
#include "engine/format/formatters.h"
#include "engine/image/image_file.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_random.h"
#include "engine/store/store_internal.h"

namespace {

constexpr UCHAR PARTITION_TYPE_IFS = 0x07;

// Builds the image in a file already opened (and so owned) by us.
NTSTATUS BuildImage(const ImageCreateParameters *Parameters, HANDLE File, ULONGLONG DataSize,
                    CipherBlock *Cipher) {
  NTSTATUS status = ImageSetFileSize(File, DataSize + 2 * IMAGE_HEADER_BLOCK_SIZE);
  if (!NT_SUCCESS(status)) {
    ZwClose(File);
    return status;
  }
  VolumeStore *store = nullptr;
  status = StoreCreate(StoreModeFile, FALSE, Parameters->Path, File, DataSize, Cipher, &store);
  if (!NT_SUCCESS(status)) return status;
  store->ImageFileSize = DataSize + 2 * IMAGE_HEADER_BLOCK_SIZE;
  store->DataOffset = IMAGE_HEADER_BLOCK_SIZE;

  // Built now, so that it carries the time the creation began; it reaches
  // the file last. Copy 1 lives in the mapped start of the file.
  ImageHeader header;
  status = ImageBuildHeader(&header, DataSize, Cipher);
  if (NT_SUCCESS(status)) status = ImageMapStoreHeader(store);

  // A new file reads as zeros; through a cipher zeros must be stored as the
  // key stream.
  if (NT_SUCCESS(status) && !CipherIsIdentity(Cipher)) {
    status = StoreRangeWalk(store, WALK_NO_READ, 0, 0, StoreZeroFillCallback, nullptr);
  }

  ULONGLONG fileSystemOffset = 0;
  if (NT_SUCCESS(status) && Parameters->Layout == IMAGE_LAYOUT_DISK) {
    UCHAR sector[STORE_SECTOR_SIZE];
    PartitionEntrySpec entry = {STORE_SECTOR_SIZE, DataSize - STORE_SECTOR_SIZE, 0, PARTITION_TYPE_IFS};
    status = BuildPartitionSector(sector, STORE_SECTOR_SIZE, NewRandom32(), &entry, 1);
    if (NT_SUCCESS(status)) {
      ULONG_PTR bytes = 0;
      status = StoreWrite(store, STORE_WRITE_INTERNAL, sector, 0, STORE_SECTOR_SIZE, &bytes);
    }
    fileSystemOffset = STORE_SECTOR_SIZE;
  }
  if (NT_SUCCESS(status)) {
    status = FormatVolume(store, 0, Parameters->FileSystem, Parameters->Label, fileSystemOffset, 0);
  }

  // The header copies go last, each after the data is on disk: a creation
  // cut short leaves a file without a valid copy, which is refused, rather
  // than one that mounts with half its contents.
  if (NT_SUCCESS(status)) status = KsFlushFile(store->ImageFile);
  if (NT_SUCCESS(status)) status = ImageWriteHeaderCopy(store->ImageFile, IMAGE_COPY_SECOND, &header);
  if (NT_SUCCESS(status)) ImageSetStoreHeader(store, &header);
  if (NT_SUCCESS(status)) status = KsFlushFile(store->ImageFile);
  StoreRelease(&store, FALSE);
  return status;
}

}  // namespace

NTSTATUS ImageCreate(const ImageCreateParameters *Parameters) {
  if (!Parameters || !Parameters->Path) return STATUS_INVALID_PARAMETER;
  if (Parameters->Path->Length < sizeof(WCHAR)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (!Parameters->Overwrite && ImageFileExists(Parameters->Path)) return STATUS_OBJECT_NAME_EXISTS;
  if (Parameters->AlgorithmId == CIPHER_ALGORITHM_NONE) return STATUS_INVALID_PARAMETER;
  if (Parameters->Layout != IMAGE_LAYOUT_VOLUME && Parameters->Layout != IMAGE_LAYOUT_DISK) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Parameters->FileSystem > fsNTFS) return STATUS_INVALID_PARAMETER;
  // Room for the rounding and the two header blocks.
  if (Parameters->Size > ~0ull - 4 * IMAGE_HEADER_BLOCK_SIZE) return STATUS_IMPLEMENTATION_LIMIT;
  ULONGLONG dataSize =
      (Parameters->Size + IMAGE_HEADER_BLOCK_SIZE - 1) / IMAGE_HEADER_BLOCK_SIZE * IMAGE_HEADER_BLOCK_SIZE;

  // The size must suit the file system before anything is written.
  ULONGLONG fileSystemOffset = Parameters->Layout == IMAGE_LAYOUT_DISK ? STORE_SECTOR_SIZE : 0;
  if (dataSize <= fileSystemOffset && Parameters->Layout == IMAGE_LAYOUT_DISK) return STATUS_IMPLEMENTATION_LIMIT;
  NTSTATUS status = ImageCheckFormatSize(Parameters->FileSystem, dataSize - fileSystemOffset);
  if (!NT_SUCCESS(status)) return status;

  CipherBlock *cipher = nullptr;
  ULONG reason = 0;
  status = CipherCreate(Parameters->AlgorithmId, Parameters->Key, Parameters->KeyLength, &cipher, &reason);
  if (!NT_SUCCESS(status)) return status;
  if (cipher->BlockSize == 0) {
    CipherRelease(&cipher);
    return STATUS_INVALID_PARAMETER;
  }

  // Without overwriting, only a new file will do: one that appeared after the
  // check above is not ours to replace, nor to delete.
  HANDLE file = nullptr;
  status = ImageOpenFile(Parameters->Path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                         Parameters->Overwrite ? FILE_OVERWRITE_IF : FILE_CREATE, 0, &file);
  if (NT_SUCCESS(status)) {
    // From here the file is ours: what fails leaves no file behind.
    status = BuildImage(Parameters, file, dataSize, cipher);
    if (!NT_SUCCESS(status)) ImageDeleteFile(Parameters->Path);
  }
  CipherRelease(&cipher);
  return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_OBJECT_NAME_EXISTS : status;
}
