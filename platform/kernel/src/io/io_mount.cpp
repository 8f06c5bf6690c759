// Volumes and file systems: the VPB of a device that can hold a volume,
// the registered file systems and the mount at the first open that is not
// a direct device open, the VPB lock, and share access as file systems keep it.
#include "internal.h"
#include "io/io_internal.h"
#include "nt/pool.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace bw {

namespace {

constexpr ULONG kVpbTag = 0x20627056;  // "Vpb "

std::mutex gFileSystemLock;
std::vector<PDEVICE_OBJECT> gFileSystems;  // referenced, in registration order
KSPIN_LOCK gVpbLock = 0;

// Offers the volume on `device` to the file systems, last registered first,
// until one mounts it. The device's DeviceLock keeps mounts of one device
// apart. *noFileSystem: none is registered at all.
NTSTATUS MountVolume(PDEVICE_OBJECT device, bool *noFileSystem) {
  *noFileSystem = false;
  KeWaitForSingleObject(&device->DeviceLock, Executive, KernelMode, FALSE, nullptr);
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  bool mounted = (device->Vpb->Flags & VPB_MOUNTED) != 0;
  IoReleaseVpbSpinLock(irql);
  if (mounted) {
    KeSetEvent(&device->DeviceLock, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
  }
  std::vector<PDEVICE_OBJECT> systems;
  {
    std::lock_guard<std::mutex> guard(gFileSystemLock);
    systems.assign(gFileSystems.rbegin(), gFileSystems.rend());
    for (PDEVICE_OBJECT fs : systems) ObfReferenceObject(fs);
  }
  *noFileSystem = systems.empty();
  NTSTATUS status = systems.empty() ? STATUS_SUCCESS : STATUS_UNRECOGNIZED_VOLUME;
  PDEVICE_OBJECT target = IoGetAttachedDevice(device);
  for (PDEVICE_OBJECT fs : systems) {
    if (status != STATUS_UNRECOGNIZED_VOLUME) break;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = AllocateCallerIrp(fs, &event, &iosb);
    if (!irp) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
    next->MinorFunction = IRP_MN_MOUNT_VOLUME;
    next->Parameters.MountVolume.Vpb = device->Vpb;
    next->Parameters.MountVolume.DeviceObject = target;
    status = CallAndWait(fs, irp, &event, &iosb);
    if (NT_SUCCESS(status)) {
      IoAcquireVpbSpinLock(&irql);
      device->Vpb->Flags |= VPB_MOUNTED;
      device->Vpb->RealDevice = device;
      IoReleaseVpbSpinLock(irql);
    }
  }
  for (PDEVICE_OBJECT fs : systems) ObfDereferenceObject(fs);
  KeSetEvent(&device->DeviceLock, IO_NO_INCREMENT, FALSE);
  return status;
}

}  // namespace

bool DeviceTypeHasVpb(DEVICE_TYPE type) {
  return type == FILE_DEVICE_DISK || type == FILE_DEVICE_CD_ROM || type == FILE_DEVICE_TAPE ||
         type == FILE_DEVICE_VIRTUAL_DISK;
}

PVPB AllocateVpb(PDEVICE_OBJECT device) {
  auto *vpb = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), kVpbTag));
  if (!vpb) return nullptr;
  memset(vpb, 0, sizeof(VPB));
  vpb->Type = IO_TYPE_VPB;
  vpb->Size = sizeof(VPB);
  vpb->RealDevice = device;
  return vpb;
}

NTSTATUS ReferenceMountedVolume(PDEVICE_OBJECT device, PVPB *vpb) {
  *vpb = nullptr;
  for (;;) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    PVPB current = device->Vpb;
    if (current->Flags & VPB_MOUNTED) {
      // A locked volume admits nobody new; its lock holder keeps the volume.
      NTSTATUS status = STATUS_SUCCESS;
      if (current->Flags & VPB_LOCKED)
        status = STATUS_ACCESS_DENIED;
      else
        ++current->ReferenceCount;
      IoReleaseVpbSpinLock(irql);
      if (NT_SUCCESS(status)) *vpb = current;
      return status;
    }
    IoReleaseVpbSpinLock(irql);
    bool noFileSystem = false;
    NTSTATUS status = MountVolume(device, &noFileSystem);
    // A kernel booted without its system drivers (the stand-in's own tests)
    // has no file system at all: the device is opened as it is.
    if (noFileSystem) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    // Mounted: take the reference above, unless the volume went again.
  }
}

void DereferenceVolume(PVPB vpb) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  --vpb->ReferenceCount;
  IoReleaseVpbSpinLock(irql);
}

PDEVICE_OBJECT RelatedDeviceReference(PFILE_OBJECT file) {
  if (file->Vpb && file->Vpb->DeviceObject && !(file->Flags & FO_DIRECT_DEVICE_OPEN))
    return IoGetAttachedDeviceReference(file->Vpb->DeviceObject);
  return IoGetAttachedDeviceReference(file->DeviceObject);
}

}  // namespace bw

using namespace bw;

VOID IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(gFileSystemLock);
  ObfReferenceObject(DeviceObject);
  gFileSystems.push_back(DeviceObject);
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
}

VOID IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT found = nullptr;
  {
    std::lock_guard<std::mutex> guard(gFileSystemLock);
    auto it = std::find(gFileSystems.begin(), gFileSystems.end(), DeviceObject);
    if (it != gFileSystems.end()) {
      found = *it;
      gFileSystems.erase(it);
    }
  }
  if (found) ObfDereferenceObject(found);
}

VOID IoAcquireVpbSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gVpbLock, Irql); }

VOID IoReleaseVpbSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gVpbLock, Irql); }

NTSTATUS IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                            PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess, BOOLEAN Update) {
  BOOLEAN read = (DesiredAccess & (FILE_READ_DATA | FILE_EXECUTE)) ? TRUE : FALSE;
  BOOLEAN write = (DesiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
  BOOLEAN del = (DesiredAccess & DELETE) ? TRUE : FALSE;
  FileObject->ReadAccess = read;
  FileObject->WriteAccess = write;
  FileObject->DeleteAccess = del;
  // An open for attributes only takes part in nobody's sharing.
  if (!read && !write && !del) return STATUS_SUCCESS;
  BOOLEAN sharedRead = (DesiredShareAccess & FILE_SHARE_READ) ? TRUE : FALSE;
  BOOLEAN sharedWrite = (DesiredShareAccess & FILE_SHARE_WRITE) ? TRUE : FALSE;
  BOOLEAN sharedDelete = (DesiredShareAccess & FILE_SHARE_DELETE) ? TRUE : FALSE;
  FileObject->SharedRead = sharedRead;
  FileObject->SharedWrite = sharedWrite;
  FileObject->SharedDelete = sharedDelete;
  if ((read && ShareAccess->SharedRead < ShareAccess->OpenCount) ||
      (write && ShareAccess->SharedWrite < ShareAccess->OpenCount) ||
      (del && ShareAccess->SharedDelete < ShareAccess->OpenCount) ||
      (ShareAccess->Readers && !sharedRead) || (ShareAccess->Writers && !sharedWrite) ||
      (ShareAccess->Deleters && !sharedDelete))
    return STATUS_SHARING_VIOLATION;
  if (Update) IoUpdateShareAccess(FileObject, ShareAccess);
  return STATUS_SUCCESS;
}

VOID IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
  if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) return;
  ++ShareAccess->OpenCount;
  ShareAccess->Readers += FileObject->ReadAccess ? 1 : 0;
  ShareAccess->Writers += FileObject->WriteAccess ? 1 : 0;
  ShareAccess->Deleters += FileObject->DeleteAccess ? 1 : 0;
  ShareAccess->SharedRead += FileObject->SharedRead ? 1 : 0;
  ShareAccess->SharedWrite += FileObject->SharedWrite ? 1 : 0;
  ShareAccess->SharedDelete += FileObject->SharedDelete ? 1 : 0;
}

VOID IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                      PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
  memset(ShareAccess, 0, sizeof(SHARE_ACCESS));
  FileObject->ReadAccess = (DesiredAccess & (FILE_READ_DATA | FILE_EXECUTE)) ? TRUE : FALSE;
  FileObject->WriteAccess = (DesiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
  FileObject->DeleteAccess = (DesiredAccess & DELETE) ? TRUE : FALSE;
  FileObject->SharedRead = (DesiredShareAccess & FILE_SHARE_READ) ? TRUE : FALSE;
  FileObject->SharedWrite = (DesiredShareAccess & FILE_SHARE_WRITE) ? TRUE : FALSE;
  FileObject->SharedDelete = (DesiredShareAccess & FILE_SHARE_DELETE) ? TRUE : FALSE;
  IoUpdateShareAccess(FileObject, ShareAccess);
}

VOID IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
  if (!FileObject->ReadAccess && !FileObject->WriteAccess && !FileObject->DeleteAccess) return;
  --ShareAccess->OpenCount;
  ShareAccess->Readers -= FileObject->ReadAccess ? 1 : 0;
  ShareAccess->Writers -= FileObject->WriteAccess ? 1 : 0;
  ShareAccess->Deleters -= FileObject->DeleteAccess ? 1 : 0;
  ShareAccess->SharedRead -= FileObject->SharedRead ? 1 : 0;
  ShareAccess->SharedWrite -= FileObject->SharedWrite ? 1 : 0;
  ShareAccess->SharedDelete -= FileObject->SharedDelete ? 1 : 0;
}
