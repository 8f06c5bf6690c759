// Creating and releasing a store.
#include <new>

#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "engine/image/image_header.h"
#include "kernel-support/ks_object.h"
#include "kernel-support/ks_string.h"
#include "engine/store/store_internal.h"

StoreSystemAttach::StoreSystemAttach(BOOLEAN Attach) : State{}, Attached(FALSE) {
  // Attached even from a thread of the system process: that costs nothing,
  // and the kernel's guarded test runs open the system process's user space
  // to attached threads only.
  if (Attach && PsInitialSystemProcess) {
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess), &State);
    Attached = TRUE;
  }
}

StoreSystemAttach::~StoreSystemAttach() {
  if (Attached) KeUnstackDetachProcess(&State);
}

namespace {

// Sector size of the device that holds the file: what its file system
// reports, else what the device object says.
ULONG DeviceSectorSize(HANDLE File, PFILE_OBJECT FileObject) {
  FILE_FS_SIZE_INFORMATION info = {};
  IO_STATUS_BLOCK iosb = {};
  if (NT_SUCCESS(ZwQueryVolumeInformationFile(File, &iosb, &info, sizeof(info), FileFsSizeInformation))) {
    return info.BytesPerSector;
  }
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
  return device ? device->SectorSize : 0;
}

}  // namespace

NTSTATUS StoreCreate(StoreMode Mode, BOOLEAN Raw, PCUNICODE_STRING ImagePath, HANDLE ImageFile,
                     ULONGLONG Size, CipherBlock *Cipher, VolumeStore **Store) {
  *Store = nullptr;
  PVOID memory = KsAllocate(sizeof(VolumeStore), VOLUME_STORE_TAG);
  if (!memory) {
    if (ImageFile) ZwClose(ImageFile);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(memory, sizeof(VolumeStore));
  VolumeStore *store = new (memory) VolumeStore;
  store->SectorBytes = STORE_SECTOR_SIZE;
  store->DeviceSectorSize = STORE_SECTOR_SIZE;
  store->VolumeSize = Size;
  store->ImageFile = ImageFile;
  store->Cipher = Cipher;
  store->Flags = (Raw ? STORE_RAW : 0) | (Mode == StoreModeMemory ? STORE_MEMORY : 0);
  ExInitializeFastMutex(&store->DataMutex);
  ExInitializeFastMutex(&store->SecondMutex);
  ExInitializeResourceLite(&store->ReadGate);

  NTSTATUS status = STATUS_SUCCESS;
  if (ImageFile) {
    PVOID object = nullptr;
    status = KsReferenceObjectByHandle(ImageFile, 0, nullptr, KernelMode, &object);
    if (NT_SUCCESS(status)) {
      store->ImageFileObject = static_cast<PFILE_OBJECT>(object);
      ULONG sectorSize = DeviceSectorSize(ImageFile, store->ImageFileObject);
      if (sectorSize % STORE_SECTOR_SIZE != 0 || sectorSize > 0xFFFF) {
        status = STORE_STATUS_BAD_DEVICE_SECTOR;
      } else if (sectorSize != 0) {
        store->DeviceSectorSize = static_cast<USHORT>(sectorSize);
      }
    }
  }
  if (NT_SUCCESS(status) && Raw && Size % STORE_SECTOR_SIZE != 0) status = STORE_STATUS_BAD_RAW_SIZE;
  if (NT_SUCCESS(status) && ImagePath && ImagePath->Length) {
    status = KsDuplicateString(ImagePath, &store->ImagePath);
  }
  if (!NT_SUCCESS(status)) {
    StoreRelease(&store, FALSE);
    return status;
  }
  *Store = store;
  return STATUS_SUCCESS;
}

NTSTATUS StoreCreateChangeMap(VolumeStore *Store) {
  ChangeMapFree(&Store->Changes);
  ULONGLONG sectors = (Store->VolumeSize + STORE_SECTOR_SIZE - 1) / STORE_SECTOR_SIZE;
  return ChangeMapCreate(sectors, &Store->Changes);
}

VOID StoreRelease(VolumeStore **Store, BOOLEAN Wipe) {
  VolumeStore *store = *Store;
  if (!store) return;
  *Store = nullptr;
  if (Wipe && StoreIsMemory(store) && store->Pieces) {
    // Zeros as stored bytes: the pages go back to the system holding
    // nothing of the volume, not even the cipher's key stream.
    StoreRangeWalk(store, WALK_NO_READ, 0, 0, StoreWipeCallback, nullptr);
  }
  {
    StoreSystemAttach attach;
    PUCHAR view = static_cast<PUCHAR>(store->ImageView);
    PUCHAR header = reinterpret_cast<PUCHAR>(store->Header);
    if (header && !(view && header >= view && header < view + IMAGE_HEADER_BLOCK_SIZE)) {
      KsFree(&store->Header);
    }
    store->Header = nullptr;
    if (view) ZwUnmapViewOfSection(ZwCurrentProcess(), view);
    store->ImageView = nullptr;
    KsReleaseObject(&store->ImageFileObject);
    if (store->ImageFile) ZwClose(store->ImageFile);
    store->ImageFile = nullptr;
    KsFreeString(&store->ImagePath);
  }
  StoreFreeMemory(store);
  ChangeMapFree(&store->Changes);
  ExDeleteResourceLite(&store->ReadGate);
  KsFree(&store);
}

BOOLEAN VolumeStore::IsWriteProtected() const { return StoreHasFlag(this, STORE_WRITE_PROTECTED); }

VOID VolumeStore::SetWriteProtected(BOOLEAN Protected) {
  // A format and a changed-blocks save protect the store independently: each
  // holds one count, and the flag stays up while any does. Memory writers
  // check the flag under the data mutex, so once it has been raised under
  // the mutex no ordinary write is still copying.
  StoreLockData(this);
  if (Protected) {
    if (WriteProtections++ == 0) StoreSetFlags(this, STORE_WRITE_PROTECTED);
  } else if (WriteProtections > 0 && --WriteProtections == 0) {
    StoreClearFlags(this, STORE_WRITE_PROTECTED);
  }
  StoreUnlockData(this);
}

NTSTATUS VolumeStore::Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset, ULONG InternalFlags,
                            PIO_STATUS_BLOCK IoStatus) {
  ULONG_PTR bytes = 0;
  NTSTATUS status = StoreWrite(this, InternalFlags, Buffer, Offset, Length, &bytes);
  if (IoStatus) {
    IoStatus->Status = status;
    IoStatus->Information = bytes;
  }
  return status;
}

NTSTATUS VolumeStore::Read(VOID *Buffer, ULONG Length, ULONGLONG Offset, PIO_STATUS_BLOCK IoStatus) {
  ULONG_PTR bytes = 0;
  NTSTATUS status = StoreRead(this, Buffer, Offset, Length, &bytes);
  if (IoStatus) {
    IoStatus->Status = status;
    IoStatus->Information = bytes;
  }
  return status;
}

NTSTATUS VolumeStore::ZeroRange(ULONGLONG Offset, ULONGLONG Length) {
  if (Length == 0) return STATUS_SUCCESS;
  return StoreRangeWalk(this, WALK_NO_READ, Offset, Length, StoreZeroFillCallback, nullptr);
}
