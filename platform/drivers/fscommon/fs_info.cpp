// File information requests: the query's frame and what every file has.
#include "platform/drivers/fscommon/fs_info.h"

NTSTATUS FsQueryInformation(FsVolume *Volume, PIRP Irp, FsQueryFile Query,
                            BOOLEAN (*ContentsGone)(FsVolume *Volume)) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVOID fcb = stack->FileObject->FsContext;
  if (!fcb) return FsPassDown(Volume, Irp);
  ULONG_PTR information = 0;
  FsEnter(Volume);
  NTSTATUS status = STATUS_VOLUME_DISMOUNTED;
  if (!ContentsGone || !ContentsGone(Volume))
    status = Query(Volume, stack->FileObject, fcb, stack->Parameters.QueryFile.FileInformationClass,
                   FsRequestBuffer(Irp), stack->Parameters.QueryFile.Length, &information);
  FsLeave(Volume);
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;  // a partial name goes with STATUS_BUFFER_OVERFLOW
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FsQueryPosition(PFILE_OBJECT File, PVOID Buffer, ULONG Length, ULONG_PTR *Information) {
  if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  static_cast<PFILE_POSITION_INFORMATION>(Buffer)->CurrentByteOffset = File->CurrentByteOffset;
  *Information = sizeof(FILE_POSITION_INFORMATION);
  return STATUS_SUCCESS;
}

NTSTATUS FsSetPosition(PFILE_OBJECT File, PVOID Buffer, ULONG Length) {
  if (Length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  LARGE_INTEGER to = static_cast<PFILE_POSITION_INFORMATION>(Buffer)->CurrentByteOffset;
  if (to.QuadPart < 0) return STATUS_INVALID_PARAMETER;
  File->CurrentByteOffset = to;
  return STATUS_SUCCESS;
}

BOOLEAN FsRenameInformationIsWhole(const FILE_RENAME_INFORMATION *Info, ULONG Length) {
  ULONG head = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  return Length >= head && Info->FileNameLength <= Length - head && Info->FileNameLength % 2 == 0;
}

BOOLEAN FsIsPlainName(PCWSTR Name, USHORT Length) {
  for (USHORT i = 0; i < Length; ++i)
    if (Name[i] == u'\\') return FALSE;
  return TRUE;
}

NTSTATUS FsDirectoryControl(FsVolume *Volume, PIRP Irp,
                            NTSTATUS (*Query)(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information),
                            BOOLEAN (*ContentsGone)(FsVolume *Volume)) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction != IRP_MN_QUERY_DIRECTORY)
    return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG_PTR information = 0;
  FsEnter(Volume);
  NTSTATUS status = STATUS_VOLUME_DISMOUNTED;
  if (!ContentsGone || !ContentsGone(Volume)) status = Query(Volume, Irp, &information);
  FsLeave(Volume);
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
