// The information, flush and delete calls on files: the I/O manager's side,
// which checks the class and length, answers what it keeps itself (the
// position of synchronous file objects, the device of a file) and sends
// the rest to the file's driver as buffered IRPs.
#include "hostfs/hostfs.h"
#include "internal.h"
#include "io/io_internal.h"

#include <cstring>

namespace bw {

namespace {

constexpr ULONG kIoTag = 0x20206F49;  // "Io  "

// Smallest buffer a class takes; 0 = not a class of that call.
ULONG QueryMinimum(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileBasicInformation: return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation: return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation: return sizeof(FILE_INTERNAL_INFORMATION);
    case FileNameInformation: return sizeof(FILE_NAME_INFORMATION);
    case FilePositionInformation: return sizeof(FILE_POSITION_INFORMATION);
    case FileNetworkOpenInformation: return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    case FileAttributeTagInformation: return sizeof(FILE_ATTRIBUTE_TAG_INFORMATION);
    default: return 0;
  }
}

ULONG SetMinimum(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileBasicInformation: return sizeof(FILE_BASIC_INFORMATION);
    case FilePositionInformation: return sizeof(FILE_POSITION_INFORMATION);
    case FileEndOfFileInformation: return sizeof(FILE_END_OF_FILE_INFORMATION);
    case FileAllocationInformation: return sizeof(FILE_ALLOCATION_INFORMATION);
    case FileDispositionInformation: return sizeof(FILE_DISPOSITION_INFORMATION);
    default: return 0;
  }
}

ULONG VolumeMinimum(FS_INFORMATION_CLASS c) {
  switch (c) {
    case FileFsSizeInformation: return sizeof(FILE_FS_SIZE_INFORMATION);
    case FileFsDeviceInformation: return sizeof(FILE_FS_DEVICE_INFORMATION);
    case FileFsAttributeInformation: return sizeof(FILE_FS_ATTRIBUTE_INFORMATION);
    case FileFsFullSizeInformation: return sizeof(FILE_FS_FULL_SIZE_INFORMATION);
    case FileFsSectorSizeInformation: return sizeof(FILE_FS_SECTOR_SIZE_INFORMATION);
    default: return 0;
  }
}

NTSTATUS ReferenceFile(HANDLE handle, PFILE_OBJECT *file) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &FileType, KernelMode, &object, nullptr);
  *file = static_cast<PFILE_OBJECT>(object);
  return status;
}

// Sends a buffered information request (or a flush, with no buffer) for
// `file` and waits for it. `output`: the driver fills the buffer.
NTSTATUS SendRequest(PFILE_OBJECT file, UCHAR major, ULONG infoClass, PVOID buffer,
                     ULONG length, bool output, PIO_STATUS_BLOCK iosb) {
  PDEVICE_OBJECT top = RelatedDeviceReference(file);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, top, nullptr, 0, nullptr, &event,
                                          iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (length) {
    PVOID system = ExAllocatePoolWithTag(NonPagedPoolNx, length, kIoTag);
    if (!system) {
      IoFreeIrp(irp);
      ObfDereferenceObject(top);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (output)
      memset(system, 0, length);
    else
      memcpy(system, buffer, length);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output ? IRP_INPUT_OPERATION : 0);
    if (output) irp->UserBuffer = buffer;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  switch (major) {
    case IRP_MJ_QUERY_INFORMATION:
      next->Parameters.QueryFile.Length = length;
      next->Parameters.QueryFile.FileInformationClass =
          static_cast<FILE_INFORMATION_CLASS>(infoClass);
      break;
    case IRP_MJ_SET_INFORMATION:
      next->Parameters.SetFile.Length = length;
      next->Parameters.SetFile.FileInformationClass =
          static_cast<FILE_INFORMATION_CLASS>(infoClass);
      next->Parameters.SetFile.FileObject = nullptr;
      break;
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      next->Parameters.QueryVolume.Length = length;
      next->Parameters.QueryVolume.FsInformationClass = static_cast<FS_INFORMATION_CLASS>(infoClass);
      break;
    default:
      break;
  }
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  NTSTATUS status = CallAndWait(top, irp, &event, iosb);
  iosb->Status = status;
  ObfDereferenceObject(top);
  return status;
}

// The I/O manager keeps the position of synchronous file objects on
// devices; the host file system keeps its own.
bool PositionKeptHere(PFILE_OBJECT file) {
  return (file->Flags & FO_SYNCHRONOUS_IO) && !IsHostFile(file);
}

// Opens a name for a query or a delete and hands back the file object.
NTSTATUS OpenByAttributes(POBJECT_ATTRIBUTES attributes, ACCESS_MASK access, ULONG options,
                          PFILE_OBJECT *file) {
  if (!attributes || !attributes->ObjectName) return STATUS_INVALID_PARAMETER;
  KPROCESSOR_MODE mode = (attributes->Attributes & OBJ_FORCE_ACCESS_CHECK) ? UserMode : KernelMode;
  return OpenFileObject(ToU16(attributes->ObjectName), access,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, options,
                        mode, file, nullptr);
}

}  // namespace

}  // namespace bw

using namespace bw;

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
  if (!IoStatusBlock || !FileInformation) return STATUS_INVALID_PARAMETER;
  ULONG minimum = QueryMinimum(FileInformationClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (FileInformationClass == FilePositionInformation && PositionKeptHere(file)) {
    static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset =
        file->CurrentByteOffset;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = sizeof(FILE_POSITION_INFORMATION);
  } else {
    IO_STATUS_BLOCK iosb{};
    status = SendRequest(file, IRP_MJ_QUERY_INFORMATION, FileInformationClass, FileInformation,
                         Length, true, &iosb);
    *IoStatusBlock = iosb;
  }
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
  if (!IoStatusBlock || !FileInformation) return STATUS_INVALID_PARAMETER;
  ULONG minimum = SetMinimum(FileInformationClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (FileInformationClass == FilePositionInformation && PositionKeptHere(file)) {
    LARGE_INTEGER to = static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset;
    USHORT sector = IoGetRelatedDeviceObject(file)->SectorSize;
    if (to.QuadPart < 0 ||
        ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) && sector && to.QuadPart % sector))
      status = STATUS_INVALID_PARAMETER;
    else
      file->CurrentByteOffset = to;
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = 0;
  } else {
    IO_STATUS_BLOCK iosb{};
    status = SendRequest(file, IRP_MJ_SET_INFORMATION, FileInformationClass, FileInformation,
                         Length, false, &iosb);
    *IoStatusBlock = iosb;
  }
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FsInformation, ULONG Length,
                                      FS_INFORMATION_CLASS FsInformationClass) {
  if (!IoStatusBlock || !FsInformation) return STATUS_INVALID_PARAMETER;
  ULONG minimum = VolumeMinimum(FsInformationClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (FsInformationClass == FileFsDeviceInformation && !IsHostFile(file)) {
    // What device a file is on is the I/O manager's to say.
    auto *info = static_cast<PFILE_FS_DEVICE_INFORMATION>(FsInformation);
    info->DeviceType = file->DeviceObject->DeviceType;
    info->Characteristics = file->DeviceObject->Characteristics;
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = sizeof(FILE_FS_DEVICE_INFORMATION);
  } else {
    IO_STATUS_BLOCK iosb{};
    status = SendRequest(file, IRP_MJ_QUERY_VOLUME_INFORMATION, FsInformationClass,
                         FsInformation, Length, true, &iosb);
    *IoStatusBlock = iosb;
  }
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  if (!IoStatusBlock) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb{};
  status = SendRequest(file, IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, false, &iosb);
  *IoStatusBlock = iosb;
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwDeleteFile(POBJECT_ATTRIBUTES ObjectAttributes) {
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = OpenByAttributes(ObjectAttributes, DELETE,
                                     FILE_DELETE_ON_CLOSE | FILE_OPEN_REPARSE_POINT, &file);
  if (!NT_SUCCESS(status)) return status;
  ObfDereferenceObject(file);  // cleanup deletes it, unless others still have it open
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                               PFILE_BASIC_INFORMATION FileInformation) {
  if (!FileInformation) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = OpenByAttributes(ObjectAttributes, FILE_READ_ATTRIBUTES, 0, &file);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb{};
  status = SendRequest(file, IRP_MJ_QUERY_INFORMATION, FileBasicInformation, FileInformation,
                       sizeof(FILE_BASIC_INFORMATION), true, &iosb);
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwQueryFullAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                   PFILE_NETWORK_OPEN_INFORMATION FileInformation) {
  if (!FileInformation) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = OpenByAttributes(ObjectAttributes, FILE_READ_ATTRIBUTES, 0, &file);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb{};
  status = SendRequest(file, IRP_MJ_QUERY_INFORMATION, FileNetworkOpenInformation,
                       FileInformation, sizeof(FILE_NETWORK_OPEN_INFORMATION), true, &iosb);
  ObfDereferenceObject(file);
  return status;
}
