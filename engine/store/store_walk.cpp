// RangeWalk: the block walk that loads, saves, wipes and zero-fills a store.
#include "engine/store/store_internal.h"

ULONG StoreWalkBlockSize(const VolumeStore *Store) {
  ULONG limit = StoreTransferLimit();
  ULONG block = limit < STORE_WALK_BLOCK ? limit : STORE_WALK_BLOCK;
  block -= block % STORE_SECTOR_SIZE;
  return block - Store->DataOffset;
}

NTSTATUS StoreRangeWalk(VolumeStore *Store, ULONG WalkFlags, ULONGLONG Start, ULONGLONG Length,
                        STORE_WALK_CALLBACK *Callback, PVOID Context) {
  if (!Store || !Callback) return STATUS_INVALID_PARAMETER;
  if (Start > Store->VolumeSize || Length > Store->VolumeSize - Start) return STATUS_INVALID_PARAMETER;
  ULONGLONG end = Length ? Start + Length : Store->VolumeSize;
  BOOLEAN memory = StoreIsMemory(Store);
  if (!memory && !Store->ImageFile) return STATUS_INVALID_DEVICE_STATE;
  ULONG blockSize = StoreWalkBlockSize(Store);

  PUCHAR buffer = nullptr;
  if (!memory && end > Start) {
    ULONGLONG span = end - Start;
    SIZE_T bytes = span < blockSize ? static_cast<SIZE_T>(span) : blockSize;
    buffer = static_cast<PUCHAR>(KsAllocate(bytes, VOLUME_STORE_TAG));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  }
  // One walk at a time: a second one would clear the busy flag under the
  // first one's feet.
  if (StoreSetFlags(Store, STORE_BUSY) & STORE_BUSY) {
    KsFree(&buffer);
    return STATUS_FILE_LOCK_CONFLICT;
  }
  if (memory) {
    // Let a write or read that passed its checks before the flag finish
    // copying; later ones see the flag.
    StoreLockData(Store);
    StoreCloseReadGate(Store);
    StoreOpenReadGate(Store);
    StoreUnlockData(Store);
  }

  NTSTATUS status = STATUS_SUCCESS;
  for (ULONGLONG position = Start; position < end;) {
    ULONGLONG left = end - position;
    ULONG length = left < blockSize ? static_cast<ULONG>(left) : blockSize;
    PUCHAR block;
    BOOLEAN userSpace = FALSE;
    if (memory) {
      // The block is a run of one piece's mapping; a block never spans two.
      ULONGLONG memoryOffset = position + Store->DataOffset;
      StorePiece *piece = StoreFindPiece(Store, memoryOffset);
      if (!piece) {
        status = STATUS_NOT_FOUND;
        break;
      }
      ULONGLONG within = memoryOffset - piece->Start;
      if (length > piece->Length - within) length = static_cast<ULONG>(piece->Length - within);
      block = piece->Address + within;
      userSpace = (piece->Flags & PIECE_USER_SPACE) != 0;
      Store->WindowPiece = piece;
      Store->WindowAddress = block;
      Store->WindowOffset = position;
      Store->WindowLength = length;
    } else {
      block = buffer;
      if (!(WalkFlags & WALK_NO_READ)) {
        IO_STATUS_BLOCK iosb = {};
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(position + StoreFileDataOffset(Store));
        status = ZwReadFile(Store->ImageFile, nullptr, nullptr, nullptr, &iosb, block, length, &at, nullptr);
        if (NT_SUCCESS(status) && iosb.Information < length) status = STATUS_END_OF_FILE;
        if (!NT_SUCCESS(status)) break;
      }
    }
    {
      StoreSystemAttach attach(userSpace);
      ULONG actions = 0;
      status = Callback(Context, Store, &actions, block, length, position);
      if (NT_SUCCESS(status) && (actions & WALK_ACTION_WRITE_BACK)) {
        ULONG flags = STORE_WRITE_INTERNAL | ((actions & WALK_ACTION_NO_CIPHER) ? STORE_WRITE_NO_CIPHER : 0);
        ULONG_PTR bytes = 0;
        status = StoreWrite(Store, flags, block, position, length, &bytes);
      }
    }
    if (!NT_SUCCESS(status)) break;
    position += length;
  }

  Store->WindowPiece = nullptr;
  Store->WindowAddress = nullptr;
  Store->WindowOffset = 0;
  Store->WindowLength = 0;
  StoreClearFlags(Store, STORE_BUSY);
  KsFree(&buffer);
  return status;
}

NTSTATUS StoreZeroFillCallback(PVOID, VolumeStore *, PULONG Actions, PUCHAR Block, ULONG Length, ULONGLONG) {
  RtlZeroMemory(Block, Length);
  *Actions = WALK_ACTION_WRITE_BACK;
  return STATUS_SUCCESS;
}

NTSTATUS StoreWipeCallback(PVOID, VolumeStore *, PULONG Actions, PUCHAR Block, ULONG Length, ULONGLONG) {
  RtlZeroMemory(Block, Length);
  *Actions = WALK_ACTION_WRITE_BACK | WALK_ACTION_NO_CIPHER;
  return STATUS_SUCCESS;
}
