// The place where a volume's bytes live. A memory store keeps them in
// physical pages taken per NUMA node and mapped once at creation; a
// file-backed store (a directly mounted image) keeps them in the image file.
//
// Failure contract: allocation failures give STATUS_INSUFFICIENT_RESOURCES
// and leave nothing behind; reads and writes past the end give
// STATUS_END_OF_FILE, during a RangeWalk STATUS_FILE_LOCK_CONFLICT, while
// write-protected (format, changed-block save) STATUS_MEDIA_WRITE_PROTECTED,
// each with 0 bytes.
#pragma once

#include "engine/format/format_store.h"
#include "kernel-support/kernel.h"
#include "kernel-support/ks_alloc.h"

struct CipherBlock;
struct ImageHeader;
struct ChangeMap;

constexpr ULONG VOLUME_STORE_TAG = KsTag("VVib");
constexpr ULONG STORE_PIECE_TAG = KsTag("VVip");

// Store flags.
constexpr ULONG STORE_BUSY = 0x1;             // a RangeWalk is running
constexpr ULONG STORE_WRITE_PROTECTED = 0x2;  // formatting or saving changed blocks (either or both)
constexpr ULONG STORE_MEMORY = 0x4;
constexpr ULONG STORE_RAW = 0x8;  // the image has no header

// Internal write flags.
constexpr ULONG STORE_WRITE_INTERNAL = FORMAT_STORE_WRITE_INTERNAL;  // skip busy and write-protect
constexpr ULONG STORE_WRITE_NO_CIPHER = 0x2;  // the data is already in stored form

// RangeWalk flags and callback actions.
constexpr ULONG WALK_NO_READ = 0x1;           // the callback fills the block itself
constexpr ULONG WALK_ACTION_WRITE_BACK = 0x2;
constexpr ULONG WALK_ACTION_NO_CIPHER = 0x4;  // write back as stored bytes

enum StoreMode { StoreModeFile = 0, StoreModeMemory = 1 };

constexpr USHORT STORE_SECTOR_SIZE = 512;
// Largest page list the system accepts, and so the largest chunk.
constexpr ULONG STORE_MAX_CHUNK = 0xFFFFF000;
constexpr ULONG STORE_WALK_BLOCK = 32 * 1024 * 1024;
constexpr ULONG STORE_MAP_BACKOFF = 1024 * 1024;

// Device sector size of an image that is not a multiple of 512, and raw
// image size that is not either.
constexpr NTSTATUS STORE_STATUS_BAD_DEVICE_SECTOR = static_cast<NTSTATUS>(0xC03A001D);
constexpr NTSTATUS STORE_STATUS_BAD_RAW_SIZE = static_cast<NTSTATUS>(0xC038001D);

// Piece flags.
constexpr ULONG PIECE_PARTIAL_MDL = 0x1;  // owns a partial page list
constexpr ULONG PIECE_USER_SPACE = 0x2;   // mapped into the system process's user space

// One mapped run of the store's memory; in volume order, together they are
// the store's memory (data offset included).
struct StorePiece {
  PMDL Mdl;
  PUCHAR Address;
  ULONG Length;
  ULONG Flags;
  StorePiece *Next;
  ULONGLONG Start;  // offset of the piece within the store's memory
};

// The page lists that hold a memory store.
struct ChunkSet {
  ULONGLONG TotalBytes;
  ULONG Count;
  PMDL *Chunks;
  PVOID SystemMapping;  // not used at creation
};

// Called by RangeWalk for each block with the block's stored bytes. Setting
// WALK_ACTION_WRITE_BACK in *Actions writes the block back (through the
// cipher unless WALK_ACTION_NO_CIPHER). Offset is the block's volume offset.
typedef NTSTATUS STORE_WALK_CALLBACK(PVOID Context, struct VolumeStore *Store, PULONG Actions,
                                     PUCHAR Block, ULONG Length, ULONGLONG Offset);

struct VolumeStore final : public FormatStore {
  volatile ULONG Flags;
  ULONGLONG VolumeSize;
  HANDLE ImageFile;              // kernel handle, owned by the store
  PFILE_OBJECT ImageFileObject;  // referenced
  PUNICODE_STRING ImagePath;
  USHORT SectorBytes;
  USHORT DeviceSectorSize;
  ULONG DataOffset;
  PVOID ImageView;               // the mapped start of a directly mounted image
  ImageHeader *Header;           // in the view for direct mounts, a pool copy otherwise
  CipherBlock *Cipher;           // the volume's; not owned
  ChangeMap *Changes;
  volatile LONG64 ReadCount;
  volatile LONG64 BytesRead;
  volatile LONG64 WriteCount;
  volatile LONG64 BytesWritten;
  volatile LONG64 LastWriteTime;
  ChunkSet *Chunks;
  // The block RangeWalk shows its callback: a run of one piece's mapping.
  StorePiece *WindowPiece;
  PUCHAR WindowAddress;
  ULONGLONG WindowOffset;
  ULONGLONG WindowLength;
  StorePiece *Pieces;
  ULONG PieceCount;
  ULONG SmallestPiece;
  ULONGLONG ImageFileSize;  // size of the image file when the store was opened
  ULONG WriteProtections;   // formats and changed-block saves under way (under DataMutex)
  FAST_MUTEX DataMutex;     // serialises writes of memory data (and the header copy)
  FAST_MUTEX SecondMutex;
  // Readers of memory data hold it shared; a writer (holding DataMutex)
  // holds it exclusive, which waits for the readers inside to leave and
  // holds back new ones.
  ERESOURCE ReadGate;

  // FormatStore.
  ULONGLONG Size() const override { return VolumeSize; }
  USHORT SectorSize() const override { return SectorBytes; }
  BOOLEAN IsWriteProtected() const override;
  VOID SetWriteProtected(BOOLEAN Protected) override;
  NTSTATUS Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset, ULONG InternalFlags,
                 PIO_STATUS_BLOCK IoStatus) override;
  NTSTATUS Read(VOID *Buffer, ULONG Length, ULONGLONG Offset, PIO_STATUS_BLOCK IoStatus) override;
  NTSTATUS ZeroRange(ULONGLONG Offset, ULONGLONG Length) override;
};

// The busy and save bits of the same word change while requests run: every
// read of it is atomic.
inline BOOLEAN StoreIsMemory(const VolumeStore *Store) { return (ReadULongAcquire(&Store->Flags) & STORE_MEMORY) != 0; }
inline BOOLEAN StoreIsRaw(const VolumeStore *Store) { return (ReadULongAcquire(&Store->Flags) & STORE_RAW) != 0; }
// File offset of the volume's first byte: raw images start at 0.
inline ULONGLONG StoreFileDataOffset(const VolumeStore *Store) {
  return StoreIsRaw(Store) ? 0 : Store->DataOffset;
}

// Creates a store. With an image handle the store takes the handle over
// (it closes it on release, and also when creation fails).
NTSTATUS StoreCreate(StoreMode Mode, BOOLEAN Raw, PCUNICODE_STRING ImagePath, HANDLE ImageFile,
                     ULONGLONG Size, CipherBlock *Cipher, VolumeStore **Store);
// Allocates, maps and zeroes the memory of a memory store and, when the
// store has an open image, loads the image's stored bytes into it.
NTSTATUS StoreCreateMemory(VolumeStore *Store, ULONG MountFlags, ULONG NumaNode);
// Reads the stored bytes of the store's open image into its memory, as
// they are stored, straight into its page lists (StoreCreateMemory does
// this for a store with an image, before it maps them).
NTSTATUS StoreLoadImage(VolumeStore *Store);
// Releases the store, its memory and its image file; with Wipe the memory is
// cleared first.
VOID StoreRelease(VolumeStore **Store, BOOLEAN Wipe);
// Creates the store's change map for its size.
NTSTATUS StoreCreateChangeMap(VolumeStore *Store);

// Reads and writes. *Bytes receives the bytes moved.
NTSTATUS StoreRead(VolumeStore *Store, PVOID Buffer, ULONGLONG Offset, ULONG Length, PULONG_PTR Bytes);
NTSTATUS StoreWrite(VolumeStore *Store, ULONG InternalFlags, const VOID *Buffer, ULONGLONG Offset,
                    ULONG Length, PULONG_PTR Bytes);
// Copies stored bytes (no cipher) out of a memory store.
NTSTATUS StoreReadStored(VolumeStore *Store, PVOID Buffer, ULONGLONG Offset, ULONG Length);
// Writes the stored bytes [Offset, Offset + Length) of a memory store to
// File at FileOffset, straight from the store's pages, with writers held off
// meanwhile (a short write is STATUS_IO_DEVICE_ERROR).
NTSTATUS StoreWriteStoredToFile(VolumeStore *Store, HANDLE File, ULONGLONG Offset, ULONG Length,
                                ULONGLONG FileOffset);

// Walks [Start, Start + Length) in blocks (Length 0 = to the end). Only one
// walk runs at a time; a second one gets STATUS_FILE_LOCK_CONFLICT.
NTSTATUS StoreRangeWalk(VolumeStore *Store, ULONG WalkFlags, ULONGLONG Start, ULONGLONG Length,
                        STORE_WALK_CALLBACK *Callback, PVOID Context);
// Callbacks: zeros through the cipher (the volume reads zeros afterwards),
// and zeros as stored bytes (the memory holds zeros afterwards).
STORE_WALK_CALLBACK StoreZeroFillCallback;
STORE_WALK_CALLBACK StoreWipeCallback;

// The block size RangeWalk moves.
ULONG StoreWalkBlockSize(const VolumeStore *Store);
// Largest run one page list may map on the running system.
ULONG StoreTransferLimit();

// Store flags, changed atomically.
inline ULONG StoreSetFlags(VolumeStore *Store, ULONG Flags) { return static_cast<ULONG>(InterlockedOr(reinterpret_cast<volatile LONG *>(&Store->Flags), static_cast<LONG>(Flags))); }
inline ULONG StoreClearFlags(VolumeStore *Store, ULONG Flags) {
  return static_cast<ULONG>(InterlockedAnd(reinterpret_cast<volatile LONG *>(&Store->Flags), static_cast<LONG>(~Flags)));
}
inline BOOLEAN StoreHasFlag(const VolumeStore *Store, ULONG Flag) {
  return (ReadULongAcquire(&Store->Flags) & Flag) != 0;
}

// The data mutex, held at passive level inside a critical region.
inline VOID StoreLockData(VolumeStore *Store) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&Store->DataMutex);
}
inline VOID StoreUnlockData(VolumeStore *Store) {
  ExReleaseFastMutexUnsafe(&Store->DataMutex);
  KeLeaveCriticalRegion();
}

// Reads of memory data run side by side; writes exclude them. A writer
// holds the data mutex around StoreCloseReadGate .. StoreOpenReadGate. Each
// pair runs inside a critical region at passive level.
VOID StoreEnterRead(VolumeStore *Store);
VOID StoreLeaveRead(VolumeStore *Store);
VOID StoreCloseReadGate(VolumeStore *Store);
VOID StoreOpenReadGate(VolumeStore *Store);

// Creates the store of a new volume (create, mount or automatic volume).
// *Outcome is the image status reported with the result; on failure nothing
// is left behind.
NTSTATUS StoreCreateForVolume(ULONG MountFlags, ULONG NumaNode, ULONGLONG Size, PCUNICODE_STRING ImagePath,
                              CipherBlock *Cipher, VolumeStore **Store, PULONG Outcome);
