// Stand-ins for the volume pieces that are not built yet. No volume can be
// created before they are, so none of these meets a real store, cipher or
// volume device.
#include "kernel-support/ks_string.h"
#include "engine/volume/volume_parts.h"

// The store and the cipher are in store/store_volume_parts.cpp.

NTSTATUS VolumePostCommand(VolumeBlock *Volume, ULONG) {
  return VolumeHasFlags(Volume, VOLUME_WORKER_RUNNING) ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS;
}

BOOLEAN VolumeQueueIsEmpty(VolumeBlock *Volume) { return Volume->RequestQueue == nullptr; }

NTSTATUS VolumeLockFileSystem(VolumeBlock *) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS VolumeAssignLetters(VolumeBlock *, WCHAR, const WCHAR *, UCHAR, BOOLEAN, LUID, ULONG, LONG,
                             PIRP) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VolumeRemoveLetters(VolumeBlock *Volume, LONG) {
  KsFreeString(&Volume->LetterLink);
  KsFreeString(&Volume->SuggestedLink);
  Volume->DriveLetter = 0;
  Volume->AdditionalLetterCount = 0;
  Volume->SessionLocal = 0;
  VolumeClearFlags(Volume, VOLUME_HAS_LETTER);
  return STATUS_SUCCESS;
}

VOID VolumeFreeNames(VolumeBlock *Volume) {
  KsFreeString(&Volume->DeviceName);
  KsFreeString(&Volume->LetterLink);
  KsFreeString(&Volume->SuggestedLink);
  KsFree(&Volume->OwnerSid);
}

namespace {

NTSTATUS CompleteInvalid(PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS VolumeDispatchCreate(PDEVICE_OBJECT, PIRP Irp) { return CompleteInvalid(Irp); }
NTSTATUS VolumeDispatchClose(PDEVICE_OBJECT, PIRP Irp) { return CompleteInvalid(Irp); }
NTSTATUS VolumeDispatchReadWrite(PDEVICE_OBJECT, PIRP Irp) { return CompleteInvalid(Irp); }
NTSTATUS VolumeDispatchDeviceControl(PDEVICE_OBJECT, PIRP Irp) { return CompleteInvalid(Irp); }
NTSTATUS VolumeDispatchShutdown(PDEVICE_OBJECT, PIRP Irp) { return CompleteInvalid(Irp); }
NTSTATUS VolumeDispatchPnp(PDEVICE_OBJECT, PIRP Irp) { return CompleteInvalid(Irp); }
