// Making a volume for a CreateMemoryVolume or MountImage request: cipher,
// store, the fresh memory's zero fill and format, and the volume itself.
#pragma once

#include "kernel-support/kernel.h"

struct VolumeMountParameters {
  ULONG MountFlags;
  ULONG NumaNode;
  ULONGLONG Size;            // 0: the image decides
  PCUNICODE_STRING ImagePath;  // null: a fresh memory volume
  ULONG AlgorithmId;         // used without image path and raw flag
  const VOID *Key;           // UTF-16 bytes, may be unaligned
  ULONG KeyLength;
  ULONG FileSystem;          // 0: no format
  ULONG FormatFlags;
  PCSTR Label;               // NUL-terminated, may be empty
};

// Creates the volume. *Outcome is the image status of the reply and
// *Handle the new volume's handle; on failure nothing is left behind.
NTSTATUS VolumeMount(const VolumeMountParameters *Parameters, ULONG64 *Handle, PULONG Outcome);
