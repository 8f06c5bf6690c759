// The per-volume record. Its address is the volume handle of the protocol;
// it is dereferenced only after VolumeTable has vouched for it.
#pragma once

#include "kernel-support/kernel.h"
#include "kernel-support/ks_alloc.h"

struct VolumeStore;
struct CipherBlock;

constexpr ULONG VOLUME_BLOCK_TAG = KsTag("VVvb");

// State flags.
constexpr ULONG VOLUME_REMOVABLE = 0x00000100;
constexpr ULONG VOLUME_EJECT_REQUESTED = 0x00000200;
constexpr ULONG VOLUME_HAS_LETTER = 0x00000400;
constexpr ULONG VOLUME_MEMORY = 0x00000800;
constexpr ULONG VOLUME_READ_ONLY = 0x00001000;
constexpr ULONG VOLUME_DISK_EMULATION = 0x00004000;
constexpr ULONG VOLUME_LISTED_PARTITION_LETTERS = 0x00008000;
constexpr ULONG VOLUME_COMMAND_PENDING = 0x00010000;
constexpr ULONG VOLUME_WORKER_RUNNING = 0x00020000;
constexpr ULONG VOLUME_IN_SERVICE = 0x00040000;
constexpr ULONG VOLUME_OFFLINE = 0x00080000;
constexpr ULONG VOLUME_DEVICE_GONE = 0x00100000;
constexpr ULONG VOLUME_REMOVAL_DEFERRED = 0x00200000;
constexpr ULONG VOLUME_DELETED = 0x00400000;

// Worker commands.
constexpr ULONG VOLUME_COMMAND_TAKE_OFFLINE = 1;
constexpr ULONG VOLUME_COMMAND_STOP = 2;

constexpr ULONG VOLUME_MAX_ADDITIONAL_LETTERS = 26;

// DISK_GEOMETRY as the volume reports it.
struct VolumeGeometry {
  LONGLONG Cylinders;
  ULONG MediaType;
  ULONG TracksPerCylinder;
  ULONG SectorsPerTrack;
  ULONG BytesPerSector;
};

struct VolumeBlock {
  ULONG64 Handle;           // what callers name it by; never issued twice
  KEVENT WakeEvent;         // wakes the VolumeWorker
  FAST_MUTEX TimerMutex;    // guards the autoflush timer, period and flags
  volatile LONG OpenCount;  // opens minus closes of the volume device
  LONG64 ReferenceCount;    // under SpinLock; 1 is the table's own reference
  KSPIN_LOCK SpinLock;      // innermost lock, never held across a wait
  volatile ULONG StateFlags;
  volatile ULONG Properties;
  ULONG PagingUseCount;  // under SpinLock
  ULONG Command;
  NTSTATUS CommandResult;
  FAST_MUTEX CommandMutex;
  KEVENT CommandDoneEvent;
  UCHAR Force;  // recorded by Unmount for the take-offline command
  UCHAR Wipe;
  PDEVICE_OBJECT Device;
  PVOID RequestQueue;
  VolumeGeometry Geometry;
  // LetterMutex serialises the assignment and removal of letters (which
  // wait for the mount manager, which asks the worker); NameMutex guards
  // the unique id and the link names while they are replaced or copied out,
  // and is never held across a wait for anything else.
  FAST_MUTEX LetterMutex;
  FAST_MUTEX NameMutex;
  UCHAR UniqueId[64];
  PUNICODE_STRING DeviceName;
  PUNICODE_STRING LetterLink;     // the active link: global letter or logon-session link
  PUNICODE_STRING SuggestedLink;  // "\DosDevices\X:" while a letter is set up or assigned
  WCHAR DriveLetter;
  UCHAR SessionLocal;
  UCHAR Announced;  // told to the mount manager once: its volume name goes with the volume
  ULONG SessionId;
  LUID LogonId;
  PVOID OwnerSid;
  UCHAR AdditionalLetterCount;
  WCHAR AdditionalLetters[VOLUME_MAX_ADDITIONAL_LETTERS];
  KTIMER AutoflushTimer;
  ULONG AutoflushPeriod;
  ULONG AutoflushFlags;
  CipherBlock *Cipher;
  VolumeStore *Store;
  VolumeBlock *ReapNext;  // the reaper's list of volumes to destroy
  PETHREAD WorkerThread;  // the VolumeWorker, referenced while it runs
};

// LetterMutex: held across the mount manager's requests, at passive level.
inline VOID VolumeLockLetters(VolumeBlock *Volume) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&Volume->LetterMutex);
}
inline VOID VolumeUnlockLetters(VolumeBlock *Volume) {
  ExReleaseFastMutexUnsafe(&Volume->LetterMutex);
  KeLeaveCriticalRegion();
}
inline VOID VolumeLockNames(VolumeBlock *Volume) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&Volume->NameMutex);
}
inline VOID VolumeUnlockNames(VolumeBlock *Volume) {
  ExReleaseFastMutexUnsafe(&Volume->NameMutex);
  KeLeaveCriticalRegion();
}

inline ULONG64 VolumeHandleOf(const VolumeBlock *Volume) { return Volume->Handle; }
inline BOOLEAN VolumeHasFlags(const VolumeBlock *Volume, ULONG Flags) {
  return (ReadULongAcquire(&Volume->StateFlags) & Flags) == Flags;
}
inline BOOLEAN VolumeHasAnyFlag(const VolumeBlock *Volume, ULONG Flags) {
  return (ReadULongAcquire(&Volume->StateFlags) & Flags) != 0;
}
inline VOID VolumeSetFlags(VolumeBlock *Volume, ULONG Flags) { InterlockedOr(reinterpret_cast<volatile LONG *>(&Volume->StateFlags), static_cast<LONG>(Flags)); }
inline VOID VolumeClearFlags(VolumeBlock *Volume, ULONG Flags) {
  InterlockedAnd(reinterpret_cast<volatile LONG *>(&Volume->StateFlags), static_cast<LONG>(~Flags));
}
