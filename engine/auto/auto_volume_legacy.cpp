// The older layout kept each automatic volume as one binary value of
// Options\Auto named like the subkeys; start-up rewrites them as subkeys.
#include "engine/auto/auto_volume_keys.h"
#include "engine/auto/auto_volumes.h"
#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "kernel-support/ks_registry.h"

namespace {

// +0 u16 letter, +2 u32 mount flags, +6 u32 properties, +10 u64 size,
// +18 u32 file system, +22 u16 label length, +24 u16 path length, then
// the label's bytes and the path.
constexpr ULONG kLegacyHeadLength = 26;

template <typename T>
T ReadAt(const UCHAR *Data, ULONG Offset) {
  T value;
  RtlCopyMemory(&value, Data + Offset, sizeof(value));
  return value;
}

// Well formed: a letter, a known file system, a size, a path of whole
// characters, and lengths that add up to the value.
BOOLEAN ParseLegacy(ULONG Type, const UCHAR *Data, ULONG Length, AutoVolumeDataParts *Parts) {
  if (Type != REG_BINARY || Length < kLegacyHeadLength) return FALSE;
  RtlZeroMemory(Parts, sizeof(*Parts));
  VV_AUTO_VOLUME_DATA &head = Parts->Head;
  head.DriveLetter = ReadAt<uint16_t>(Data, 0);
  head.MountFlags = ReadAt<uint32_t>(Data, 2);
  head.Properties = ReadAt<uint32_t>(Data, 6);
  head.VolumeSize = ReadAt<uint64_t>(Data, 10);
  head.FileSystem = ReadAt<uint32_t>(Data, 18);
  head.VolumeLabelLength = ReadAt<uint16_t>(Data, 22);
  head.ImageFilePathLength = ReadAt<uint16_t>(Data, 24);
  if (!IsDriveLetter(head.DriveLetter) || head.FileSystem > ENGINE_FS_LAST || head.VolumeSize == 0 ||
      head.ImageFilePathLength % sizeof(WCHAR) ||
      Length != kLegacyHeadLength + ULONG{head.VolumeLabelLength} + head.ImageFilePathLength)
    return FALSE;
  Parts->VolumeLabel = {Data + kLegacyHeadLength, head.VolumeLabelLength};
  Parts->ImageFilePath = {Data + kLegacyHeadLength + head.VolumeLabelLength, head.ImageFilePathLength};
  return TRUE;
}

ULONG ConvertVisitor(PVOID, PCUNICODE_STRING Name, ULONG Type, const VOID *Data, ULONG Length) {
  if (!IsAutoVolumeKeyName(Name)) return KS_ENUM_SKIP;
  AutoVolumeDataParts parts;
  if (!ParseLegacy(Type, static_cast<const UCHAR *>(Data), Length, &parts)) return KS_ENUM_DELETE;
  // A record the engine cannot take now stays for a later start.
  if (!NT_SUCCESS(AutoVolumeCheck(&parts)) || !NT_SUCCESS(AutoVolumeWriteKey(&parts))) return KS_ENUM_SKIP;
  return KS_ENUM_DELETE;
}

}  // namespace

NTSTATUS ConvertLegacyAutoVolumes() {
  return KsEnumerateValues(Engine.AutoKey, KS_WSTR("?:"), ConvertVisitor, nullptr);
}
