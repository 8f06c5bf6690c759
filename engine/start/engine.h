// Engine-wide state: one instance per loaded driver, created at start.
#pragma once

#include "kernel-support/kernel.h"
#include "kernel-support/ks_hash_table.h"
#include "kernel-support/ks_checksum.h"

struct VolumeBlock;

struct EngineState {
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT ControlDevice;
  BOOLEAN LinkCreated;

  // TableMutex guards both tables, every walk over them and every broadcast.
  FAST_MUTEX TableMutex;
  KS_HASH_TABLE *VolumeTable;        // handle -> VolumeBlock
  KS_HASH_TABLE *NotificationTable;  // referenced thread -> user routine address

  KEVENT ReaperEvent;
  PETHREAD ReaperThread;
  volatile LONG ReaperStopping;

  KEVENT AutoVolumesEvent;      // set once the automatic volumes exist
  KEVENT AutoVolumesWorkDone;   // set when the creation work item has finished
  BOOLEAN AutoVolumesQueued;

  UCHAR ControlNameDigest[KS_SHA512_DIGEST_SIZE];

  // The bus driver's control device, kept through a file object on it.
  PFILE_OBJECT BusFileObject;
  PDEVICE_OBJECT BusDevice;

  HANDLE OptionsKey;
  HANDLE AutoKey;
  FAST_MUTEX AutoConfigMutex;  // guards the Options\Auto key

  BOOLEAN LogonRoutineRegistered;

  // The last volume handle issued (see VolumeCreate).
  volatile LONG64 LastVolumeHandle;

  // Autoflush work items queued or running, plus 1 for the engine itself
  // until unload closes the gate; the event is set when the count reaches 0.
  volatile LONG FlushItems;
  volatile LONG FlushGateClosed;
  KEVENT FlushItemsDone;
};

extern EngineState Engine;

// The engine's mutexes are held at passive level inside a critical region,
// so that registry and memory calls may be made under them.
inline VOID EngineLock(PFAST_MUTEX Mutex) {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(Mutex);
}
inline VOID EngineUnlock(PFAST_MUTEX Mutex) {
  ExReleaseFastMutexUnsafe(Mutex);
  KeLeaveCriticalRegion();
}
inline VOID TableLock() { EngineLock(&Engine.TableMutex); }
inline VOID TableUnlock() { EngineUnlock(&Engine.TableMutex); }
