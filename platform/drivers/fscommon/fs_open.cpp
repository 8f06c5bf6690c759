// The rules of an open that hold on every volume: create options and
// dispositions, names, share access and the file object's context.
#include "platform/drivers/fscommon/fs_open.h"

namespace {

// On a folder the same bits ask to add files and subfolders, which any
// folder allows (a read-only attribute on a folder does not stop that).
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

}  // namespace

NTSTATUS FsReadOpen(PIO_STACK_LOCATION Stack, FsOpen *Open) {
  PFILE_OBJECT file = Stack->FileObject;
  Open->File = file;
  Open->Options = Stack->Parameters.Create.Options & 0x00FFFFFF;
  Open->Disposition = Stack->Parameters.Create.Options >> 24;
  Open->Access = Stack->Parameters.Create.SecurityContext
                     ? Stack->Parameters.Create.SecurityContext->DesiredAccess
                     : 0;
  Open->ShareAccess = Stack->Parameters.Create.ShareAccess;
  Open->WantDirectory = (Open->Options & FILE_DIRECTORY_FILE) != 0;
  Open->WantFile = (Open->Options & FILE_NON_DIRECTORY_FILE) != 0;
  Open->TargetDirectory = (Stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
  Open->Path = file->FileName.Buffer;
  Open->Length = static_cast<USHORT>(file->FileName.Length / sizeof(WCHAR));
  if (Open->Disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if (Open->WantDirectory && Open->WantFile) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS FsCheckOpenName(FsOpen *Open, BOOLEAN Related, BOOLEAN RelatedFolder) {
  if (Related) {
    if (!RelatedFolder) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (Open->Length && Open->Path[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
  } else if (Open->Length == 0 || Open->Path[0] != u'\\') {
    return STATUS_OBJECT_NAME_INVALID;
  }
  // A trailing backslash names a folder.
  if (Open->Length > 1 && Open->Path[Open->Length - 1] == u'\\') {
    --Open->Length;
    if (Open->WantFile) return STATUS_OBJECT_NAME_INVALID;
    Open->WantDirectory = TRUE;
  }
  return STATUS_SUCCESS;
}

BOOLEAN FsOpensStartFolder(const FsOpen *Open, BOOLEAN Related) {
  return Related ? Open->Length == 0 : Open->Length == 1;
}

NTSTATUS FsCheckStartFolderOpen(const FsOpen *Open) {
  if (Open->TargetDirectory) return STATUS_OBJECT_NAME_INVALID;
  if (Open->WantFile) return STATUS_FILE_IS_A_DIRECTORY;
  if (Open->Disposition != FILE_OPEN && Open->Disposition != FILE_OPEN_IF)
    return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

BOOLEAN FsOverwrites(ULONG Disposition) {
  return Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF ||
         Disposition == FILE_SUPERSEDE;
}

NTSTATUS FsCheckExistingOpen(const FsOpen *Open, BOOLEAN Directory, BOOLEAN ReadOnly,
                             BOOLEAN DeletePending) {
  ULONG disposition = Open->Disposition;
  if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
  if (DeletePending) return STATUS_DELETE_PENDING;
  if (Open->WantDirectory && !Directory) return STATUS_NOT_A_DIRECTORY;
  if (Open->WantFile && Directory) return STATUS_FILE_IS_A_DIRECTORY;
  if (Directory && disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
    return STATUS_OBJECT_NAME_COLLISION;
  if (!Directory && ReadOnly && ((Open->Access & kWriteAccess) || FsOverwrites(disposition)))
    return STATUS_ACCESS_DENIED;
  if (ReadOnly && (Open->Options & FILE_DELETE_ON_CLOSE)) return STATUS_CANNOT_DELETE;
  return STATUS_SUCCESS;
}

VOID FsKeepLastName(PFILE_OBJECT File, PCWSTR Name, USHORT Length) {
  RtlMoveMemory(File->FileName.Buffer, Name, Length * sizeof(WCHAR));
  File->FileName.Length = static_cast<USHORT>(Length * sizeof(WCHAR));
}

NTSTATUS FsTakeShare(const FsOpen *Open, ULONG Handles, PSHARE_ACCESS Share) {
  if (Handles == 0) {
    IoSetShareAccess(Open->Access, Open->ShareAccess, Open->File, Share);
    return STATUS_SUCCESS;
  }
  return IoCheckShareAccess(Open->Access, Open->ShareAccess, Open->File, Share, TRUE);
}

NTSTATUS FsAttachOpen(const FsOpen *Open, const FsFileSystem *Fs, PVOID Fcb, BOOLEAN IsRoot,
                      ULONG *Handles, PSHARE_ACCESS Share) {
  PFILE_OBJECT file = Open->File;
  BOOLEAN deleteOnClose = (Open->Options & FILE_DELETE_ON_CLOSE) != 0;
  if (deleteOnClose && IsRoot) {
    IoRemoveShareAccess(file, Share);
    return STATUS_CANNOT_DELETE;
  }
  auto *ccb = static_cast<FsCcb *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Fs->CcbSize, Fs->Tag));
  if (!ccb) {
    IoRemoveShareAccess(file, Share);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(ccb, Fs->CcbSize);
  ccb->DeleteOnClose = deleteOnClose;
  ++*Handles;
  file->FsContext = Fcb;
  file->FsContext2 = ccb;
  if (Open->Options & FILE_WRITE_THROUGH) file->Flags |= FO_WRITE_THROUGH;
  return STATUS_SUCCESS;
}
