// File objects on devices: open with access checks and IRP_MJ_CREATE,
// cleanup on the last handle, close on the last reference, and the
// synchronous request paths of the Nt/Zw file calls.
#include "internal.h"
#include "io/io_internal.h"
#include "ob/mutant.h"
#include "ps/process.h"
#include "se/token.h"

#include <cstring>
#include <new>

namespace bw {

namespace {

constexpr size_t kFileStateOffset = (sizeof(FILE_OBJECT) + 15) & ~size_t(15);

}  // namespace

FileState *FileStateOf(PFILE_OBJECT file) {
  return reinterpret_cast<FileState *>(reinterpret_cast<char *>(file) + kFileStateOffset);
}

namespace {

const GENERIC_MAPPING kFileMapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                   FILE_ALL_ACCESS};

// Generic rights become the file rights they stand for, so that share
// access and the file system see what was really asked for.
ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
  ACCESS_MASK mapped = access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                  MAXIMUM_ALLOWED);
  if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped = FILE_ALL_ACCESS;
  return mapped;
}

// Sends a create, cleanup or close for `file` to `top` and waits for it.
NTSTATUS SendFileRequestTo(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major,
                           KPROCESSOR_MODE mode = KernelMode,
                           IO_SECURITY_CONTEXT *security = nullptr, ULONG options = 0,
                           ULONG shareAccess = 0, ULONG_PTR *information = nullptr,
                           UCHAR flags = 0, USHORT fileAttributes = 0) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, top, nullptr, 0, nullptr, &event,
                                          &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  if (major == IRP_MJ_CREATE) {
    next->Parameters.Create.SecurityContext = security;
    next->Parameters.Create.Options = options;
    next->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
    next->Parameters.Create.FileAttributes = fileAttributes;
    next->Flags = flags;
  }
  irp->RequestorMode = mode;
  irp->Tail.Overlay.OriginalFileObject = file;
  NTSTATUS status = CallAndWait(top, irp, &event, &iosb);
  if (information) *information = iosb.Information;
  return status;
}

// The same to the stack the file's requests go to.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, KPROCESSOR_MODE mode,
                         IO_SECURITY_CONTEXT *security, ULONG options, ULONG shareAccess,
                         ULONG_PTR *information, UCHAR flags = 0, USHORT fileAttributes = 0) {
  PDEVICE_OBJECT top = RelatedDeviceReference(file);
  NTSTATUS status = SendFileRequestTo(top, file, major, mode, security, options, shareAccess,
                                      information, flags, fileAttributes);
  ObfDereferenceObject(top);
  return status;
}

void DestroyFile(void *body) {
  auto *file = static_cast<PFILE_OBJECT>(body);
  FileState *state = FileStateOf(file);
  // A file object that never had a handle gets its cleanup now.
  if (state->createSent && !(file->Flags & FO_CLEANUP_COMPLETE))
    SendFileRequest(file, IRP_MJ_CLEANUP, KernelMode, nullptr, 0, 0, nullptr);
  if (state->createSent) {
    // The volume loses the file's reference before its file system sees
    // the close, so that the close of the last one may dismount it.
    if (file->Vpb && !(file->Flags & FO_DIRECT_DEVICE_OPEN)) {
      PDEVICE_OBJECT top = RelatedDeviceReference(file);
      DereferenceVolume(file->Vpb);
      SendFileRequestTo(top, file, IRP_MJ_CLOSE);
      ObfDereferenceObject(top);
    } else {
      SendFileRequest(file, IRP_MJ_CLOSE, KernelMode, nullptr, 0, 0, nullptr);
    }
  }
  if (file->DeviceObject) {
    InterlockedDecrement(&file->DeviceObject->ReferenceCount);
    ObfDereferenceObject(file->DeviceObject);
  }
  free(file->FileName.Buffer);
  state->~FileState();
}

}  // namespace

_OBJECT_TYPE FileType{u"File", DestroyFile, FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                      FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

void OnLastHandleClosed(PVOID object) {
  if (HeaderOf(object)->type == &MutantType) return OnLastMutantHandleClosed(object);
  if (HeaderOf(object)->type != &FileType) return;
  auto *file = static_cast<PFILE_OBJECT>(object);
  if (FileStateOf(file)->createSent && !(file->Flags & FO_CLEANUP_COMPLETE)) {
    SendFileRequest(file, IRP_MJ_CLEANUP, KernelMode, nullptr, 0, 0, nullptr);
    file->Flags |= FO_CLEANUP_COMPLETE;
  }
}

NTSTATUS OpenFileObject(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                        ULONG disposition, ULONG options, KPROCESSOR_MODE mode,
                        PFILE_OBJECT *file, ULONG_PTR *information, UCHAR createFlags,
                        USHORT fileAttributes) {
  *file = nullptr;
  LookupResult found;
  NTSTATUS status = LookupObject(path, false, &found);
  if (!NT_SUCCESS(status)) return status;
  if (HeaderOf(found.object)->type != &DeviceType) {
    ObfDereferenceObject(found.object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  auto *device = static_cast<PDEVICE_OBJECT>(found.object);
  if ((device->Flags & DO_DEVICE_INITIALIZING) || StateOf(device)->deleted) {
    ObfDereferenceObject(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  ACCESS_MASK granted = access;
  if (mode == UserMode && HeaderOf(device)->securityDescriptor) {
    std::shared_ptr<Token> token = CurrentProcess()->Token;
    if (!token) token = Token::System();
    status = AccessCheck(HeaderOf(device)->securityDescriptor, *token,
                         access ? access : SYNCHRONIZE, kFileMapping, &granted);
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(device);
      return status;
    }
  } else {
    granted = MapGenericAccess(access);
  }
  // A device that cannot be written is not opened for writing. On Windows
  // the file system above a volume (or the raw volume open) refuses such an
  // open of write-protected media, so CreateFile fails with
  // ERROR_WRITE_PROTECT before any write is sent; no file system stands
  // above devices here, so the I/O manager answers for it.
  constexpr ACCESS_MASK kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;
  if ((device->Characteristics & FILE_READ_ONLY_DEVICE) && (granted & kWriteData)) {
    if (!(access & MAXIMUM_ALLOWED)) {
      ObfDereferenceObject(device);
      return STATUS_MEDIA_WRITE_PROTECTED;
    }
    granted &= ~kWriteData;
  }
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) {
    ObfDereferenceObject(device);
    return STATUS_ACCESS_DENIED;
  }
  // An open of the device itself for its attributes, synchronisation or
  // security only is a direct device open: it reaches the device and
  // mounts nothing. Any other open of a device that holds a volume goes to
  // the file system mounted on it, mounting one first.
  constexpr ACCESS_MASK kDirectAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE | READ_CONTROL;
  const bool direct = found.remaining.empty() && !(MapGenericAccess(access) & ~kDirectAccess);
  PVPB vpb = nullptr;
  if (device->Vpb && !direct) {
    status = ReferenceMountedVolume(device, &vpb);
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(device);
      return status;
    }
  }
  auto *f = static_cast<PFILE_OBJECT>(
      CreateObject(&FileType, kFileStateOffset + sizeof(FileState)));
  if (!f) {
    if (vpb) DereferenceVolume(vpb);
    ObfDereferenceObject(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FileState *state = new (FileStateOf(f)) FileState;
  state->grantedAccess = granted;
  state->openMode = mode;
  f->Type = IO_TYPE_FILE;
  f->Size = sizeof(FILE_OBJECT);
  f->DeviceObject = device;  // the reference from the lookup
  InterlockedIncrement(&device->ReferenceCount);
  f->Vpb = vpb;
  if (device->Vpb && direct) f->Flags |= FO_DIRECT_DEVICE_OPEN;
  if (!found.remaining.empty()) {
    f->FileName.Buffer =
        static_cast<PWSTR>(calloc(found.remaining.size() + 1, sizeof(WCHAR)));
    memcpy(f->FileName.Buffer, found.remaining.data(), found.remaining.size() * sizeof(WCHAR));
    f->FileName.Length = static_cast<USHORT>(found.remaining.size() * sizeof(WCHAR));
    f->FileName.MaximumLength = f->FileName.Length + sizeof(WCHAR);
  }
  if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
    f->Flags |= FO_SYNCHRONOUS_IO;
  if (options & FILE_NO_INTERMEDIATE_BUFFERING) f->Flags |= FO_NO_INTERMEDIATE_BUFFERING;
  f->ReadAccess = (granted & FILE_READ_DATA) ? TRUE : FALSE;
  f->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
  f->DeleteAccess = (granted & DELETE) ? TRUE : FALSE;
  f->SharedRead = (shareAccess & FILE_SHARE_READ) ? TRUE : FALSE;
  f->SharedWrite = (shareAccess & FILE_SHARE_WRITE) ? TRUE : FALSE;
  f->SharedDelete = (shareAccess & FILE_SHARE_DELETE) ? TRUE : FALSE;
  KeInitializeEvent(&f->Event, NotificationEvent, FALSE);
  KeInitializeEvent(&f->Lock, SynchronizationEvent, FALSE);
  IO_SECURITY_CONTEXT security{nullptr, nullptr, granted, options};
  status = SendFileRequest(f, IRP_MJ_CREATE, mode, &security, (disposition << 24) | options,
                           shareAccess, information, createFlags, fileAttributes);
  if (!NT_SUCCESS(status)) {
    if (vpb) DereferenceVolume(vpb);
    ObfDereferenceObject(f);  // no cleanup or close follows a failed create
    return status;
  }
  state->createSent = true;
  *file = f;
  return status;
}

}  // namespace bw

using namespace bw;

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject) {
  if (!ObjectName || !FileObject || !DeviceObject) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = OpenFileObject(ToU16(ObjectName), DesiredAccess,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_NON_DIRECTORY_FILE, KernelMode, &file, nullptr);
  if (!NT_SUCCESS(status)) return status;
  // Like the real routine: the caller holds the file object reference and
  // gets the top of the device stack without a reference of its own.
  *FileObject = file;
  *DeviceObject = IoGetAttachedDevice(file->DeviceObject);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  if (FileObject->Vpb && FileObject->Vpb->DeviceObject &&
      !(FileObject->Flags & FO_DIRECT_DEVICE_OPEN))
    return IoGetAttachedDevice(FileObject->Vpb->DeviceObject);
  return IoGetAttachedDevice(FileObject->DeviceObject);
}

namespace {

NTSTATUS ReferenceFile(HANDLE handle, PFILE_OBJECT *file) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &FileType, KernelMode, &object, nullptr);
  *file = static_cast<PFILE_OBJECT>(object);
  return status;
}

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG) {
  if (!FileHandle || !ObjectAttributes || !ObjectAttributes->ObjectName || !IoStatusBlock)
    return STATUS_INVALID_PARAMETER;
  KPROCESSOR_MODE mode =
      (ObjectAttributes->Attributes & OBJ_FORCE_ACCESS_CHECK) ? UserMode : KernelMode;
  PFILE_OBJECT file = nullptr;
  ULONG_PTR information = 0;
  NTSTATUS status = OpenFileObject(ToU16(ObjectAttributes->ObjectName), DesiredAccess,
                                   ShareAccess, CreateDisposition, CreateOptions, mode, &file,
                                   &information, 0, static_cast<USHORT>(FileAttributes));
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = information;
  if (!NT_SUCCESS(status)) return status;
  status = TableForNewHandle(ObjectAttributes->Attributes)->Insert(file, FileStateOf(file)->grantedAccess,
                                                       ObjectAttributes->Attributes, FileHandle);
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
  return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                      ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE, PVOID, PVOID,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                               PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength) {
  if (!IoStatusBlock) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  status = FileDeviceIoControl(file, KernelMode, false, IoControlCode, InputBuffer,
                               InputBufferLength, OutputBuffer, OutputBufferLength,
                               IoStatusBlock);
  ObfDereferenceObject(file);
  return status;
}

NTSTATUS ZwFsControlFile(HANDLE FileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                         ULONG FsControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                         PVOID OutputBuffer, ULONG OutputBufferLength) {
  if (!IoStatusBlock) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  status = FileFsControl(file, KernelMode, FsControlCode, InputBuffer, InputBufferLength,
                         OutputBuffer, OutputBufferLength, IoStatusBlock);
  ObfDereferenceObject(file);
  return status;
}

namespace {

NTSTATUS ZwTransfer(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, bool write, PVOID Buffer,
                    ULONG Length, PLARGE_INTEGER ByteOffset) {
  if (!IoStatusBlock) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = ReferenceFile(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  status = FileReadWrite(file, KernelMode, write, Buffer, Length, ByteOffset, IoStatusBlock);
  ObfDereferenceObject(file);
  return status;
}

}  // namespace

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                    PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
  return ZwTransfer(FileHandle, IoStatusBlock, false, Buffer, Length, ByteOffset);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                     PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
  return ZwTransfer(FileHandle, IoStatusBlock, true, Buffer, Length, ByteOffset);
}
