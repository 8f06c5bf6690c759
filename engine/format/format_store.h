// What the formatter needs of a volume's store. The engine's VolumeStore
// implements this; tests use an in-memory store.
#pragma once

#include "kernel-support/kernel.h"

// Internal write flag: the formatter writes while the store is locked for
// formatting, so the busy and write-protected checks are skipped.
constexpr ULONG FORMAT_STORE_WRITE_INTERNAL = 0x1;

class FormatStore {
 public:
  // Size of the volume in bytes.
  virtual ULONGLONG Size() const = 0;
  // Bytes per sector (512 for every store).
  virtual USHORT SectorSize() const = 0;
  virtual BOOLEAN IsWriteProtected() const = 0;
  // Sets or clears the write-protected flag: while it is set, ordinary
  // writes are refused with STATUS_MEDIA_WRITE_PROTECTED. A format holds it
  // for its whole duration.
  virtual VOID SetWriteProtected(BOOLEAN Protected) = 0;
  // Writes Length bytes at byte Offset of the volume. The call's result is
  // the status of the request; IoStatus carries the status the write path
  // reported and the bytes written.
  virtual NTSTATUS Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset, ULONG InternalFlags,
                         PIO_STATUS_BLOCK IoStatus) = 0;
  // Reads Length bytes at byte Offset of the volume, same contract as Write.
  virtual NTSTATUS Read(VOID *Buffer, ULONG Length, ULONGLONG Offset,
                        PIO_STATUS_BLOCK IoStatus) = 0;
  // Resets [Offset, Offset + Length) to zero block by block (the store's
  // RangeWalk with the zero-fill action, which also marks the blocks as
  // holding zeros).
  virtual NTSTATUS ZeroRange(ULONGLONG Offset, ULONGLONG Length) = 0;

 protected:
  ~FormatStore() = default;
};
