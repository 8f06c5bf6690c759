// Reads and writes of a store.
#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "kernel-support/ks_version.h"
#include "engine/store/store_internal.h"

VOID StoreEnterRead(VolumeStore *Store) {
  KeEnterCriticalRegion();
  ExAcquireResourceSharedLite(&Store->ReadGate, TRUE);
}

VOID StoreLeaveRead(VolumeStore *Store) {
  ExReleaseResourceLite(&Store->ReadGate);
  KeLeaveCriticalRegion();
}

VOID StoreCloseReadGate(VolumeStore *Store) {
  KeEnterCriticalRegion();
  ExAcquireResourceExclusiveLite(&Store->ReadGate, TRUE);
}

VOID StoreOpenReadGate(VolumeStore *Store) {
  ExReleaseResourceLite(&Store->ReadGate);
  KeLeaveCriticalRegion();
}

namespace {

// Copies between Buffer and the store's memory from MemoryOffset on, across
// pieces. The caller is inside the read gate, or holds it closed.
NTSTATUS CopyMemory(VolumeStore *Store, PUCHAR Buffer, ULONGLONG MemoryOffset, SIZE_T Length, BOOLEAN ToStore) {
  StorePiece *piece = StoreFindPiece(Store, MemoryOffset);
  while (Length) {
    if (!piece || MemoryOffset < piece->Start || MemoryOffset - piece->Start >= piece->Length) {
      return STATUS_NOT_FOUND;
    }
    SIZE_T within = static_cast<SIZE_T>(MemoryOffset - piece->Start);
    SIZE_T run = piece->Length - within < Length ? piece->Length - within : Length;
    PUCHAR at = piece->Address + within;
    // A RangeWalk writes its own block back onto itself.
    if (at != Buffer) {
      StoreSystemAttach attach((piece->Flags & PIECE_USER_SPACE) != 0);
      if (ToStore) {
        RtlCopyMemory(at, Buffer, run);
      } else {
        RtlCopyMemory(Buffer, at, run);
      }
    }
    Buffer += run;
    MemoryOffset += run;
    Length -= run;
    piece = piece->Next;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CheckWritable(VolumeStore *Store, ULONG Flags) {
  if (Flags & STORE_WRITE_INTERNAL) return STATUS_SUCCESS;
  ULONG flags = ReadULongAcquire(&Store->Flags);
  if (flags & STORE_BUSY) return STATUS_FILE_LOCK_CONFLICT;
  if (flags & STORE_WRITE_PROTECTED) return STATUS_MEDIA_WRITE_PROTECTED;
  return STATUS_SUCCESS;
}

NTSTATUS FileTransfer(VolumeStore *Store, BOOLEAN Write, PVOID Buffer, ULONG Length, ULONGLONG Offset,
                      PULONG_PTR Bytes) {
  IO_STATUS_BLOCK iosb = {};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(Offset + StoreFileDataOffset(Store));
  NTSTATUS status = Write ? ZwWriteFile(Store->ImageFile, nullptr, nullptr, nullptr, &iosb, Buffer, Length, &at, nullptr)
                          : ZwReadFile(Store->ImageFile, nullptr, nullptr, nullptr, &iosb, Buffer, Length, &at, nullptr);
  *Bytes = NT_SUCCESS(status) ? iosb.Information : 0;
  return status;
}

// Reads volume bytes (Decode) or stored bytes. Head and tail sectors of a
// write come here with CheckBusy clear: the writer is past its own checks.
NTSTATUS ReadInternal(VolumeStore *Store, PVOID Buffer, ULONGLONG Offset, ULONG Length, BOOLEAN CheckBusy,
                      BOOLEAN Decode, PULONG_PTR Bytes) {
  *Bytes = 0;
  InterlockedIncrement64(&Store->ReadCount);
  if (!Buffer && Length) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  ULONG_PTR moved = 0;
  if (StoreIsMemory(Store)) {
    StoreEnterRead(Store);
    if (CheckBusy && StoreHasFlag(Store, STORE_BUSY)) {
      status = STATUS_FILE_LOCK_CONFLICT;
    } else if (Offset >= Store->VolumeSize) {
      status = STATUS_END_OF_FILE;
    } else {
      ULONGLONG left = Store->VolumeSize - Offset;
      moved = Length < left ? Length : static_cast<ULONG>(left);
      status = CopyMemory(Store, static_cast<PUCHAR>(Buffer), Offset + Store->DataOffset, moved, FALSE);
      if (!NT_SUCCESS(status)) moved = 0;
    }
    StoreLeaveRead(Store);
  } else {
    if (Offset % Store->SectorBytes || Length % Store->SectorBytes) return STATUS_INVALID_PARAMETER;
    if (Offset > Store->VolumeSize || Length > Store->VolumeSize - Offset) return STATUS_END_OF_FILE;
    if (!Store->ImageFile) return STATUS_INVALID_DEVICE_STATE;
    if (Length == 0) {
      status = STATUS_SUCCESS;
    } else if (!KsIsLaterThanWindows7()) {
      status = FileTransfer(Store, FALSE, Buffer, Length, Offset, &moved);
    } else {
      // Later systems read into pool and copy out.
      PUCHAR bounce = static_cast<PUCHAR>(KsAllocate(Length, CIPHER_BUFFER_TAG));
      if (!bounce) return STATUS_INSUFFICIENT_RESOURCES;
      status = FileTransfer(Store, FALSE, bounce, Length, Offset, &moved);
      if (NT_SUCCESS(status)) RtlCopyMemory(Buffer, bounce, moved);
      KsFree(&bounce);
    }
  }
  if (!NT_SUCCESS(status)) return status;
  InterlockedExchangeAdd64(&Store->BytesRead, static_cast<LONG64>(moved));
  if (Decode) CipherDecodeAt(Store->Cipher, Buffer, moved, Offset);
  *Bytes = moved;
  return status;
}

// Writes whole sectors (or the volume's last, partial one).
NTSTATUS WriteSectors(VolumeStore *Store, ULONG Flags, const VOID *Buffer, ULONGLONG Offset, ULONG Length,
                      PULONG_PTR Bytes) {
  *Bytes = 0;
  PUCHAR encoded = nullptr;
  const VOID *data = Buffer;
  if (!(Flags & STORE_WRITE_NO_CIPHER) && !CipherIsIdentity(Store->Cipher)) {
    NTSTATUS status = CipherEncodeAt(Store->Cipher, Buffer, Length, Offset, &encoded);
    if (!NT_SUCCESS(status)) return status;
    data = encoded;
  }
  NTSTATUS status;
  ULONG_PTR moved = 0;
  if (StoreIsMemory(Store)) {
    StoreLockData(Store);
    // Checked again under the mutex, so that a save or walk that has held
    // the mutex after raising its flag sees no write still copying.
    status = CheckWritable(Store, Flags);
    if (NT_SUCCESS(status)) {
      StoreCloseReadGate(Store);
      status = CopyMemory(Store, static_cast<PUCHAR>(const_cast<VOID *>(data)), Offset + Store->DataOffset, Length, TRUE);
      StoreOpenReadGate(Store);
    }
    if (NT_SUCCESS(status)) {
      ULONGLONG first = Offset / STORE_SECTOR_SIZE;
      ULONGLONG end = (Offset + Length + STORE_SECTOR_SIZE - 1) / STORE_SECTOR_SIZE;
      ChangeMapSet(Store->Changes, first, end - first);
      moved = Length;
    }
    StoreUnlockData(Store);
  } else if (!Store->ImageFile) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    status = FileTransfer(Store, TRUE, const_cast<VOID *>(data), Length, Offset, &moved);
  }
  KsFree(&encoded);
  *Bytes = moved;
  return status;
}

// One partial sector: read it whole, patch it, write it whole.
NTSTATUS PatchSector(VolumeStore *Store, ULONG Flags, const UCHAR *Data, ULONGLONG Offset, ULONG Length) {
  ULONGLONG sector = Offset - Offset % STORE_SECTOR_SIZE;
  ULONGLONG left = Store->VolumeSize - sector;
  ULONG sectorLength = left < STORE_SECTOR_SIZE ? static_cast<ULONG>(left) : STORE_SECTOR_SIZE;
  UCHAR buffer[STORE_SECTOR_SIZE];
  ULONG_PTR bytes = 0;
  BOOLEAN stored = (Flags & STORE_WRITE_NO_CIPHER) != 0;
  NTSTATUS status = ReadInternal(Store, buffer, sector, sectorLength, FALSE, !stored, &bytes);
  if (!NT_SUCCESS(status)) return status;
  if (bytes != sectorLength) return STATUS_END_OF_FILE;
  RtlCopyMemory(buffer + (Offset - sector), Data, Length);
  status = WriteSectors(Store, Flags, buffer, sector, sectorLength, &bytes);
  RtlZeroMemory(buffer, sizeof(buffer));
  return status;
}

}  // namespace

NTSTATUS StoreRead(VolumeStore *Store, PVOID Buffer, ULONGLONG Offset, ULONG Length, PULONG_PTR Bytes) {
  return ReadInternal(Store, Buffer, Offset, Length, TRUE, TRUE, Bytes);
}

NTSTATUS StoreReadStored(VolumeStore *Store, PVOID Buffer, ULONGLONG Offset, ULONG Length) {
  ULONG_PTR bytes = 0;
  NTSTATUS status = ReadInternal(Store, Buffer, Offset, Length, FALSE, FALSE, &bytes);
  if (NT_SUCCESS(status) && bytes != Length) status = STATUS_END_OF_FILE;
  return status;
}

NTSTATUS StoreWrite(VolumeStore *Store, ULONG InternalFlags, const VOID *Buffer, ULONGLONG Offset, ULONG Length,
                    PULONG_PTR Bytes) {
  *Bytes = 0;
  NTSTATUS status = CheckWritable(Store, InternalFlags);
  if (!NT_SUCCESS(status)) return status;
  if (Length == 0) return STATUS_SUCCESS;
  if (!Buffer) return STATUS_INVALID_PARAMETER;
  // Past the end of the volume lies nothing of it: not the header block of
  // a memory store's front, not copy 2 of an image.
  if (Offset > Store->VolumeSize || Length > Store->VolumeSize - Offset) return STATUS_END_OF_FILE;
  InterlockedIncrement64(&Store->WriteCount);

  const UCHAR *data = static_cast<const UCHAR *>(Buffer);
  ULONGLONG end = Offset + Length;
  ULONGLONG position = Offset;
  ULONG_PTR moved = 0;
  // Head: the part of a sector before the first whole one.
  if (position % STORE_SECTOR_SIZE) {
    ULONGLONG sectorEnd = position - position % STORE_SECTOR_SIZE + STORE_SECTOR_SIZE;
    ULONG run = static_cast<ULONG>((end < sectorEnd ? end : sectorEnd) - position);
    status = PatchSector(Store, InternalFlags, data, position, run);
    if (!NT_SUCCESS(status)) return status;
    data += run;
    position += run;
    moved += run;
  }
  // Middle: whole sectors, and the volume's last sector when the write ends
  // with the volume.
  ULONGLONG middle = (end - position) / STORE_SECTOR_SIZE * STORE_SECTOR_SIZE;
  if (end == Store->VolumeSize) middle = end - position;
  if (middle) {
    ULONG_PTR bytes = 0;
    status = WriteSectors(Store, InternalFlags, data, position, static_cast<ULONG>(middle), &bytes);
    moved += bytes;
    if (!NT_SUCCESS(status)) {
      *Bytes = moved;
      return status;
    }
    data += middle;
    position += middle;
  }
  // Tail: the start of the sector after the last whole one.
  if (position < end) {
    ULONG run = static_cast<ULONG>(end - position);
    status = PatchSector(Store, InternalFlags, data, position, run);
    if (!NT_SUCCESS(status)) {
      *Bytes = moved;
      return status;
    }
    moved += run;
  }
  InterlockedExchangeAdd64(&Store->BytesWritten, static_cast<LONG64>(moved));
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  WriteRelease64(&Store->LastWriteTime, now.QuadPart);
  *Bytes = moved;
  return STATUS_SUCCESS;
}
