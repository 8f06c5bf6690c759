// File information: what a file or folder says of itself, and what may be
// changed: times and attributes, size, deletion and the name.
#include "platform/drivers/fscommon/fs_info.h"
#include "platform/drivers/fat/fat_volume.h"

VOID FatFillTimes(const FatDirent *d, PLARGE_INTEGER Creation, PLARGE_INTEGER Access, PLARGE_INTEGER Write) {
  *Creation = FatTimeToSystem(d->CreationDate, d->CreationTime, d->CreationTenths);
  *Access = FatTimeToSystem(d->AccessDate, 0, 0);
  *Write = FatTimeToSystem(d->WriteDate, d->WriteTime, 0);
}

ULONG FatAttributesOf(const FatDirent *d) {
  ULONG a = d->Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

ULONG64 FatAllocationOf(FatVolume *Volume, const FatDirent *d) {
  ULONG64 cs = Volume->Core.ClusterSize;
  return (d->FileSize + cs - 1) / cs * cs;
}

namespace {

// The path from the root, "\" for the root itself; the length in bytes.
ULONG FullName(FatFcb *Fcb, PWCHAR Out, ULONG Room) {
  ULONG total = 0;
  for (FatFcb *f = Fcb; f && !f->IsRoot; f = f->Parent) total += (f->Entry.NameLength + 1) * sizeof(WCHAR);
  if (total == 0) total = sizeof(WCHAR);
  if (Out) {
    auto *buffer = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, total, kFatTag));
    if (!buffer) return 0;
    ULONG at = total / sizeof(WCHAR);
    buffer[0] = u'\\';
    for (FatFcb *f = Fcb; f && !f->IsRoot; f = f->Parent) {
      at -= f->Entry.NameLength;
      RtlCopyMemory(buffer + at, f->Entry.Name, f->Entry.NameLength * sizeof(WCHAR));
      buffer[--at] = u'\\';
    }
    RtlCopyMemory(Out, buffer, total < Room ? total : Room);
    ExFreePoolWithTag(buffer, kFatTag);
  }
  return total;
}

NTSTATUS Query(FatVolume *Volume, PFILE_OBJECT File, FatFcb *Fcb, FILE_INFORMATION_CLASS Class, PVOID Buffer,
               ULONG Length, ULONG_PTR *Information) {
  const FatDirent *d = &Fcb->Entry.Dirent;
  BOOLEAN directory = FatFcbIsDirectory(Fcb);
  LARGE_INTEGER creation, access, write;
  FatFillTimes(d, &creation, &access, &write);
  ULONG attributes = Fcb->IsRoot ? FILE_ATTRIBUTE_DIRECTORY : FatAttributesOf(d);
  LONGLONG size = directory ? 0 : d->FileSize;
  LONGLONG allocation = directory ? 0 : static_cast<LONGLONG>(FatAllocationOf(Volume, d));
  switch (Class) {
    case FileBasicInformation: {
      if (Length < sizeof(FILE_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_BASIC_INFORMATION>(Buffer);
      info->CreationTime = creation;
      info->LastAccessTime = access;
      info->LastWriteTime = write;
      info->ChangeTime = write;
      info->FileAttributes = attributes;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileStandardInformation: {
      if (Length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_STANDARD_INFORMATION>(Buffer);
      info->AllocationSize.QuadPart = allocation;
      info->EndOfFile.QuadPart = size;
      info->NumberOfLinks = 1;
      info->DeletePending = Fcb->DeletePending;
      info->Directory = directory;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileInternalInformation: {
      if (Length < sizeof(FILE_INTERNAL_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_INTERNAL_INFORMATION>(Buffer);
      info->IndexNumber.QuadPart = Fcb->IsRoot ? 0 : (static_cast<LONGLONG>(Fcb->Dir) << 32) | Fcb->Entry.Offset;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FilePositionInformation:
      return FsQueryPosition(File, Buffer, Length, Information);
    case FileNameInformation: {
      ULONG head = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_NAME_INFORMATION>(Buffer);
      ULONG total = FullName(Fcb, nullptr, 0);
      ULONG room = Length - head;
      FullName(Fcb, info->FileName, room);
      info->FileNameLength = total;
      *Information = head + (total < room ? total : room);
      return total <= room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileNetworkOpenInformation: {
      if (Length < sizeof(FILE_NETWORK_OPEN_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_NETWORK_OPEN_INFORMATION>(Buffer);
      info->CreationTime = creation;
      info->LastAccessTime = access;
      info->LastWriteTime = write;
      info->ChangeTime = write;
      info->AllocationSize.QuadPart = allocation;
      info->EndOfFile.QuadPart = size;
      info->FileAttributes = attributes;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
      if (Length < sizeof(FILE_ATTRIBUTE_TAG_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_ATTRIBUTE_TAG_INFORMATION>(Buffer);
      info->FileAttributes = attributes;
      info->ReparseTag = 0;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS SetBasic(FatFcb *Fcb, const FILE_BASIC_INFORMATION *info) {
  if (Fcb->IsRoot) return STATUS_SUCCESS;
  FatDirent *d = &Fcb->Entry.Dirent;
  if (info->CreationTime.QuadPart > 0) FatTimeFromSystem(info->CreationTime, &d->CreationDate, &d->CreationTime, &d->CreationTenths);
  if (info->LastWriteTime.QuadPart > 0) FatTimeFromSystem(info->LastWriteTime, &d->WriteDate, &d->WriteTime, nullptr);
  if (info->LastAccessTime.QuadPart > 0) {
    USHORT ignored;
    FatTimeFromSystem(info->LastAccessTime, &d->AccessDate, &ignored, nullptr);
  }
  if (info->FileAttributes) {
    ULONG a = info->FileAttributes;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(d->Attributes & kFatAttrDirectory)) return STATUS_INVALID_PARAMETER;
    UCHAR kept = d->Attributes & kFatAttrDirectory;
    d->Attributes = static_cast<UCHAR>(kept | (a & (kFatAttrReadOnly | kFatAttrHidden | kFatAttrSystem | kFatAttrArchive)));
  }
  return FatSaveFcb(Fcb);
}

NTSTATUS SetEndOfFile(FatVolume *Volume, FatFcb *Fcb, LONGLONG Size) {
  if (FatFcbIsDirectory(Fcb)) return STATUS_INVALID_DEVICE_REQUEST;
  if (Size < 0) return STATUS_INVALID_PARAMETER;
  if (static_cast<ULONG64>(Size) > kFatMaxFileSize) return STATUS_FILE_TOO_LARGE;
  FatDirent *d = &Fcb->Entry.Dirent;
  ULONG first = FatDirentCluster(d);
  NTSTATUS status = FatResize(&Volume->Core, &first, d->FileSize, static_cast<ULONG64>(Size));
  if (!NT_SUCCESS(status)) {
    FatFlushTable(&Volume->Core);
    return status;
  }
  FatSetDirentCluster(d, first);
  d->FileSize = static_cast<ULONG>(Size);
  d->Attributes |= kFatAttrArchive;
  FatStampNow(d, FALSE);
  return FatSaveFcb(Fcb);
}

NTSTATUS SetDisposition(FatVolume *Volume, PFILE_OBJECT File, FatFcb *Fcb, BOOLEAN Delete) {
  if (!Delete) {
    Fcb->DeletePending = FALSE;
    File->DeletePending = FALSE;
    return STATUS_SUCCESS;
  }
  if (Fcb->IsRoot || (Fcb->Entry.Dirent.Attributes & kFatAttrReadOnly)) return STATUS_CANNOT_DELETE;
  if (FatFcbIsDirectory(Fcb)) {
    BOOLEAN empty = TRUE;
    NTSTATUS status = FatDirectoryIsEmpty(&Volume->Core, FatFcbCluster(Fcb), &empty);
    if (!NT_SUCCESS(status)) return status;
    if (!empty) return STATUS_DIRECTORY_NOT_EMPTY;
  }
  Fcb->DeletePending = TRUE;
  File->DeletePending = TRUE;
  return STATUS_SUCCESS;
}

BOOLEAN IsWithin(FatFcb *Dir, FatFcb *Ancestor) {
  for (FatFcb *f = Dir; f; f = f->Parent)
    if (f == Ancestor) return TRUE;
  return FALSE;
}

NTSTATUS Rename(FatVolume *Volume, PIO_STACK_LOCATION Stack, FatFcb *Fcb, const FILE_RENAME_INFORMATION *info,
                ULONG Length) {
  if (Fcb->IsRoot) return STATUS_INVALID_PARAMETER;
  if (!FsRenameInformationIsWhole(info, Length)) return STATUS_INVALID_PARAMETER;
  FatFcb *targetDir = nullptr;
  PCWSTR name = nullptr;
  USHORT nameLength = 0;
  NTSTATUS status = STATUS_SUCCESS;
  PFILE_OBJECT target = Stack->Parameters.SetFile.FileObject;
  if (target) {
    // The folder opened for the rename, named by its last component.
    targetDir = static_cast<FatFcb *>(target->FsContext);
    if (!targetDir || targetDir->Volume != Volume || !FatFcbIsDirectory(targetDir)) return STATUS_INVALID_PARAMETER;
    ++targetDir->References;
    name = target->FileName.Buffer;
    nameLength = static_cast<USHORT>(target->FileName.Length / sizeof(WCHAR));
  } else {
    PCWSTR path = info->FileName;
    USHORT n = static_cast<USHORT>(info->FileNameLength / sizeof(WCHAR));
    if (n && path[0] == u'\\') {
      status = FatWalkToParent(Volume, nullptr, path, n, &targetDir, &name, &nameLength);
      if (!NT_SUCCESS(status)) return status;
    } else {
      if (!FsIsPlainName(path, n)) return STATUS_OBJECT_NAME_INVALID;
      targetDir = Fcb->Parent;
      ++targetDir->References;
      name = path;
      nameLength = n;
    }
  }
  FatVolumeCore *core = &Volume->Core;
  auto *found = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!found) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status) && !FatIsValidName(name, nameLength)) status = STATUS_OBJECT_NAME_INVALID;
  if (NT_SUCCESS(status) && FatFcbIsDirectory(Fcb) && IsWithin(targetDir, Fcb)) status = STATUS_INVALID_PARAMETER;
  BOOLEAN sameEntry = FALSE;
  if (NT_SUCCESS(status)) {
    NTSTATUS lookup = FatFindEntry(core, FatFcbCluster(targetDir), name, nameLength, found);
    if (NT_SUCCESS(lookup)) {
      sameEntry = targetDir == Fcb->Parent && found->Offset == Fcb->Entry.Offset;
      if (sameEntry) {
        // The same name, perhaps in another case: nothing to do when it is
        // exactly the same.
        if (Fcb->Entry.NameLength == nameLength &&
            RtlCompareMemory(Fcb->Entry.Name, name, nameLength * sizeof(WCHAR)) == nameLength * sizeof(WCHAR)) {
          ExFreePoolWithTag(found, kFatTag);
          FatReleaseFcb(targetDir);
          return STATUS_SUCCESS;
        }
      } else if (!info->ReplaceIfExists) {
        status = STATUS_OBJECT_NAME_COLLISION;
      } else if (found->Dirent.Attributes & (kFatAttrDirectory | kFatAttrReadOnly)) {
        status = STATUS_ACCESS_DENIED;
      } else {
        FatFcb *open = FatFindFcb(Volume, targetDir, found->Offset);
        if (open) {
          status = STATUS_ACCESS_DENIED;
        } else {
          status = FatRemoveEntry(core, FatFcbCluster(targetDir), found);
          if (NT_SUCCESS(status) && FatDirentCluster(&found->Dirent)) FatFreeChain(core, FatDirentCluster(&found->Dirent));
        }
      }
    } else if (lookup != STATUS_OBJECT_NAME_NOT_FOUND) {
      status = lookup;
    }
  }
  if (NT_SUCCESS(status)) {
    // Out of the old place, into the new one; back to the old name when the
    // new place has no room.
    status = FatRemoveEntry(core, Fcb->Dir, &Fcb->Entry);
    if (NT_SUCCESS(status)) {
      status = FatAddEntry(core, FatFcbCluster(targetDir), name, nameLength, &Fcb->Entry.Dirent, found);
      if (!NT_SUCCESS(status)) {
        FatAddEntry(core, Fcb->Dir, Fcb->Entry.Name, Fcb->Entry.NameLength, &Fcb->Entry.Dirent, &Fcb->Entry);
      }
    }
  }
  if (NT_SUCCESS(status)) {
    BOOLEAN moved = targetDir != Fcb->Parent;
    if (moved && FatFcbIsDirectory(Fcb)) {
      // The folder's ".." names its new parent.
      auto *dots = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
      ULONG offset = 32;
      if (dots && NT_SUCCESS(FatNextEntry(core, FatFcbCluster(Fcb), &offset, dots)) && dots->Dirent.Name[0] == '.' &&
          dots->Dirent.Name[1] == '.') {
        ULONG parent = FatFcbCluster(targetDir);
        FatSetDirentCluster(&dots->Dirent, parent == core->RootCluster ? 0 : parent);
        FatWriteDirent(core, FatFcbCluster(Fcb), dots->Offset, &dots->Dirent);
      }
      if (dots) ExFreePoolWithTag(dots, kFatTag);
    }
    Fcb->Entry = *found;
    if (moved) {
      FatFcb *old = Fcb->Parent;
      Fcb->Parent = targetDir;
      ++targetDir->References;
      Fcb->Dir = FatFcbCluster(targetDir);
      FatReleaseFcb(old);
    }
  }
  NTSTATUS table = FatFlushTable(core);
  if (NT_SUCCESS(status)) status = table;
  if (found) ExFreePoolWithTag(found, kFatTag);
  FatReleaseFcb(targetDir);
  return status;
}

NTSTATUS QueryFile(FsVolume *Volume, PFILE_OBJECT File, PVOID Fcb, FILE_INFORMATION_CLASS Class, PVOID Buffer,
                   ULONG Length, ULONG_PTR *Information) {
  return Query(static_cast<FatVolume *>(Volume), File, static_cast<FatFcb *>(Fcb), Class, Buffer, Length, Information);
}

}  // namespace

NTSTATUS FatQueryInformation(FatVolume *Volume, PIRP Irp) {
  return FsQueryInformation(Volume, Irp, QueryFile, nullptr);
}

NTSTATUS FatSetInformation(FatVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  auto *fcb = static_cast<FatFcb *>(file->FsContext);
  if (!fcb) return FsPassDown(Volume, Irp);
  PVOID buffer = FsRequestBuffer(Irp);
  ULONG length = stack->Parameters.SetFile.Length;
  FsEnter(Volume);
  NTSTATUS status;
  switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation:
      status = length < sizeof(FILE_BASIC_INFORMATION) ? STATUS_INFO_LENGTH_MISMATCH
                                                       : SetBasic(fcb, static_cast<PFILE_BASIC_INFORMATION>(buffer));
      break;
    case FilePositionInformation:
      status = FsSetPosition(file, buffer, length);
      break;
    case FileEndOfFileInformation:
      status = length < sizeof(FILE_END_OF_FILE_INFORMATION)
                   ? STATUS_INFO_LENGTH_MISMATCH
                   : SetEndOfFile(Volume, fcb, static_cast<PFILE_END_OF_FILE_INFORMATION>(buffer)->EndOfFile.QuadPart);
      break;
    case FileAllocationInformation:
      // Room beyond the end is not kept on FAT; less room cuts the file.
      if (length < sizeof(FILE_ALLOCATION_INFORMATION)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
      } else {
        LONGLONG size = static_cast<PFILE_ALLOCATION_INFORMATION>(buffer)->AllocationSize.QuadPart;
        status = STATUS_SUCCESS;
        if (size < 0) status = STATUS_INVALID_PARAMETER;
        else if (!FatFcbIsDirectory(fcb) && size < fcb->Entry.Dirent.FileSize) status = SetEndOfFile(Volume, fcb, size);
      }
      break;
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
