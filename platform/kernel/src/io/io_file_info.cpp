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
    case FileRenameInformation: return sizeof(FILE_RENAME_INFORMATION);
    case FileLinkInformation: return sizeof(FILE_LINK_INFORMATION);
    default: return 0;
  }
}

ULONG VolumeMinimum(FS_INFORMATION_CLASS c) {
  switch (c) {
    case FileFsVolumeInformation: return sizeof(FILE_FS_VOLUME_INFORMATION);
    case FileFsSizeInformation: return sizeof(FILE_FS_SIZE_INFORMATION);
    case FileFsDeviceInformation: return sizeof(FILE_FS_DEVICE_INFORMATION);
    case FileFsAttributeInformation: return sizeof(FILE_FS_ATTRIBUTE_INFORMATION);
    case FileFsFullSizeInformation: return sizeof(FILE_FS_FULL_SIZE_INFORMATION);
    case FileFsSectorSizeInformation: return sizeof(FILE_FS_SECTOR_SIZE_INFORMATION);
    default: return 0;
  }
}

ULONG SetVolumeMinimum(FS_INFORMATION_CLASS c) {
  switch (c) {
    case FileFsLabelInformation: return sizeof(FILE_FS_LABEL_INFORMATION);
    default: return 0;
  }
}

NTSTATUS ReferenceFile(HANDLE handle, PFILE_OBJECT *file) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &FileType, KernelMode, &object, nullptr);
  *file = static_cast<PFILE_OBJECT>(object);
  return status;
}

NTSTATUS SendRequest(PFILE_OBJECT file, UCHAR major, ULONG infoClass, PVOID buffer, ULONG length,
                     bool output, PIO_STATUS_BLOCK iosb, KPROCESSOR_MODE mode = KernelMode) {
  IO_STACK_LOCATION shape{};
  shape.MajorFunction = major;
  switch (major) {
    case IRP_MJ_QUERY_INFORMATION:
      shape.Parameters.QueryFile.Length = length;
      shape.Parameters.QueryFile.FileInformationClass =
          static_cast<FILE_INFORMATION_CLASS>(infoClass);
      break;
    case IRP_MJ_SET_INFORMATION:
      shape.Parameters.SetFile.Length = length;
      shape.Parameters.SetFile.FileInformationClass =
          static_cast<FILE_INFORMATION_CLASS>(infoClass);
      shape.Parameters.SetFile.FileObject = nullptr;
      break;
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      shape.Parameters.QueryVolume.Length = length;
      shape.Parameters.QueryVolume.FsInformationClass = static_cast<FS_INFORMATION_CLASS>(infoClass);
      break;
    case IRP_MJ_SET_VOLUME_INFORMATION:
      shape.Parameters.SetVolume.Length = length;
      shape.Parameters.SetVolume.FsInformationClass = static_cast<FS_INFORMATION_CLASS>(infoClass);
      break;
    default:
      break;
  }
  return SendFileInformationRequest(file, mode, shape, buffer, length, output, false, iosb);
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

bool UserBufferValid(KPROCESSOR_MODE mode, const void *buffer, ULONG length) {
  if (mode != UserMode || length == 0) return true;
  auto start = reinterpret_cast<ULONG_PTR>(buffer);
  return start != 0 && start + length > start && start + length <= MmUserProbeAddress;
}

NTSTATUS SendFileInformationRequest(PFILE_OBJECT file, KPROCESSOR_MODE mode,
                                    const IO_STACK_LOCATION &shape, PVOID buffer, ULONG length,
                                    bool output, bool userBuffer, PIO_STATUS_BLOCK iosb,
                                    bool captured) {
  if (!captured && !UserBufferValid(mode, buffer, length)) return STATUS_ACCESS_VIOLATION;
  PDEVICE_OBJECT top = RelatedDeviceReference(file);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, top, nullptr, 0, nullptr, &event,
                                          iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (length && userBuffer) {
    irp->UserBuffer = buffer;
  } else if (length) {
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
  next->MajorFunction = shape.MajorFunction;
  next->MinorFunction = shape.MinorFunction;
  next->Flags = shape.Flags;
  next->Parameters = shape.Parameters;
  next->FileObject = file;
  irp->RequestorMode = mode;
  irp->Tail.Overlay.OriginalFileObject = file;
  NTSTATUS status = CallAndWait(top, irp, &event, iosb);
  iosb->Status = status;
  ObfDereferenceObject(top);
  return status;
}

ACCESS_MASK RequiredAccess(InfoRequest request, ULONG infoClass) {
  switch (request) {
    case InfoRequest::Query:
      switch (infoClass) {
        case FileBasicInformation:
        case FileNetworkOpenInformation:
        case FileAttributeTagInformation: return FILE_READ_ATTRIBUTES;
        default: return 0;
      }
    case InfoRequest::Set:
      switch (infoClass) {
        case FileBasicInformation: return FILE_WRITE_ATTRIBUTES;
        case FileEndOfFileInformation:
        case FileAllocationInformation: return FILE_WRITE_DATA;
        case FileDispositionInformation:
        case FileRenameInformation: return DELETE;
        default: return 0;
      }
    case InfoRequest::QueryVolume: return 0;
    case InfoRequest::SetVolume: return FILE_WRITE_DATA;
    case InfoRequest::Directory: return FILE_LIST_DIRECTORY;
  }
  return 0;
}

NTSTATUS FileQueryInformation(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS infoClass,
                              PIO_STATUS_BLOCK iosb) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  ULONG minimum = QueryMinimum(infoClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  if (infoClass == FilePositionInformation && PositionKeptHere(file)) {
    if (!UserBufferValid(mode, buffer, length)) return STATUS_ACCESS_VIOLATION;
    static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset = file->CurrentByteOffset;
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = sizeof(FILE_POSITION_INFORMATION);
    return STATUS_SUCCESS;
  }
  return SendRequest(file, IRP_MJ_QUERY_INFORMATION, infoClass, buffer, length, true, iosb, mode);
}

NTSTATUS FileSetInformation(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                            FILE_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  ULONG minimum = SetMinimum(infoClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  if (!UserBufferValid(mode, buffer, length)) return STATUS_ACCESS_VIOLATION;
  if (infoClass == FileRenameInformation || infoClass == FileLinkInformation)
    return FileRenameOrLink(file, mode, buffer, length, infoClass, iosb);
  if (infoClass == FilePositionInformation && PositionKeptHere(file)) {
    LARGE_INTEGER to = static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset;
    USHORT sector = IoGetRelatedDeviceObject(file)->SectorSize;
    NTSTATUS status = STATUS_SUCCESS;
    if (to.QuadPart < 0 ||
        ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) && sector && to.QuadPart % sector))
      status = STATUS_INVALID_PARAMETER;
    else
      file->CurrentByteOffset = to;
    iosb->Status = status;
    iosb->Information = 0;
    return status;
  }
  return SendRequest(file, IRP_MJ_SET_INFORMATION, infoClass, buffer, length, false, iosb, mode);
}

NTSTATUS FileQueryVolume(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                         FS_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  ULONG minimum = VolumeMinimum(infoClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  if (infoClass == FileFsDeviceInformation && !IsHostFile(file)) {
    if (!UserBufferValid(mode, buffer, length)) return STATUS_ACCESS_VIOLATION;
    // What device a file is on is the I/O manager's to say.
    auto *info = static_cast<PFILE_FS_DEVICE_INFORMATION>(buffer);
    info->DeviceType = file->DeviceObject->DeviceType;
    info->Characteristics = file->DeviceObject->Characteristics;
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = sizeof(FILE_FS_DEVICE_INFORMATION);
    return STATUS_SUCCESS;
  }
  return SendRequest(file, IRP_MJ_QUERY_VOLUME_INFORMATION, infoClass, buffer, length, true, iosb,
                     mode);
}

NTSTATUS FileSetVolume(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                       FS_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  ULONG minimum = SetVolumeMinimum(infoClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  if (infoClass == FileFsLabelInformation) {
    auto *label = static_cast<PFILE_FS_LABEL_INFORMATION>(buffer);
    if (label->VolumeLabelLength % sizeof(WCHAR) ||
        label->VolumeLabelLength > length - FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel))
      return STATUS_INVALID_PARAMETER;
  }
  return SendRequest(file, IRP_MJ_SET_VOLUME_INFORMATION, infoClass, buffer, length, false, iosb,
                     mode);
}

}  // namespace bw

using namespace bw;

namespace {

template <class Call>
NTSTATUS OnHandle(HANDLE handle, PIO_STATUS_BLOCK iosb, Call call) {
  if (!iosb) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(handle, &file);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK local{};
  status = call(file, &local);
  if (local.Status == STATUS_SUCCESS && !NT_SUCCESS(status)) local.Status = status;
  *iosb = local;
  ObfDereferenceObject(file);
  return status;
}

}  // namespace

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
  if (!FileInformation) return STATUS_INVALID_PARAMETER;
  return OnHandle(FileHandle, IoStatusBlock, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
    return FileQueryInformation(file, KernelMode, FileInformation, Length, FileInformationClass,
                                iosb);
  });
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
  if (!FileInformation) return STATUS_INVALID_PARAMETER;
  return OnHandle(FileHandle, IoStatusBlock, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
    return FileSetInformation(file, KernelMode, FileInformation, Length, FileInformationClass,
                              iosb);
  });
}

NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FsInformation, ULONG Length,
                                      FS_INFORMATION_CLASS FsInformationClass) {
  if (!FsInformation) return STATUS_INVALID_PARAMETER;
  return OnHandle(FileHandle, IoStatusBlock, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
    return FileQueryVolume(file, KernelMode, FsInformation, Length, FsInformationClass, iosb);
  });
}

NTSTATUS ZwSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                    PVOID FsInformation, ULONG Length,
                                    FS_INFORMATION_CLASS FsInformationClass) {
  if (!FsInformation) return STATUS_INVALID_PARAMETER;
  return OnHandle(FileHandle, IoStatusBlock, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
    return FileSetVolume(file, KernelMode, FsInformation, Length, FsInformationClass, iosb);
  });
}

NTSTATUS ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE, PVOID, PVOID,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass,
                              BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                              BOOLEAN RestartScan) {
  if (!FileInformation) return STATUS_INVALID_PARAMETER;
  return OnHandle(FileHandle, IoStatusBlock, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
    return FileQueryDirectory(file, KernelMode, FileInformation, Length, FileInformationClass,
                              ReturnSingleEntry != FALSE, FileName, RestartScan != FALSE, iosb);
  });
}

NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  return OnHandle(FileHandle, IoStatusBlock, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
    return SendRequest(file, IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, false, iosb);
  });
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
