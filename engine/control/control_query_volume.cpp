// QueryVolumeInformation: the state, size, cipher and letters of a volume.
#include "engine/control/control_volume.h"
#include "engine/volume/volume_parts.h"

NTSTATUS ControlQueryVolumeInformation(ControlRequest *Request) {
  VolumeHandleRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume, {.ReplyLength = sizeof(VolumeInfoReply)});
  if (!NT_SUCCESS(status)) return status;
  if (!volume->Store || !volume->Cipher) {
    VolumeRelease(&volume);
    return STATUS_INVALID_DEVICE_STATE;
  }

  VolumeInfoReply reply;
  RtlZeroMemory(&reply, sizeof(reply));
  reply.StateFlags = ReadULongAcquire(&volume->StateFlags);
  reply.Properties = ReadULongAcquire(&volume->Properties);
  reply.VolumeSize = VolumeStoreSize(volume->Store);
  reply.DriveLetter = volume->DriveLetter;
  reply.AlgorithmId = CipherAlgorithmId(volume->Cipher);
  reply.KeyLength = CipherKeyLength(volume->Cipher);
  reply.CipherBlockSize = CipherBlockSize(volume->Cipher);
  reply.SessionId = volume->SessionId;
  reply.LogonSessionId = static_cast<uint64_t>(volume->LogonId.LowPart) |
                         static_cast<uint64_t>(static_cast<ULONG>(volume->LogonId.HighPart)) << 32;
  reply.SessionLocal = volume->SessionLocal;
  KIRQL irql;
  KeAcquireSpinLock(&volume->SpinLock, &irql);
  reply.PagingUseCount = volume->PagingUseCount;
  KeReleaseSpinLock(&volume->SpinLock, irql);
  UCHAR count = volume->AdditionalLetterCount;
  if (count > VOLUME_MAX_ADDITIONAL_LETTERS) count = VOLUME_MAX_ADDITIONAL_LETTERS;
  reply.AdditionalLetterCount = count;
  for (UCHAR i = 0; i < count; ++i) reply.AdditionalLetters[i] = volume->AdditionalLetters[i];
  VolumeRelease(&volume);

  RtlCopyMemory(Request->Buffer, &reply, sizeof(reply));
  Request->Information = sizeof(reply);
  return STATUS_SUCCESS;
}
