#include "engine/image/image_flush.h"

#include "engine/image/image_file.h"
#include "engine/store/change_map.h"
#include "engine/store/store_internal.h"
#include "kernel-support/ks_file.h"

namespace {

constexpr ULONG kFlushRunSectors = 65536;  // 32 MiB per write

// The marked runs, as stored, at their places behind the header block,
// straight from the store's memory.
NTSTATUS WriteChangedRuns(VolumeStore *Store, HANDLE File, ULONGLONG DataStart) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONGLONG from = 0, first = 0, count = 0;
  while (NT_SUCCESS(status) && ChangeMapFindRun(Store->Changes, from, kFlushRunSectors, &first, &count)) {
    ULONGLONG offset = first * STORE_SECTOR_SIZE;
    ULONGLONG length = count * STORE_SECTOR_SIZE;
    if (length > Store->VolumeSize - offset) length = Store->VolumeSize - offset;
    status = StoreWriteStoredToFile(Store, File, offset, static_cast<ULONG>(length), DataStart + offset);
    from = first + count;
  }
  return status;
}

}  // namespace

NTSTATUS ImageFlush(VolumeStore *Store) {
  if (!Store || !StoreIsMemory(Store) || !Store->Changes) return STATUS_INVALID_DEVICE_STATE;
  BOOLEAN raw = StoreIsRaw(Store);
  if (!raw && !Store->Header) return STATUS_INVALID_DEVICE_STATE;
  HANDLE file = Store->ImageFile;
  BOOLEAN openedHere = FALSE;
  NTSTATUS status = STATUS_SUCCESS;
  if (!file) {
    if (!Store->ImagePath) return STATUS_INVALID_DEVICE_STATE;
    status = ImageOpenFile(Store->ImagePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN_IF, 0, &file);
    if (!NT_SUCCESS(status)) return status;
    openedHere = TRUE;
  }
  ULONGLONG dataStart = raw ? 0 : IMAGE_HEADER_BLOCK_SIZE;
  // The end first: a file made here has room for copy 1 at once.
  status = ImageSetFileSize(file, Store->VolumeSize + dataStart);
  if (NT_SUCCESS(status) && !raw) {
    ImageHeader header;
    StoreLockData(Store);
    RtlCopyMemory(&header, Store->Header, sizeof(header));
    StoreUnlockData(Store);
    status = ImageWriteHeaderCopy(file, IMAGE_COPY_FIRST, &header);
  }
  if (NT_SUCCESS(status)) {
    // Writes wait outside until the marked sectors are out.
    Store->SetWriteProtected(TRUE);
    status = WriteChangedRuns(Store, file, dataStart);
    if (NT_SUCCESS(status)) ChangeMapClearAll(Store->Changes);
    Store->SetWriteProtected(FALSE);
  }
  if (NT_SUCCESS(status)) status = KsFlushFile(file);
  if (openedHere) ZwClose(file);
  return status;
}
