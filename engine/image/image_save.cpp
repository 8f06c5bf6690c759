// Saving a store into an image file: the whole volume, or only the sectors
// written since the last save.
#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_file.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_file.h"
#include "engine/store/store_internal.h"

namespace {

constexpr ULONG CHANGED_RUN_SECTORS = 65536;  // 32 MiB per write

struct SaveContext {
  HANDLE File;
  ULONGLONG Position;
  ChangeMap *Changes;  // cleared once the walk holds the writers off
  BOOLEAN Started;
};

// Writes each block, as stored, at the next position of the file.
NTSTATUS SaveCallback(PVOID Context, VolumeStore *, PULONG, PUCHAR Block, ULONG Length, ULONGLONG) {
  SaveContext *save = static_cast<SaveContext *>(Context);
  if (!save->Started) {
    // Writes are refused from the walk's start to its end, so what is
    // written after it is what the next changed-block save must find.
    save->Started = TRUE;
    ChangeMapClearAll(save->Changes);
  }
  NTSTATUS status = ImageWriteAt(save->File, Block, Length, save->Position);
  if (NT_SUCCESS(status)) save->Position += Length;
  return status;
}

// Writes the runs the change map marks, at their places behind the header,
// straight from the store's memory, and clears their marks.
NTSTATUS SaveChangedSectors(VolumeStore *Store, HANDLE File, ULONGLONG DataStart) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONGLONG from = 0;
  ULONGLONG first = 0;
  ULONGLONG count = 0;
  // Each run is cleared before its sectors are read: the formatter writes
  // past the protection, and what it writes meanwhile stays marked for the
  // next save.
  while (NT_SUCCESS(status) && ChangeMapTakeRun(Store->Changes, from, CHANGED_RUN_SECTORS, &first, &count)) {
    ULONGLONG offset = first * STORE_SECTOR_SIZE;
    ULONGLONG length = count * STORE_SECTOR_SIZE;
    // The last sector of a volume whose size is not whole sectors.
    if (length > Store->VolumeSize - offset) length = Store->VolumeSize - offset;
    status = StoreWriteStoredToFile(Store, File, offset, static_cast<ULONG>(length), DataStart + offset);
    if (!NT_SUCCESS(status)) ChangeMapSet(Store->Changes, first, count);
    from = first + count;
  }
  return status;
}

// The stretch from the volume's end to the header's data size (a volume
// whose size is not whole header blocks): stored zeros, so that the volume
// loaded from the image reads zeros there.
NTSTATUS WriteTail(VolumeStore *Store, HANDLE File, ULONGLONG DataStart, ULONGLONG DataSize) {
  if (DataSize <= Store->VolumeSize) return STATUS_SUCCESS;
  ULONG length = static_cast<ULONG>(DataSize - Store->VolumeSize);
  PUCHAR zeros = static_cast<PUCHAR>(KsAllocate(length, VOLUME_STORE_TAG));
  if (!zeros) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(zeros, length);
  PUCHAR stored = nullptr;
  NTSTATUS status = CipherEncodeAt(Store->Cipher, zeros, length, Store->VolumeSize, &stored);
  if (NT_SUCCESS(status)) status = ImageWriteAt(File, stored ? stored : zeros, length, DataStart + Store->VolumeSize);
  KsFree(&stored);
  KsFree(&zeros);
  return status;
}

// Whether File holds this volume's image as the last save into it left it:
// only then do the changed sectors bring it up to date. A file just created,
// an image of another volume or of another size does not.
BOOLEAN HoldsOwnImage(VolumeStore *Store, HANDLE File, const ImageHeader *Header, ULONGLONG DataSize) {
  ULONGLONG size = 0;
  if (!NT_SUCCESS(ImageQueryFileSize(File, &size))) return FALSE;
  if (StoreIsRaw(Store)) return size == DataSize;
  // Both header copies, or copy 1 and the data as a periodic flush leaves them.
  if (size != DataSize + 2ull * IMAGE_HEADER_BLOCK_SIZE && size != DataSize + IMAGE_HEADER_BLOCK_SIZE) return FALSE;
  ImageHeader onDisk;
  if (!NT_SUCCESS(ImageReadHeaderCopy(File, IMAGE_COPY_FIRST, &onDisk))) return FALSE;
  // All but the properties, which every save brings up to date.
  return RtlEqualMemory(&onDisk, Header, FIELD_OFFSET(ImageHeader, Properties));
}

}  // namespace

NTSTATUS ImageSave(VolumeStore *Store, ULONG SaveFlags, PCUNICODE_STRING TargetPath) {
  if (!Store) return STATUS_INVALID_PARAMETER;
  BOOLEAN hasPath = TargetPath && TargetPath->Buffer && TargetPath->Length;
  if (!hasPath && !Store->ImageFile && !Store->ImagePath) return STATUS_INVALID_DEVICE_STATE;
  BOOLEAN changedOnly = (SaveFlags & ENGINE_SAVE_CHANGED_ONLY) != 0;
  BOOLEAN raw = StoreIsRaw(Store);
  // Changed blocks are known of memory stores only.
  if (changedOnly && (!StoreIsMemory(Store) || !Store->Changes)) return STATUS_INVALID_DEVICE_STATE;
  if (!raw && !Store->Header) return STATUS_INVALID_DEVICE_STATE;

  // The header carries the current properties, and the data size the file
  // must hold: the volume's size rounded up to whole header blocks.
  ImageHeader header = {};
  if (Store->Header) ImageCopyStoreHeader(Store, &header);
  ULONGLONG dataSize = raw ? Store->VolumeSize : header.DataSize;
  if (dataSize < Store->VolumeSize || dataSize - Store->VolumeSize >= IMAGE_HEADER_BLOCK_SIZE) {
    return STATUS_INVALID_DEVICE_STATE;
  }

  // Another file than the store's own image is a new file.
  BOOLEAN newFile = hasPath && (!Store->ImagePath || !RtlEqualUnicodeString(TargetPath, Store->ImagePath, TRUE));
  HANDLE file = nullptr;
  BOOLEAN openedHere = FALSE;
  NTSTATUS status;
  if (!newFile && Store->ImageFile) {
    file = Store->ImageFile;
  } else {
    status = ImageOpenFile(newFile ? TargetPath : Store->ImagePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           changedOnly ? FILE_OPEN_IF : FILE_OVERWRITE_IF, 0, &file);
    if (!NT_SUCCESS(status)) return status;
    openedHere = TRUE;
  }

  // Any other file than the volume's own image gets the whole volume.
  if (changedOnly && (newFile || !HoldsOwnImage(Store, file, &header, dataSize))) changedOnly = FALSE;

  ULONGLONG headerArea = raw ? 0 : 2ull * IMAGE_HEADER_BLOCK_SIZE;
  ULONGLONG dataStart = raw ? 0 : IMAGE_HEADER_BLOCK_SIZE;
  status = ImageSetFileSize(file, dataSize + headerArea);
  if (NT_SUCCESS(status) && !raw) status = ImageWriteHeaderCopy(file, IMAGE_COPY_FIRST, &header);

  if (NT_SUCCESS(status)) {
    if (changedOnly) {
      Store->SetWriteProtected(TRUE);
      status = SaveChangedSectors(Store, file, dataStart);
      Store->SetWriteProtected(FALSE);
    } else {
      SaveContext save = {file, dataStart, newFile ? nullptr : Store->Changes, FALSE};
      status = StoreRangeWalk(Store, 0, 0, 0, SaveCallback, &save);
      // A broken save leaves the image partly old: everything counts as
      // changed until a save succeeds.
      if (!NT_SUCCESS(status) && save.Started && save.Changes) {
        ChangeMapSet(save.Changes, 0, save.Changes->BitCount);
      }
    }
  }
  if (NT_SUCCESS(status)) status = WriteTail(Store, file, dataStart, dataSize);
  if (NT_SUCCESS(status) && !raw) status = ImageWriteHeaderCopy(file, IMAGE_COPY_SECOND, &header);
  if (NT_SUCCESS(status)) status = KsFlushFile(file);
  if (openedHere) ZwClose(file);
  return status;
}
