#include "engine/auto/auto_volume_keys.h"

#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_registry.h"
#include "kernel-support/ks_string.h"

namespace {

// Value names, as the registry keeps them.
#define AUTO_VALUE(name) KS_WSTR(#name)

// The longest string value the record's 16-bit lengths can carry.
constexpr ULONG kMaxStringBytes = 65534;

NTSTATUS WriteValues(HANDLE Key, const AutoVolumeDataParts *Record) {
  const VV_AUTO_VOLUME_DATA &head = Record->Head;
  ULONG dwords[] = {head.MountFlags, head.NumaNodeIndex, head.Properties, head.FileSystem, head.AutoflushFlags,
                    head.AutoflushPeriod};
  PCWSTR names[] = {AUTO_VALUE(MountFlags),     AUTO_VALUE(NumaNodeIndex),  AUTO_VALUE(Properties),
                    AUTO_VALUE(FileSystem),     AUTO_VALUE(AutoflushFlags), AUTO_VALUE(AutoflushPeriod)};
  for (ULONG i = 0; i < RTL_NUMBER_OF(dwords); ++i) {
    NTSTATUS status = KsSetValue(Key, names[i], REG_DWORD, &dwords[i], sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
  }
  ULONGLONG size = head.VolumeSize;
  NTSTATUS status = KsSetValue(Key, AUTO_VALUE(VolumeSize), REG_QWORD, &size, sizeof(size));
  if (!NT_SUCCESS(status)) return status;

  const EngineBytes &path = Record->ImageFilePath;
  status = path.Length ? KsSetValue(Key, AUTO_VALUE(ImageFilePath), REG_SZ, path.Data, path.Length)
                       : KsDeleteValue(Key, AUTO_VALUE(ImageFilePath));
  if (!NT_SUCCESS(status)) return status;
  const EngineBytes &folders = Record->InitialFolders;
  status = folders.Length ? KsSetBinary(Key, AUTO_VALUE(InitialFolders), folders.Data, folders.Length)
                          : KsDeleteValue(Key, AUTO_VALUE(InitialFolders));
  if (!NT_SUCCESS(status)) return status;
  const EngineBytes &label = Record->VolumeLabel;
  status = label.Length ? KsSetBinary(Key, AUTO_VALUE(VolumeLabel), label.Data, label.Length)
                        : KsDeleteValue(Key, AUTO_VALUE(VolumeLabel));
  if (!NT_SUCCESS(status) || head.AdditionalLetterCount == 0) return status;
  WCHAR letters[ENGINE_MAX_ADDITIONAL_LETTERS];
  for (UCHAR i = 0; i < head.AdditionalLetterCount; ++i) letters[i] = head.AdditionalLetters[i];
  return KsSetValue(Key, AUTO_VALUE(AdditionalLetters), REG_SZ, letters, head.AdditionalLetterCount * sizeof(WCHAR));
}

// A value that may be absent: 0 then.
NTSTATUS ReadOptionalDword(HANDLE Key, PCWSTR Name, PULONG Value) {
  NTSTATUS status = KsReadDword(Key, Name, Value);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    *Value = 0;
    return STATUS_SUCCESS;
  }
  return status;
}

// A string value's bytes, or nothing when absent. Text values lose their
// terminators; the label's 16-bit characters become 8-bit ones.
NTSTATUS ReadOptionalBytes(HANDLE Key, PCWSTR Name, BOOLEAN Narrow, PVOID *Data, PULONG Length) {
  ULONG type = REG_NONE;
  NTSTATUS status = KsReadBinary(Key, Name, Data, Length, &type);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return status;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    auto *text = static_cast<PWCHAR>(*Data);
    ULONG length = *Length & ~1u;
    while (length >= sizeof(WCHAR) && text[length / sizeof(WCHAR) - 1] == 0) length -= sizeof(WCHAR);
    if (Narrow) {
      auto *bytes = static_cast<PUCHAR>(*Data);
      for (ULONG i = 0; i < length / sizeof(WCHAR); ++i) bytes[i] = text[i] < 0x100 ? static_cast<UCHAR>(text[i]) : '_';
      length /= sizeof(WCHAR);
    }
    *Length = length;
  }
  if (*Length > kMaxStringBytes) status = STATUS_NAME_TOO_LONG;
  if (!NT_SUCCESS(status) || *Length == 0) {
    KsFree(Data);
    *Length = 0;
  }
  return status;
}

NTSTATUS ReadValues(HANDLE Key, AutoVolumeRecord *Record) {
  VV_AUTO_VOLUME_DATA &head = Record->Head;
  ULONG value;
  NTSTATUS status = KsReadDword(Key, AUTO_VALUE(MountFlags), &value);
  head.MountFlags = value;
  if (NT_SUCCESS(status)) status = KsReadDword(Key, AUTO_VALUE(NumaNodeIndex), &value);
  head.NumaNodeIndex = value;
  if (NT_SUCCESS(status)) status = KsReadDword(Key, AUTO_VALUE(Properties), &value);
  head.Properties = value;
  ULONGLONG size = 0;
  if (NT_SUCCESS(status)) status = KsReadQword(Key, AUTO_VALUE(VolumeSize), &size);
  head.VolumeSize = size;
  if (NT_SUCCESS(status)) status = KsReadDword(Key, AUTO_VALUE(FileSystem), &value);
  head.FileSystem = value;
  if (NT_SUCCESS(status)) status = ReadOptionalDword(Key, AUTO_VALUE(AutoflushFlags), &value);
  head.AutoflushFlags = value;
  if (NT_SUCCESS(status)) status = ReadOptionalDword(Key, AUTO_VALUE(AutoflushPeriod), &value);
  head.AutoflushPeriod = value;
  if (!NT_SUCCESS(status)) return status;

  ULONG length = 0;
  status = ReadOptionalBytes(Key, AUTO_VALUE(VolumeLabel), TRUE, &Record->Label, &length);
  head.VolumeLabelLength = static_cast<uint16_t>(length);
  length = 0;
  if (NT_SUCCESS(status)) status = ReadOptionalBytes(Key, AUTO_VALUE(ImageFilePath), FALSE, &Record->Path, &length);
  head.ImageFilePathLength = static_cast<uint16_t>(length);
  length = 0;
  if (NT_SUCCESS(status)) status = ReadOptionalBytes(Key, AUTO_VALUE(InitialFolders), FALSE, &Record->Folders, &length);
  head.InitialFoldersLength = length;
  if (!NT_SUCCESS(status)) return status;

  PUNICODE_STRING letters = nullptr;
  status = KsReadString(Key, AUTO_VALUE(AdditionalLetters), &letters);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return status;
  // The engine never writes more than a disk can have partitions for
  // letters; a longer value keeps its first 26.
  ULONG count = letters->Length / sizeof(WCHAR);
  if (count > ENGINE_MAX_ADDITIONAL_LETTERS) count = ENGINE_MAX_ADDITIONAL_LETTERS;
  head.AdditionalLetterCount = static_cast<uint8_t>(count);
  for (ULONG i = 0; i < count; ++i) head.AdditionalLetters[i] = letters->Buffer[i];
  KsFreeString(&letters);
  return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN IsAutoVolumeKeyName(PCUNICODE_STRING Name) {
  return Name->Length == 2 * sizeof(WCHAR) && IsDriveLetter(Name->Buffer[0]) && Name->Buffer[1] == u':';
}

NTSTATUS AutoVolumeCheck(AutoVolumeDataParts *Record) {
  VV_AUTO_VOLUME_DATA &head = Record->Head;
  if (!IsDriveLetter(head.DriveLetter)) return STATUS_INVALID_PARAMETER;
  if (head.FileSystem > ENGINE_FS_LAST) return STATUS_INVALID_PARAMETER;
  // A volume that mounts its image directly needs one.
  if (!(head.MountFlags & ENGINE_MOUNT_MEMORY) && head.ImageFilePathLength == 0) return STATUS_INVALID_PARAMETER;
  if (head.InitialFoldersLength % sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  if (head.AdditionalLetterCount > ENGINE_MAX_ADDITIONAL_LETTERS) return STATUS_INVALID_PARAMETER;
  if (head.ImageFilePathLength % sizeof(WCHAR)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  for (UCHAR i = 0; i < head.AdditionalLetterCount; ++i)
    if (!IsDriveLetter(head.AdditionalLetters[i])) return STATUS_INVALID_PARAMETER;
  head.DriveLetter = UpcaseLetter(head.DriveLetter);
  for (UCHAR i = 0; i < head.AdditionalLetterCount; ++i) head.AdditionalLetters[i] = UpcaseLetter(head.AdditionalLetters[i]);
  return STATUS_SUCCESS;
}

NTSTATUS AutoVolumeWriteKey(const AutoVolumeDataParts *Record) {
  WCHAR keyName[2] = {Record->Head.DriveLetter, u':'};
  UNICODE_STRING name{sizeof(keyName), sizeof(keyName), keyName};
  NTSTATUS status = KsDeleteKey(Engine.AutoKey, &name);
  if (!NT_SUCCESS(status)) return status;
  HANDLE key;
  status = KsCreateKey(&key, Engine.AutoKey, &name, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, nullptr);
  if (!NT_SUCCESS(status)) return status;
  status = WriteValues(key, Record);
  if (!NT_SUCCESS(status)) ZwDeleteKey(key);
  ZwClose(key);
  return status;
}

NTSTATUS AutoVolumeReadKey(PCUNICODE_STRING Name, AutoVolumeRecord *Record) {
  RtlZeroMemory(Record, sizeof(*Record));
  Record->Head.DriveLetter = Name->Buffer[0];
  HANDLE key;
  NTSTATUS status = KsOpenKey(&key, Engine.AutoKey, Name, KEY_READ);
  if (!NT_SUCCESS(status)) return status;
  status = ReadValues(key, Record);
  ZwClose(key);
  if (!NT_SUCCESS(status)) AutoVolumeRecordFree(Record);
  return status;
}

VOID AutoVolumeRecordFree(AutoVolumeRecord *Record) {
  KsFree(&Record->Label);
  KsFree(&Record->Path);
  KsFree(&Record->Folders);
}

ULONG AutoVolumeRecordLength(const AutoVolumeRecord *Record) {
  const VV_AUTO_VOLUME_DATA &head = Record->Head;
  return static_cast<ULONG>(
      AutoVolumeDataSize(head.VolumeLabelLength, head.ImageFilePathLength, head.InitialFoldersLength));
}

AutoVolumeDataParts AutoVolumeRecordParts(const AutoVolumeRecord *Record) {
  AutoVolumeDataParts parts;
  parts.Head = Record->Head;
  parts.VolumeLabel = {Record->Label, Record->Head.VolumeLabelLength};
  parts.ImageFilePath = {Record->Path, Record->Head.ImageFilePathLength};
  parts.InitialFolders = {Record->Folders, Record->Head.InitialFoldersLength};
  return parts;
}
