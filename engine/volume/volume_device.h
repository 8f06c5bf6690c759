// The pieces of a live volume: its creation and device, the request queue
// and VolumeWorker, the storage requests, the unique id and autoflush.
#pragma once

#include "engine/volume/volume_block.h"

constexpr ULONG VOLUME_QUEUE_TAG = KsTag("VVrq");

// The volume device's extension: the volume it presents.
struct VolumeDeviceExtension {
  VolumeBlock *Volume;
};

inline VolumeBlock *VolumeOfDevice(PDEVICE_OBJECT Device) {
  return static_cast<VolumeDeviceExtension *>(Device->DeviceExtension)->Volume;
}

// Creates a volume for Store and Cipher: the record, its own device, the
// table entry and the worker; broadcasts event 4. On failure everything
// built is torn down and store and cipher stay with the caller. Passive
// level, in the requesting thread (the creator's token secures the device).
NTSTATUS VolumeCreate(CipherBlock *Cipher, VolumeStore *Store, ULONG MountFlags, VolumeBlock **Volume);
// Deletes the volume's own device unless it is gone already.
VOID VolumeDeleteDevice(VolumeBlock *Volume);

// Request queue of device-control requests for the worker. Insert returns
// STATUS_PENDING (or completes a request cancelled meanwhile).
NTSTATUS VolumeQueueCreate(VolumeBlock *Volume);
VOID VolumeQueueFree(VolumeBlock *Volume);
NTSTATUS VolumeQueueInsert(VolumeBlock *Volume, PIRP Irp);
// The oldest request not being cancelled, or null.
PIRP VolumeQueueRemove(VolumeBlock *Volume);

// The worker thread (priority 16) and the end of it.
NTSTATUS VolumeWorkerStart(VolumeBlock *Volume);
// Answers one storage request taken from the queue and completes it.
VOID VolumeServeRequest(VolumeBlock *Volume, PIRP Irp);

// The 64-byte id the mount manager keys the volume by.
NTSTATUS VolumeComputeUniqueId(VolumeBlock *Volume);

// File systems on the volume: whether one is mounted, and the requests the
// engine sends it. With none mounted there is nothing to lock or dismount.
BOOLEAN VolumeFileSystemMounted(VolumeBlock *Volume);
NTSTATUS VolumeFileSystemControl(VolumeBlock *Volume, ULONG Code);
NTSTATUS VolumeFlushFileSystem(VolumeBlock *Volume);
// Sets the root folder compressed (FSCTL_SET_COMPRESSION on "<device>\").
NTSTATUS VolumeCompressRoot(VolumeBlock *Volume);
// Creates the folder Path ("\\name\\...", relative to the root) unless it
// exists, on the volume or on every partition of an emulated disk.
NTSTATUS VolumeCreateFolder(VolumeBlock *Volume, PCUNICODE_STRING Path);
// The take-offline command: dismounts, leaves service, deletes the device.
NTSTATUS VolumeTakeOffline(VolumeBlock *Volume);

// The store's read or write for the volume's device and the bus driver's
// disk; one that a save of the store holds off waits for it (passive level).
NTSTATUS VolumeTransfer(VolumeStore *Store, BOOLEAN Write, PVOID Buffer, ULONGLONG Offset, ULONG Length,
                        PULONG_PTR Bytes);

// Autoflush and shutdown saving.
NTSTATUS VolumeSetFlushState(VolumeBlock *Volume, ULONG Period, ULONG Flags);
// The autoflush timer fired (in the worker): queues the flush.
VOID VolumeAutoflushExpired(VolumeBlock *Volume);
// Changed blocks and copy 1 of the header back into the store's image.
NTSTATUS VolumeFlush(VolumeBlock *Volume);
// The system shuts down: saves the volume when its properties ask for it.
VOID VolumeShutdownSave(VolumeBlock *Volume);
// Arms the one-shot timer for the current period; caller holds TimerMutex.
VOID VolumeArmAutoflushTimer(VolumeBlock *Volume);
// The count of outstanding flush work items: opened at start, closed at
// unload, which then waits until the last item has returned. A volume is
// never destroyed under its own item (the item holds a reference), but the
// unload tears down every listed volume whatever its references.
VOID VolumeFlushGateOpen();
// Work items that hold a volume pass the gate that unload closes and waits on.
BOOLEAN VolumeWorkGateEnter();
VOID VolumeWorkGateLeave();
VOID VolumeFlushGateCloseAndWait();

// A paging file enters (InPath) or leaves the volume: the paging-use count,
// decided under the volume's spin lock.
NTSTATUS VolumePagingUsage(VolumeBlock *Volume, BOOLEAN InPath);
