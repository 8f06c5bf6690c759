// The test driver's disks:
//   \Device\BwTestDisk      direct I/O, 512-byte sectors, 32 MiB
//   \Device\BwTestLargeDisk direct I/O, 512-byte sectors, 80 MiB (room for
//                           FAT32 volumes; its pool is only touched once written)
//   \Device\BwTestBytes     buffered I/O, any offset and length, 1 MiB
//   \Device\BwTestReadOnly  direct I/O, FILE_READ_ONLY_DEVICE, 64 KiB of a pattern
//   \Device\BwTestPrivate   direct I/O, refuses opens from user mode
// Everyone may open them (the private one decides in its create dispatch).
// End of media as the volume store has it: a read at or past the end fails
// with STATUS_END_OF_FILE, one that crosses it returns what there is; a
// write that does not fit fails whole.
#include "platform/kernel/tests/driver/testdrv_disk.h"

#include <ntdddisk.h>
#include <wdmsec.h>

namespace {

constexpr ULONG kDiskTag = 0x6B736442;  // "Bdsk"
constexpr ULONG kDiskMagic = 0x4B534944;

struct Disk {
  ULONG magic;
  ULONG sectorSize;
  ULONG64 size;
  PUCHAR data;
  bool refuseUser;
  FAST_MUTEX lock;  // guards `last` and the mount manager's part below
  TestDiskRequest last;
  const char16_t *name;
  USHORT uniqueIdLength;
  UCHAR uniqueId[64];
  USHORT suggestedLength;
  WCHAR suggested[32];
  TestDiskLinkLog links;
};

struct DiskShape {
  const char16_t *name;
  ULONG flags;  // DO_DIRECT_IO or DO_BUFFERED_IO
  ULONG characteristics;
  ULONG sectorSize;
  ULONG64 size;
  bool refuseUser;
  bool pattern;
  DEVICE_TYPE type = FILE_DEVICE_DISK;
};

const DiskShape kDisks[] = {
    {u"\\Device\\BwTestDisk", DO_DIRECT_IO, 0, 512, 32ull << 20, false, false},
    {u"\\Device\\BwTestLargeDisk", DO_DIRECT_IO, 0, 512, 80ull << 20, false, false},
    {u"\\Device\\BwTestBytes", DO_BUFFERED_IO, 0, 1, 1ull << 20, false, false},
    {u"\\Device\\BwTestReadOnly", DO_DIRECT_IO, FILE_READ_ONLY_DEVICE, 512, 64 << 10, false, true},
    {u"\\Device\\BwTestPrivate", DO_DIRECT_IO, 0, 512, 64 << 10, true, false},
    // What programs tell drives apart by: removable media, optical, RAM and
    // remote devices.
    {u"\\Device\\BwTestRemovable", DO_DIRECT_IO, FILE_REMOVABLE_MEDIA, 512, 64 << 10, false, false},
    {u"\\Device\\BwTestCdRom", DO_DIRECT_IO, FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE, 512,
     64 << 10, false, false, FILE_DEVICE_CD_ROM},
    {u"\\Device\\BwTestRamDisk", DO_DIRECT_IO, 0, 512, 64 << 10, false, false,
     FILE_DEVICE_VIRTUAL_DISK},
    {u"\\Device\\BwTestRemote", DO_DIRECT_IO, FILE_REMOTE_DEVICE, 512, 64 << 10, false, false},
};
constexpr ULONG kDiskCount = sizeof kDisks / sizeof kDisks[0];
PDEVICE_OBJECT gDisks[kDiskCount];

Disk *DiskOf(PDEVICE_OBJECT device) {
  return static_cast<Disk *>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// What the request looked like when it arrived.
void Record(Disk *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  TestDiskRequest r{};
  r.userBuffer = reinterpret_cast<ULONG64>(irp->UserBuffer);
  r.requestorMode = irp->RequestorMode;
  r.majorFunction = stack->MajorFunction;
  if (irp->Flags & IRP_BUFFERED_IO) r.flags |= kTestDiskHadSystemBuffer;
  if (PMDL mdl = irp->MdlAddress) {
    r.flags |= kTestDiskHadMdl;
    r.mdlAddress = reinterpret_cast<ULONG64>(MmGetMdlVirtualAddress(mdl));
    r.mdlBytes = MmGetMdlByteCount(mdl);
    if (MmGetMdlVirtualAddress(mdl) == irp->UserBuffer) r.flags |= kTestDiskMdlIsUserBuffer;
    if (mdl->Process == PsGetCurrentProcess()) r.flags |= kTestDiskMdlOfCaller;
  }
  ExAcquireFastMutex(&disk->lock);
  disk->last = r;
  ExReleaseFastMutex(&disk->lock);
}

PUCHAR TransferBuffer(Disk *disk, PIRP irp) {
  if (irp->MdlAddress) {
    auto *mapped = static_cast<PUCHAR>(
        MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute));
    if (mapped == MmGetMdlVirtualAddress(irp->MdlAddress)) {
      ExAcquireFastMutex(&disk->lock);
      disk->last.flags |= kTestDiskMappedWhereDescribed;
      ExReleaseFastMutex(&disk->lock);
    }
    return mapped;
  }
  if (irp->Flags & IRP_BUFFERED_IO) return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  return static_cast<PUCHAR>(irp->UserBuffer);
}

NTSTATUS ReadWrite(PDEVICE_OBJECT device, PIRP irp) {
  Disk *disk = DiskOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool write = stack->MajorFunction == IRP_MJ_WRITE;
  ULONG length = stack->Parameters.Read.Length;
  LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
  Record(disk, irp);
  if (offset < 0 || offset % disk->sectorSize || length % disk->sectorSize)
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (write && (device->Characteristics & FILE_READ_ONLY_DEVICE))
    return Complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
  if (length == 0) return Complete(irp, STATUS_SUCCESS, 0);
  auto at = static_cast<ULONG64>(offset);
  if (at >= disk->size || (write && length > disk->size - at))
    return Complete(irp, STATUS_END_OF_FILE, 0);
  ULONG count = length < disk->size - at ? length : static_cast<ULONG>(disk->size - at);
  PUCHAR buffer = TransferBuffer(disk, irp);
  if (!buffer) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (write)
    RtlCopyMemory(disk->data + at, buffer, count);
  else
    RtlCopyMemory(buffer, disk->data + at, count);
  return Complete(irp, STATUS_SUCCESS, count);
}

ULONG NameBytes(const char16_t *name) {
  ULONG n = 0;
  while (name[n]) ++n;
  return n * sizeof(WCHAR);
}

// A counted answer (USHORT length at lengthAt, bytes at dataAt): whole, or
// its head with STATUS_BUFFER_OVERFLOW when the output has room for that only.
NTSTATUS CountedReply(PIRP irp, ULONG headerSize, ULONG lengthAt, ULONG dataAt, const void *data, USHORT length) {
  ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  auto *out = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  if (room < headerSize) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  RtlZeroMemory(out, headerSize);
  RtlCopyMemory(out + lengthAt, &length, sizeof length);
  if (room < dataAt + length) {
    irp->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
    irp->IoStatus.Information = lengthAt + sizeof(USHORT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_BUFFER_OVERFLOW;
  }
  RtlCopyMemory(out + dataAt, data, length);
  return Complete(irp, STATUS_SUCCESS, dataAt + length);
}

NTSTATUS MountManagerQuestion(Disk *disk, PIRP irp, ULONG code) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
  switch (code) {
    case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
      return CountedReply(irp, sizeof(MOUNTDEV_NAME), 0, FIELD_OFFSET(MOUNTDEV_NAME, Name), disk->name,
                          static_cast<USHORT>(NameBytes(disk->name)));
    case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID: {
      UCHAR id[64];
      ExAcquireFastMutex(&disk->lock);
      USHORT length = disk->uniqueIdLength;
      RtlCopyMemory(id, disk->uniqueId, length);
      ExReleaseFastMutex(&disk->lock);
      return CountedReply(irp, sizeof(MOUNTDEV_UNIQUE_ID), 0, FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId), id, length);
    }
    case IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME: {
      WCHAR link[32];
      ExAcquireFastMutex(&disk->lock);
      USHORT length = disk->suggestedLength;
      RtlCopyMemory(link, disk->suggested, length);
      ExReleaseFastMutex(&disk->lock);
      if (!length) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
      return CountedReply(irp, sizeof(MOUNTDEV_SUGGESTED_LINK_NAME), FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, NameLength),
                          FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, Name), link, length);
    }
    case IOCTL_MOUNTDEV_LINK_CREATED:
    case IOCTL_MOUNTDEV_LINK_DELETED: {
      USHORT length = 0;
      if (input >= sizeof(USHORT)) RtlCopyMemory(&length, buffer, sizeof length);
      if (input < sizeof(USHORT) || length > sizeof(disk->links.last) || input < sizeof(USHORT) + length)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      ExAcquireFastMutex(&disk->lock);
      ++(code == IOCTL_MOUNTDEV_LINK_CREATED ? disk->links.created : disk->links.deleted);
      disk->links.lastLength = length;
      RtlCopyMemory(disk->links.last, buffer + sizeof(USHORT), length);
      ExReleaseFastMutex(&disk->lock);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case kTestDiskSetIdentity: {
      TestDiskIdentity identity;
      if (input < sizeof identity) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      RtlCopyMemory(&identity, buffer, sizeof identity);
      if (identity.uniqueIdLength > sizeof(disk->uniqueId) || identity.suggestedLength > sizeof(disk->suggested) ||
          input < sizeof identity + identity.uniqueIdLength + identity.suggestedLength)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      ExAcquireFastMutex(&disk->lock);
      disk->uniqueIdLength = identity.uniqueIdLength;
      RtlCopyMemory(disk->uniqueId, buffer + sizeof identity, identity.uniqueIdLength);
      disk->suggestedLength = identity.suggestedLength;
      RtlCopyMemory(disk->suggested, buffer + sizeof identity + identity.uniqueIdLength, identity.suggestedLength);
      ExReleaseFastMutex(&disk->lock);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case kTestDiskLinkLog: {
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(TestDiskLinkLog))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      ExAcquireFastMutex(&disk->lock);
      RtlCopyMemory(buffer, &disk->links, sizeof(TestDiskLinkLog));
      ExReleaseFastMutex(&disk->lock);
      return Complete(irp, STATUS_SUCCESS, sizeof(TestDiskLinkLog));
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS Control(PDEVICE_OBJECT device, PIRP irp) {
  Disk *disk = DiskOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY) {
    // One cylinder of one track: only the sector size matters to callers.
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(DISK_GEOMETRY))
      return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    DISK_GEOMETRY geometry{};
    geometry.MediaType = FixedMedia;
    geometry.TracksPerCylinder = 1;
    geometry.BytesPerSector = disk->sectorSize;
    geometry.SectorsPerTrack = static_cast<ULONG>(disk->size / disk->sectorSize);
    geometry.Cylinders.QuadPart = 1;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &geometry, sizeof geometry);
    return Complete(irp, STATUS_SUCCESS, sizeof geometry);
  }
  if (code != kTestDiskLastRequest) return MountManagerQuestion(disk, irp, code);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(TestDiskRequest))
    return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  ExAcquireFastMutex(&disk->lock);
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &disk->last, sizeof(TestDiskRequest));
  ExReleaseFastMutex(&disk->lock);
  return Complete(irp, STATUS_SUCCESS, sizeof(TestDiskRequest));
}

}  // namespace

bool IsTestDisk(PDEVICE_OBJECT device) {
  return device->DeviceExtension && DiskOf(device)->magic == kDiskMagic;
}

NTSTATUS DispatchTestDisk(PDEVICE_OBJECT device, PIRP irp) {
  Disk *disk = DiskOf(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      // The driver, not the device's security, keeps user mode out.
      return Complete(irp,
                      disk->refuseUser && irp->RequestorMode == UserMode ? STATUS_ACCESS_DENIED
                                                                         : STATUS_SUCCESS,
                      0);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return ReadWrite(device, irp);
    case IRP_MJ_FLUSH_BUFFERS:
      Record(disk, irp);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return Control(device, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS CreateTestDisks(PDRIVER_OBJECT driver) {
  UNICODE_STRING sddl = RTL_CONSTANT_STRING(u"D:P(A;;GA;;;WD)");
  for (ULONG i = 0; i < kDiskCount; ++i) {
    const DiskShape &shape = kDisks[i];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, shape.name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDeviceSecure(driver, sizeof(Disk), &name, shape.type,
                                           shape.characteristics, FALSE, &sddl, nullptr, &device);
    PUCHAR data =
        NT_SUCCESS(status)
            ? static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, shape.size, kDiskTag))
            : nullptr;
    if (!data) {
      if (device) IoDeleteDevice(device);
      DeleteTestDisks();
      return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    if (shape.pattern)
      for (ULONG64 b = 0; b < shape.size; ++b) data[b] = static_cast<UCHAR>(b ^ 0x5A);
    Disk *disk = DiskOf(device);
    disk->magic = kDiskMagic;
    disk->sectorSize = shape.sectorSize;
    disk->size = shape.size;
    disk->data = data;
    disk->refuseUser = shape.refuseUser;
    disk->name = shape.name;
    // "id:" and the name's bytes, as much as fits.
    disk->uniqueIdLength = static_cast<USHORT>(3 + NameBytes(shape.name) < 64 ? 3 + NameBytes(shape.name) : 64);
    RtlCopyMemory(disk->uniqueId, "id:", 3);
    RtlCopyMemory(disk->uniqueId + 3, shape.name, disk->uniqueIdLength - 3);
    ExInitializeFastMutex(&disk->lock);
    device->Flags |= shape.flags;
    device->SectorSize = static_cast<USHORT>(shape.sectorSize);
    device->AlignmentRequirement = shape.sectorSize > 1 ? 7 : 0;  // quadword-aligned buffers
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    gDisks[i] = device;
  }
  return STATUS_SUCCESS;
}

void DeleteTestDisks() {
  for (PDEVICE_OBJECT &device : gDisks) {
    if (!device) continue;
    ExFreePoolWithTag(DiskOf(device)->data, kDiskTag);
    IoDeleteDevice(device);
    device = nullptr;
  }
}
