// A volume device's life: its lock, the VPB's lock flag, and its end once
// no file object holds its VPB.
#include "platform/drivers/fscommon/fs_volume.h"

VOID FsInitializeVolume(FsVolume *Volume, PDEVICE_OBJECT Self, PDEVICE_OBJECT Target, PVPB Vpb) {
  Volume->Self = Self;
  Volume->Target = Target;
  Volume->Vpb = Vpb;
  KeInitializeEvent(&Volume->Lock, SynchronizationEvent, TRUE);
}

VOID FsEnter(FsVolume *Volume) {
  KeWaitForSingleObject(&Volume->Lock, Executive, KernelMode, FALSE, nullptr);
}

VOID FsLeave(FsVolume *Volume) {
  KeSetEvent(&Volume->Lock, IO_NO_INCREMENT, FALSE);
}

VOID FsSetVpbLocked(FsVolume *Volume, BOOLEAN Locked) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  if (Locked)
    Volume->Vpb->Flags |= VPB_LOCKED;
  else
    Volume->Vpb->Flags &= ~VPB_LOCKED;
  IoReleaseVpbSpinLock(irql);
}

BOOLEAN FsVolumeIsUnused(FsVolume *Volume, BOOLEAN Creating) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  BOOLEAN unused = Volume->Vpb->ReferenceCount == (Creating ? 1u : 0u);
  if (unused && !Volume->OwnsVpb) {
    Volume->Vpb->DeviceObject = nullptr;
    Volume->Vpb->Flags &= ~(VPB_MOUNTED | VPB_LOCKED);
  }
  IoReleaseVpbSpinLock(irql);
  return unused;
}

VOID FsDeleteVolume(FsVolume *Volume) {
  if (Volume->OwnsVpb) ExFreePool(Volume->Vpb);
  ObDereferenceObject(Volume->Target);
  IoDeleteDevice(Volume->Self);
}
