// File information: what a file or folder says of itself, and what may be
// changed: times and attributes, size, deletion and the name.
#include "platform/drivers/fscommon/fs_info.h"
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

// The path from the root, "\" for the root itself; the length in bytes.
ULONG FullName(NtfsFcb *Fcb, PWCHAR Out, ULONG Room) {
  ULONG total = 0;
  for (NtfsFcb *f = Fcb; f && !f->IsRoot; f = f->Parent) total += (f->NameLength + 1) * sizeof(WCHAR);
  if (total == 0) total = sizeof(WCHAR);
  if (Out) {
    auto *buffer = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, total, kNtfsTag));
    if (!buffer) return 0;
    ULONG at = total / sizeof(WCHAR);
    buffer[0] = u'\\';
    for (NtfsFcb *f = Fcb; f && !f->IsRoot; f = f->Parent) {
      at -= f->NameLength;
      RtlCopyMemory(buffer + at, f->Name, f->NameLength * sizeof(WCHAR));
      buffer[--at] = u'\\';
    }
    RtlCopyMemory(Out, buffer, total < Room ? total : Room);
    ExFreePoolWithTag(buffer, kNtfsTag);
  }
  return total;
}

VOID FillBasic(const NtfsLibInfo &i, PFILE_BASIC_INFORMATION b) {
  b->CreationTime.QuadPart = i.Creation;
  b->LastAccessTime.QuadPart = i.Access;
  b->LastWriteTime.QuadPart = i.Write;
  b->ChangeTime.QuadPart = i.Change;
  b->FileAttributes = i.Attributes;
}

VOID FillStandard(const NtfsLibInfo &i, NtfsFcb *Fcb, PFILE_STANDARD_INFORMATION s) {
  s->AllocationSize.QuadPart = static_cast<LONGLONG>(i.Allocation);
  s->EndOfFile.QuadPart = static_cast<LONGLONG>(i.Size);
  s->NumberOfLinks = i.Links ? i.Links : 1;
  s->DeletePending = Fcb->DeletePending;
  s->Directory = i.Directory;
}

// A name record: as much of the name as fits; STATUS_BUFFER_OVERFLOW when
// not all of it does.
NTSTATUS FillName(NtfsFcb *Fcb, PFILE_NAME_INFORMATION Info, ULONG Room, ULONG *Used) {
  ULONG total = FullName(Fcb, nullptr, 0);
  FullName(Fcb, Info->FileName, Room);
  Info->FileNameLength = total;
  *Used = total < Room ? total : Room;
  return total <= Room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS Query(NtfsVolume *Volume, PFILE_OBJECT File, NtfsFcb *Fcb, FILE_INFORMATION_CLASS Class, PVOID Buffer,
               ULONG Length, ULONG_PTR *Information) {
  NtfsLibInfo info;
  NTSTATUS status = NtfsStatus(NtfsLibStat(Volume->Lib, Fcb->Inode, &info));
  if (!NT_SUCCESS(status)) return status;
  switch (Class) {
    case FileBasicInformation:
      if (Length < sizeof(FILE_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      FillBasic(info, static_cast<PFILE_BASIC_INFORMATION>(Buffer));
      *Information = sizeof(FILE_BASIC_INFORMATION);
      return STATUS_SUCCESS;
    case FileStandardInformation:
      if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      FillStandard(info, Fcb, static_cast<PFILE_STANDARD_INFORMATION>(Buffer));
      *Information = sizeof(FILE_STANDARD_INFORMATION);
      return STATUS_SUCCESS;
    case FileInternalInformation:
      if (Length < sizeof(FILE_INTERNAL_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<PFILE_INTERNAL_INFORMATION>(Buffer)->IndexNumber.QuadPart = static_cast<LONGLONG>(Fcb->Inode);
      *Information = sizeof(FILE_INTERNAL_INFORMATION);
      return STATUS_SUCCESS;
    case FileEaInformation:
      if (Length < sizeof(FILE_EA_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<PFILE_EA_INFORMATION>(Buffer)->EaSize = 0;
      *Information = sizeof(FILE_EA_INFORMATION);
      return STATUS_SUCCESS;
    case FilePositionInformation:
      return FsQueryPosition(File, Buffer, Length, Information);
    case FileNameInformation: {
      ULONG head = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      ULONG used = 0;
      status = FillName(Fcb, static_cast<PFILE_NAME_INFORMATION>(Buffer), Length - head, &used);
      *Information = head + used;
      return status;
    }
    case FileAllInformation: {
      ULONG head = FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation.FileName);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *all = static_cast<PFILE_ALL_INFORMATION>(Buffer);
      RtlZeroMemory(all, head);
      FillBasic(info, &all->BasicInformation);
      FillStandard(info, Fcb, &all->StandardInformation);
      all->InternalInformation.IndexNumber.QuadPart = static_cast<LONGLONG>(Fcb->Inode);
      all->PositionInformation.CurrentByteOffset = File->CurrentByteOffset;
      all->AlignmentInformation.AlignmentRequirement = Volume->Self->AlignmentRequirement;
      ULONG used = 0;
      status = FillName(Fcb, &all->NameInformation, Length - head, &used);
      *Information = head + used;
      return status;
    }
    case FileNetworkOpenInformation: {
      if (Length < sizeof(FILE_NETWORK_OPEN_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *n = static_cast<PFILE_NETWORK_OPEN_INFORMATION>(Buffer);
      n->CreationTime.QuadPart = info.Creation;
      n->LastAccessTime.QuadPart = info.Access;
      n->LastWriteTime.QuadPart = info.Write;
      n->ChangeTime.QuadPart = info.Change;
      n->AllocationSize.QuadPart = static_cast<LONGLONG>(info.Allocation);
      n->EndOfFile.QuadPart = static_cast<LONGLONG>(info.Size);
      n->FileAttributes = info.Attributes;
      *Information = sizeof *n;
      return STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
      if (Length < sizeof(FILE_ATTRIBUTE_TAG_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *t = static_cast<PFILE_ATTRIBUTE_TAG_INFORMATION>(Buffer);
      t->FileAttributes = info.Attributes;
      t->ReparseTag = 0;
      *Information = sizeof *t;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS SetBasic(NtfsVolume *Volume, NtfsFcb *Fcb, const FILE_BASIC_INFORMATION *b) {
  ULONG attributes = b->FileAttributes;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !Fcb->Directory) return STATUS_INVALID_PARAMETER;
  if (attributes) {
    // The bits that cannot be set here stay as they are.
    NtfsLibInfo info;
    NTSTATUS status = NtfsStatus(NtfsLibStat(Volume->Lib, Fcb->Inode, &info));
    if (!NT_SUCCESS(status)) return status;
    attributes &= ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
    attributes |= info.Attributes & FILE_ATTRIBUTE_COMPRESSED;
    // Nothing settable left is a plain file: clear every settable bit.
    if (!attributes) attributes = FILE_ATTRIBUTE_NORMAL;
  }
  return NtfsStatus(NtfsLibSetBasic(Volume->Lib, Fcb->Inode, b->CreationTime.QuadPart, b->LastAccessTime.QuadPart,
                                    b->LastWriteTime.QuadPart, b->ChangeTime.QuadPart, attributes));
}

NTSTATUS SetDisposition(NtfsVolume *Volume, PFILE_OBJECT File, NtfsFcb *Fcb, BOOLEAN Delete) {
  if (!Delete) {
    Fcb->DeletePending = FALSE;
    File->DeletePending = FALSE;
    return STATUS_SUCCESS;
  }
  if (Fcb->IsRoot) return STATUS_CANNOT_DELETE;
  NtfsLibInfo info;
  NTSTATUS status = NtfsStatus(NtfsLibStat(Volume->Lib, Fcb->Inode, &info));
  if (!NT_SUCCESS(status)) return status;
  if (info.Attributes & FILE_ATTRIBUTE_READONLY) return STATUS_CANNOT_DELETE;
  if (Fcb->Directory) {
    bool empty = true;
    status = NtfsStatus(NtfsLibDirectoryIsEmpty(Volume->Lib, Fcb->Inode, &empty));
    if (!NT_SUCCESS(status)) return status;
    if (!empty) return STATUS_DIRECTORY_NOT_EMPTY;
  }
  Fcb->DeletePending = TRUE;
  File->DeletePending = TRUE;
  return STATUS_SUCCESS;
}

BOOLEAN IsWithin(NtfsFcb *Dir, NtfsFcb *Ancestor) {
  for (NtfsFcb *f = Dir; f; f = f->Parent)
    if (f == Ancestor) return TRUE;
  return FALSE;
}

NTSTATUS Rename(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, NtfsFcb *Fcb, const FILE_RENAME_INFORMATION *info,
                ULONG Length) {
  if (Fcb->IsRoot || !Fcb->Parent) return STATUS_INVALID_PARAMETER;
  if (!FsRenameInformationIsWhole(info, Length)) return STATUS_INVALID_PARAMETER;
  NtfsFcb *targetDir = nullptr;
  PCWSTR name = nullptr;
  USHORT nameLength = 0;
  NTSTATUS status = STATUS_SUCCESS;
  PFILE_OBJECT target = Stack->Parameters.SetFile.FileObject;
  if (target) {
    targetDir = static_cast<NtfsFcb *>(target->FsContext);
    if (!targetDir || targetDir->Volume != Volume || !targetDir->Directory) return STATUS_INVALID_PARAMETER;
    ++targetDir->References;
    name = target->FileName.Buffer;
    nameLength = static_cast<USHORT>(target->FileName.Length / sizeof(WCHAR));
  } else {
    PCWSTR path = info->FileName;
    USHORT n = static_cast<USHORT>(info->FileNameLength / sizeof(WCHAR));
    if (n && path[0] == u'\\') {
      status = NtfsWalkToParent(Volume, nullptr, path, n, &targetDir, &name, &nameLength);
      if (!NT_SUCCESS(status)) return status;
    } else {
      if (!FsIsPlainName(path, n)) return STATUS_OBJECT_NAME_INVALID;
      targetDir = Fcb->Parent;
      ++targetDir->References;
      name = path;
      nameLength = n;
    }
  }
  auto *found = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kNtfsMaxName * sizeof(WCHAR), kNtfsTag));
  if (!found) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status) && !NtfsLibNameIsValid(name, nameLength)) status = STATUS_OBJECT_NAME_INVALID;
  if (NT_SUCCESS(status) && Fcb->Directory && IsWithin(targetDir, Fcb)) status = STATUS_INVALID_PARAMETER;
  // A folder with open files below it keeps its place.
  if (NT_SUCCESS(status) && Fcb->Directory && NtfsHasOpenChildren(Volume, Fcb)) status = STATUS_ACCESS_DENIED;
  if (NT_SUCCESS(status)) {
    NtfsLibInfo existing;
    USHORT foundLength = 0;
    int error = NtfsLibLookup(Volume->Lib, targetDir->Inode, name, nameLength, &existing, found, &foundLength);
    if (!error) {
      if (existing.Inode == Fcb->Inode && targetDir == Fcb->Parent) {
        // The same name, perhaps in another case: nothing to do when it is
        // exactly the same.
        if (foundLength == nameLength &&
            RtlCompareMemory(found, name, nameLength * sizeof(WCHAR)) == nameLength * sizeof(WCHAR)) {
          ExFreePoolWithTag(found, kNtfsTag);
          NtfsReleaseFcb(targetDir);
          return STATUS_SUCCESS;
        }
      } else if (!info->ReplaceIfExists) {
        status = STATUS_OBJECT_NAME_COLLISION;
      } else if (existing.Directory || (existing.Attributes & FILE_ATTRIBUTE_READONLY) ||
                 NtfsFindFcb(Volume, existing.Inode)) {
        status = STATUS_ACCESS_DENIED;
      } else {
        status = NtfsStatus(NtfsLibDelete(Volume->Lib, targetDir->Inode, existing.Inode, found, foundLength));
      }
    } else if (NtfsStatus(error) != STATUS_OBJECT_NAME_NOT_FOUND) {
      status = NtfsStatus(error);
    }
  }
  if (NT_SUCCESS(status))
    status = NtfsStatus(NtfsLibRename(Volume->Lib, Fcb->Inode, Fcb->Parent->Inode, Fcb->Name, Fcb->NameLength,
                                      targetDir->Inode, name, nameLength));
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(Fcb->Name, name, nameLength * sizeof(WCHAR));
    Fcb->NameLength = nameLength;
    if (targetDir != Fcb->Parent) {
      NtfsFcb *old = Fcb->Parent;
      Fcb->Parent = targetDir;
      ++targetDir->References;
      NtfsReleaseFcb(old);
    }
  }
  if (found) ExFreePoolWithTag(found, kNtfsTag);
  NtfsReleaseFcb(targetDir);
  return status;
}

NTSTATUS QueryFile(FsVolume *Volume, PFILE_OBJECT File, PVOID Fcb, FILE_INFORMATION_CLASS Class, PVOID Buffer,
                   ULONG Length, ULONG_PTR *Information) {
  return Query(static_cast<NtfsVolume *>(Volume), File, static_cast<NtfsFcb *>(Fcb), Class, Buffer, Length,
               Information);
}

}  // namespace

NTSTATUS NtfsQueryInformation(NtfsVolume *Volume, PIRP Irp) {
  return FsQueryInformation(Volume, Irp, QueryFile, NtfsLibraryGone);
}

NTSTATUS NtfsSetInformation(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  auto *fcb = static_cast<NtfsFcb *>(file->FsContext);
  if (!fcb) return FsPassDown(Volume, Irp);
  PVOID buffer = FsRequestBuffer(Irp);
  ULONG length = stack->Parameters.SetFile.Length;
  FsEnter(Volume);
  NTSTATUS status;
  if (!Volume->Lib) {
    FsLeave(Volume);
    return FsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  }
  switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation:
      status = length < sizeof(FILE_BASIC_INFORMATION) ? STATUS_INFO_LENGTH_MISMATCH
                                                       : SetBasic(Volume, fcb, static_cast<PFILE_BASIC_INFORMATION>(buffer));
      break;
    case FilePositionInformation:
      status = FsSetPosition(file, buffer, length);
      break;
    case FileEndOfFileInformation:
    case FileAllocationInformation: {
      BOOLEAN endOfFile = stack->Parameters.SetFile.FileInformationClass == FileEndOfFileInformation;
      if (length < sizeof(LARGE_INTEGER)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        break;
      }
      LONGLONG size = static_cast<PLARGE_INTEGER>(buffer)->QuadPart;
      if (fcb->Directory) {
        status = STATUS_INVALID_DEVICE_REQUEST;
      } else if (size < 0) {
        status = STATUS_INVALID_PARAMETER;
      } else if (endOfFile) {
        status = NtfsStatus(NtfsLibSetSize(Volume->Lib, fcb->Inode, static_cast<ULONG64>(size)));
      } else {
        // Room beyond the end is not kept; less room cuts the file.
        NtfsLibInfo info;
        status = NtfsStatus(NtfsLibStat(Volume->Lib, fcb->Inode, &info));
        if (NT_SUCCESS(status) && static_cast<ULONG64>(size) < info.Size)
          status = NtfsStatus(NtfsLibSetSize(Volume->Lib, fcb->Inode, static_cast<ULONG64>(size)));
      }
      break;
    }
    case FileDispositionInformation:
      status = length < sizeof(FILE_DISPOSITION_INFORMATION)
                   ? STATUS_INFO_LENGTH_MISMATCH
                   : SetDisposition(Volume, file, fcb, static_cast<PFILE_DISPOSITION_INFORMATION>(buffer)->DeleteFile);
      break;
    case FileRenameInformation:
      status = Rename(Volume, stack, fcb, static_cast<PFILE_RENAME_INFORMATION>(buffer), length);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  FsLeave(Volume);
  return FsComplete(Irp, status, 0);
}
