// Directory listings: the entries of a folder that match a pattern, in the
// record kinds callers ask for, from where the last query left off (the
// library's index position of the next entry).
#include "platform/drivers/fscommon/fs_info.h"
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

constexpr ULONG kBatch = 128;

ULONG NameOffset(FILE_INFORMATION_CLASS Class) {
  switch (Class) {
    case FileDirectoryInformation: return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileIdBothDirectoryInformation: return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation: return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case FileNamesInformation: return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    default: return 0;
  }
}

// Fills one record at Out with room Room (at least the fixed part); the
// name as far as it fits. Returns the bytes the whole record needs.
ULONG Fill(FILE_INFORMATION_CLASS Class, const NtfsLibEntry &e, const NtfsLibInfo &i, PUCHAR Out, ULONG Room) {
  ULONG head = NameOffset(Class);
  ULONG nameBytes = e.NameLength * sizeof(WCHAR);
  RtlZeroMemory(Out, head);
  ULONG index = static_cast<ULONG>(e.Position);
  if (Class == FileNamesInformation) {
    auto *r = reinterpret_cast<PFILE_NAMES_INFORMATION>(Out);
    r->FileIndex = index;
    r->FileNameLength = nameBytes;
  } else {
    // The fields these records share come first, in the same places.
    auto *r = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(Out);
    r->FileIndex = index;
    r->CreationTime.QuadPart = i.Creation;
    r->LastAccessTime.QuadPart = i.Access;
    r->LastWriteTime.QuadPart = i.Write;
    r->ChangeTime.QuadPart = i.Change;
    r->EndOfFile.QuadPart = static_cast<LONGLONG>(i.Size);
    r->AllocationSize.QuadPart = static_cast<LONGLONG>(i.Allocation);
    r->FileAttributes = i.Attributes;
    r->FileNameLength = nameBytes;
    if (Class == FileIdBothDirectoryInformation)
      reinterpret_cast<PFILE_ID_BOTH_DIR_INFORMATION>(Out)->FileId.QuadPart = static_cast<LONGLONG>(e.Inode);
    if (Class == FileIdFullDirectoryInformation)
      reinterpret_cast<PFILE_ID_FULL_DIR_INFORMATION>(Out)->FileId.QuadPart = static_cast<LONGLONG>(e.Inode);
  }
  ULONG copy = nameBytes < Room - head ? nameBytes : Room - head;
  RtlCopyMemory(Out + head, e.Name, copy);
  return head + nameBytes;
}

BOOLEAN Matches(NtfsCcb *Ccb, const NtfsLibEntry &e) {
  if (!Ccb->Pattern) return TRUE;
  UNICODE_STRING pattern{Ccb->PatternLength, Ccb->PatternLength, Ccb->Pattern};
  UNICODE_STRING name{static_cast<USHORT>(e.NameLength * sizeof(WCHAR)), static_cast<USHORT>(e.NameLength * sizeof(WCHAR)),
                      const_cast<PWCHAR>(reinterpret_cast<PCWSTR>(e.Name))};
  return FsRtlIsNameInExpression(&pattern, &name, TRUE, nullptr);
}

// The search's pattern in upper case; "*" is no pattern at all.
NTSTATUS TakePattern(NtfsCcb *Ccb, PUNICODE_STRING Pattern) {
  if (Ccb->Pattern) ExFreePoolWithTag(Ccb->Pattern, kNtfsTag);
  Ccb->Pattern = nullptr;
  Ccb->PatternLength = 0;
  if (!Pattern || !Pattern->Length || (Pattern->Length == sizeof(WCHAR) && Pattern->Buffer[0] == u'*'))
    return STATUS_SUCCESS;
  Ccb->Pattern = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Pattern->Length, kNtfsTag));
  if (!Ccb->Pattern) return STATUS_INSUFFICIENT_RESOURCES;
  for (USHORT i = 0; i < Pattern->Length / sizeof(WCHAR); ++i) Ccb->Pattern[i] = RtlUpcaseUnicodeChar(Pattern->Buffer[i]);
  Ccb->PatternLength = Pattern->Length;
  return STATUS_SUCCESS;
}

NTSTATUS Query(NtfsVolume *Volume, PIRP Irp, ULONG_PTR *Information) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  auto *fcb = static_cast<NtfsFcb *>(file->FsContext);
  auto *ccb = static_cast<NtfsCcb *>(file->FsContext2);
  if (!fcb || !fcb->Directory) return STATUS_INVALID_PARAMETER;
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
    NTSTATUS taken = TakePattern(ccb, pattern);
    if (!NT_SUCCESS(taken)) return taken;
    ccb->QueryStarted = TRUE;
  }
  if (first || restart) {
    ccb->QueryPosition = 0;
    ccb->QueryDone = FALSE;
  }
  BOOLEAN single = (stack->Flags & SL_RETURN_SINGLE_ENTRY) != 0;
  auto *batch = static_cast<NtfsLibEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kBatch * sizeof(NtfsLibEntry), kNtfsTag));
  if (!batch) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG used = 0, lastRecord = 0, count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN stop = FALSE;
  while (!stop && !ccb->QueryDone) {
    int64_t position = ccb->QueryPosition;
    uint32_t got = 0;
    status = NtfsStatus(NtfsLibReadDirectory(Volume->Lib, fcb->Inode, &position, batch, kBatch, &got));
    if (!NT_SUCCESS(status)) break;
    if (got == 0) {
      ccb->QueryDone = TRUE;
      break;
    }
    for (uint32_t k = 0; k < got && !stop; ++k) {
      const NtfsLibEntry &e = batch[k];
      if (!Matches(ccb, e)) continue;
      NtfsLibInfo info{};
      if (infoClass != FileNamesInformation) {
        status = NtfsStatus(NtfsLibStat(Volume->Lib, e.Inode, &info));
        if (!NT_SUCCESS(status)) {
          stop = TRUE;
          break;
        }
      }
      ULONG at = (used + 7) & ~7u;
      ULONG need = head + e.NameLength * sizeof(WCHAR);
      if (count && (at >= length || need > length - at)) {
        // The next query starts with this entry.
        ccb->QueryPosition = e.Position;
        stop = TRUE;
        break;
      }
      if (count) reinterpret_cast<PULONG>(out + lastRecord)[0] = at - lastRecord;
      ULONG whole = Fill(infoClass, e, info, out + at, length - at);
      lastRecord = at;
      ++count;
      if (whole > length - at) {
        // The first record alone does not fit: as much of it as does, and
        // it stays next.
        used = length;
        ccb->QueryPosition = e.Position;
        status = STATUS_BUFFER_OVERFLOW;
        stop = TRUE;
        break;
      }
      used = at + whole;
      if (single) {
        ccb->QueryPosition = k + 1 < got ? batch[k + 1].Position : position;
        stop = TRUE;
      }
    }
    if (!stop) ccb->QueryPosition = position;
  }
  ExFreePoolWithTag(batch, kNtfsTag);
  if (NT_SUCCESS(status) && count == 0) status = first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  *Information = count ? used : 0;
  return status;
}

NTSTATUS List(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information) {
  return Query(static_cast<NtfsVolume *>(Volume), Irp, Information);
}

}  // namespace

NTSTATUS NtfsDirectoryControl(NtfsVolume *Volume, PIRP Irp) {
  return FsDirectoryControl(Volume, Irp, List, NtfsLibraryGone);
}
