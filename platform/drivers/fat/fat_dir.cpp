// Directory listings: the entries of a folder that match a pattern, in the
// record kinds callers ask for, from where the last query left off.
#include "platform/drivers/fat/fat_volume.h"
#include "platform/drivers/fscommon/fs_info.h"

namespace {

ULONG NameOffset(FILE_INFORMATION_CLASS Class) {
  switch (Class) {
    case FileDirectoryInformation: return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileIdBothDirectoryInformation: return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation: return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    default: return 0;
  }
}

// Fills one record at `Out` with room `Room` (at least the fixed part); the
// name as far as it fits. Returns the bytes the whole record needs.
ULONG Fill(FatVolume *Volume, FatFcb *Dir, FILE_INFORMATION_CLASS Class, const FatEntry *e, PUCHAR Out, ULONG Room) {
  ULONG head = NameOffset(Class);
  ULONG nameBytes = e->NameLength * sizeof(WCHAR);
  RtlZeroMemory(Out, head);
  const FatDirent *d = &e->Dirent;
  BOOLEAN directory = (d->Attributes & kFatAttrDirectory) != 0;
  if (Class == FileNamesInformation) {
    auto *r = reinterpret_cast<PFILE_NAMES_INFORMATION>(Out);
    r->FileIndex = e->Offset;
    r->FileNameLength = nameBytes;
  } else {
    // The fields these records share come first, in the same places.
    auto *r = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(Out);
    r->FileIndex = e->Offset;
    FatFillTimes(d, &r->CreationTime, &r->LastAccessTime, &r->LastWriteTime);
    r->ChangeTime = r->LastWriteTime;
    r->EndOfFile.QuadPart = directory ? 0 : d->FileSize;
    r->AllocationSize.QuadPart = directory ? 0 : static_cast<LONGLONG>(FatAllocationOf(Volume, d));
    r->FileAttributes = FatAttributesOf(d);
    r->FileNameLength = nameBytes;
    if (Class == FileBothDirectoryInformation || Class == FileIdBothDirectoryInformation) {
      // The short name, when the name itself is not one.
      auto *both = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(Out);
      if (e->FirstSlot != e->Offset) {
        both->ShortNameLength = static_cast<CCHAR>(e->ShortLength * sizeof(WCHAR));
        RtlCopyMemory(both->ShortName, e->Short, e->ShortLength * sizeof(WCHAR));
      }
      if (Class == FileIdBothDirectoryInformation)
        reinterpret_cast<PFILE_ID_BOTH_DIR_INFORMATION>(Out)->FileId.QuadPart =
            (static_cast<LONGLONG>(FatFcbCluster(Dir)) << 32) | e->Offset;
    }
  }
  ULONG copy = nameBytes < Room - head ? nameBytes : Room - head;
  RtlCopyMemory(Out + head, e->Name, copy);
  return head + nameBytes;
}

NTSTATUS Query(FatVolume *Volume, PIRP Irp, ULONG_PTR *Information) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  auto *fcb = static_cast<FatFcb *>(file->FsContext);
  auto *ccb = static_cast<FatCcb *>(file->FsContext2);
  if (!fcb || !FatFcbIsDirectory(fcb)) return STATUS_INVALID_PARAMETER;
  FILE_INFORMATION_CLASS infoClass = stack->Parameters.QueryDirectory.FileInformationClass;
  ULONG head = NameOffset(infoClass);
  if (!head) return STATUS_INVALID_INFO_CLASS;
  ULONG length = stack->Parameters.QueryDirectory.Length;
  if (length < head) return STATUS_INFO_LENGTH_MISMATCH;
  auto *out = static_cast<PUCHAR>(FsRequestBuffer(Irp));
  if (!out) return STATUS_INSUFFICIENT_RESOURCES;
  PUNICODE_STRING pattern = stack->Parameters.QueryDirectory.FileName;
  BOOLEAN restart = (stack->Flags & SL_RESTART_SCAN) != 0;
  BOOLEAN first = !ccb->QueryStarted;
  // The pattern is the first query's; a restart may give a new one.
  if (first || (restart && pattern && pattern->Length)) {
    if (ccb->Pattern) ExFreePoolWithTag(ccb->Pattern, kFatTag);
    ccb->Pattern = nullptr;
    ccb->PatternLength = 0;
    if (pattern && pattern->Length) {
      ccb->Pattern = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, pattern->Length, kFatTag));
      if (!ccb->Pattern) return STATUS_INSUFFICIENT_RESOURCES;
      RtlCopyMemory(ccb->Pattern, pattern->Buffer, pattern->Length);
      ccb->PatternLength = static_cast<USHORT>(pattern->Length / sizeof(WCHAR));
    }
    ccb->QueryStarted = TRUE;
  }
  if (first || restart) ccb->QueryOffset = 0;
  BOOLEAN single = (stack->Flags & SL_RETURN_SINGLE_ENTRY) != 0;
  auto *entry = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG used = 0, lastRecord = 0;
  ULONG count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    ULONG offset = ccb->QueryOffset;
    NTSTATUS next = FatNextEntry(&Volume->Core, FatFcbCluster(fcb), &offset, entry);
    if (next == STATUS_NO_MORE_FILES) break;
    if (!NT_SUCCESS(next)) {
      status = next;
      break;
    }
    BOOLEAN matches = !ccb->Pattern ||
                      FatNameMatches(ccb->Pattern, ccb->PatternLength, entry->Name, entry->NameLength) ||
                      FatNameMatches(ccb->Pattern, ccb->PatternLength, entry->Short, entry->ShortLength);
    if (!matches) {
      ccb->QueryOffset = offset;
      continue;
    }
    ULONG at = (used + 7) & ~7u;
    ULONG need = head + entry->NameLength * sizeof(WCHAR);
    if (count && (at >= length || need > length - at)) break;  // the next query gets it
    if (count) reinterpret_cast<PULONG>(out + lastRecord)[0] = at - lastRecord;
    ULONG whole = Fill(Volume, fcb, infoClass, entry, out + at, length - at);
    ccb->QueryOffset = offset;
    lastRecord = at;
    ++count;
    if (whole > length - at) {
      // The first record alone does not fit: as much of it as does.
      used = length;
      status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    used = at + whole;
    if (single) break;
  }
  ExFreePoolWithTag(entry, kFatTag);
  if (NT_SUCCESS(status) && count == 0) status = first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  *Information = count ? used : 0;
  return status;
}

NTSTATUS List(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information) {
  return Query(static_cast<FatVolume *>(Volume), Irp, Information);
}

}  // namespace

NTSTATUS FatDirectoryControl(FatVolume *Volume, PIRP Irp) { return FsDirectoryControl(Volume, Irp, List, nullptr); }
