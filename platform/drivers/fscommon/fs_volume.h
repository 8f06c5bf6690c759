// What the stand-in's file systems (FAT, NTFS, raw) do the same way: the
// state every volume device keeps, completing and forwarding requests, the
// volume lock, unlock and dismount, the volume's end when its last file
// object goes, and the checks of an open that do not depend on what the
// volume holds. Each file system's volume extension derives from FsVolume,
// so a volume pointer of any of them serves here.
#pragma once

#include <ntifs.h>
#include <ntdddisk.h>

// A VPB swapped in at dismount carries the tag of those the I/O manager
// makes: the device frees it as its own.
constexpr ULONG kFsVpbTag = 0x20627056;  // "Vpb "

struct FsVolume {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Target;     // top of the volume's stack, referenced
  PVPB Vpb;                  // the VPB the volume was mounted through
  BOOLEAN OwnsVpb;           // swapped out at dismount: freed with the volume
  volatile LONG Dismounted;  // read without the lock on the request path
  KEVENT Lock;               // one request at a time
  ULONG OpenCount;           // file objects, create to close
  ULONG HandleCount;         // create to cleanup, every file object of the volume
  PFILE_OBJECT LockedBy;     // the handle that locked the volume
  SHARE_ACCESS Share;        // of volume opens
};

// What a file system adds to the shared volume requests. Both run with the
// volume's lock held; either may be missing when there is nothing to do.
struct FsVolumeHooks {
  // Everything to the volume before it is locked; a failure refuses the lock.
  NTSTATUS (*Flush)(FsVolume *Volume);
  // Lets the volume's contents go at dismount, everything written first.
  VOID (*Dismount)(FsVolume *Volume);
};

// fs_request.cpp
NTSTATUS FsComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// The buffer of a request however it came: MDL, system buffer or the
// caller's address.
PVOID FsRequestBuffer(PIRP Irp);
// Sends the IRP down as it is and waits for the device's answer; the IRP is
// still the caller's afterwards.
NTSTATUS FsForwardAndWait(FsVolume *Volume, PIRP Irp);
// The request goes down to the volume's device, which completes it.
NTSTATUS FsPassDown(FsVolume *Volume, PIRP Irp);
// The file system's own device: opens of it succeed, mount and verify go to
// the file system (Verify may be missing), anything else is refused.
NTSTATUS FsFileSystemDeviceDispatch(PDEVICE_OBJECT Device, PIRP Irp,
                                    NTSTATUS (*Mount)(PDRIVER_OBJECT Driver, PIRP Irp),
                                    NTSTATUS (*Verify)(PIRP Irp));

// fs_volume.cpp
VOID FsInitializeVolume(FsVolume *Volume, PDEVICE_OBJECT Self, PDEVICE_OBJECT Target, PVPB Vpb);
VOID FsEnter(FsVolume *Volume);
VOID FsLeave(FsVolume *Volume);
VOID FsSetVpbLocked(FsVolume *Volume, BOOLEAN Locked);
// Whether no file object and no open on its way holds the volume's VPB any
// more (`Creating`: the failed create's own reference still counts). If so,
// the device's current VPB goes back to unmounted, and the caller tears the
// volume down, ending with FsDeleteVolume.
BOOLEAN FsVolumeIsUnused(FsVolume *Volume, BOOLEAN Creating);
// Frees a VPB swapped out at dismount, lets the device below go and deletes
// the volume device, the volume with it.
VOID FsDeleteVolume(FsVolume *Volume);

// fs_volume_control.cpp: FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME,
// FSCTL_DISMOUNT_VOLUME and FSCTL_IS_VOLUME_MOUNTED, and the refusal of
// everything but the unlock on a dismounted volume. Returns FALSE, the
// request untouched, for any other control.
BOOLEAN FsVolumeControl(FsVolume *Volume, PIRP Irp, const FsVolumeHooks *Hooks, NTSTATUS *Status);

// fs_register.cpp: the file system's own device, named Name, registered so
// that the I/O manager offers it volumes to mount; Dispatch takes every
// request of the driver, Unload its unload (which unregisters the device).
NTSTATUS FsRegisterFileSystem(PDRIVER_OBJECT Driver, PCWSTR Name, PDRIVER_DISPATCH Dispatch,
                              PDRIVER_UNLOAD Unload, PDEVICE_OBJECT *Device);
VOID FsUnregisterFileSystem(PDEVICE_OBJECT *Device);
