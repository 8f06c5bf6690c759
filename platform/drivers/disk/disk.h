// The disk class driver: it attaches to a disk that a storage port (a bus
// driver) presents, speaks SCSI request blocks to it, numbers it as
// "\Device\HarddiskN" with "\??\PhysicalDriveN", reads its partition table
// and presents each used partition as a child device "\Device\HarddiskVolumeK"
// on which file systems mount. It meets devices only through requests.
#pragma once

#include <ntifs.h>
#include <ntdddisk.h>
#include <scsi.h>
#include <srb.h>

#include <mutex>
#include <string>
#include <vector>

namespace disk {

constexpr ULONG kDiskTag = 0x6B736944;  // "Disk"

enum class Kind : ULONG { Disk = 0x4B534944, Partition = 0x54524150 };

struct PartitionExtension;

// The functional device of one disk. Lives in the device extension.
struct DiskExtension {
  Kind kind = Kind::Disk;
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // the next device of the stack
  PDEVICE_OBJECT pdo = nullptr;    // the port's device of the disk
  IO_REMOVE_LOCK removeLock;
  ULONG number = 0;                // N of "\Device\HarddiskN"
  std::u16string deviceName;       // "\Device\HarddiskN\DRk"
  HANDLE directory = nullptr;      // "\Device\HarddiskN", permanent while the disk lives
  UNICODE_STRING interfaceLink{};  // GUID_DEVINTERFACE_DISK on the port's device
  bool shutdownRegistered = false;

  // What the unit said at start.
  ULONG sectorSize = 512;
  ULONG64 size = 0;
  bool removable = false;
  bool writeProtected = false;
  bool writeCache = false;
  ULONG maxTransfer = 64 * 1024;  // bytes per request to the port, whole sectors
  DISK_GEOMETRY geometry{};

  // The partition table as last read, and the partitions' devices.
  std::mutex lock;
  ULONG layoutStyle = PARTITION_STYLE_RAW;
  ULONG signature = 0;
  std::vector<PARTITION_INFORMATION_EX> layout;
  std::vector<PDEVICE_OBJECT> partitions;  // their devices, until deleted
};

// The device of one partition, a child of the disk's device.
struct PartitionExtension {
  Kind kind = Kind::Partition;
  PDEVICE_OBJECT self = nullptr;
  DiskExtension *disk = nullptr;  // the disk outlives its partitions
  ULONG ordinal = 0;              // K of "\Device\HarddiskVolumeK"
  std::u16string deviceName;
  std::u16string partitionLink;   // "\Device\HarddiskN\PartitionM", empty when none
  PARTITION_INFORMATION_EX info{};
  UNICODE_STRING interfaceLink{};  // GUID_DEVINTERFACE_VOLUME
  bool present = true;   // still in the disk's table: a removal keeps the device
  bool online = true;
};

inline Kind KindOf(PDEVICE_OBJECT device) { return *static_cast<Kind *>(device->DeviceExtension); }
inline DiskExtension *DiskOf(PDEVICE_OBJECT device) { return static_cast<DiskExtension *>(device->DeviceExtension); }
inline PartitionExtension *PartitionOf(PDEVICE_OBJECT device) {
  return static_cast<PartitionExtension *>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
UNICODE_STRING View(const std::u16string &text);
std::u16string Decimal(ULONG value);
// Sends a request down and waits for it; the IRP is the caller's again.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);
// A buffered device-control request to `device`, waited for.
NTSTATUS SendControl(PDEVICE_OBJECT device, ULONG code, void *input, ULONG inputLength, void *output,
                     ULONG outputLength, ULONG_PTR *information);

// disk_srb.cpp: requests to the unit.
struct SrbResult {
  NTSTATUS status;
  UCHAR srbStatus;
  ULONG transferred;
};
// One SRB; `buffer` is nonpaged memory of `length` bytes, or null with
// `mdl` describing the data.
SrbResult SendSrb(DiskExtension *disk, UCHAR function, const UCHAR *cdb, UCHAR cdbLength, void *buffer,
                  PMDL mdl, ULONG length, bool dataOut);
// Claims the unit and learns its size, media and transfer limit.
NTSTATUS InspectUnit(DiskExtension *disk);
// Reads or writes whole sectors at a byte offset of the disk, the data
// described by `mdl` from `mdlOffset` on, split by the transfer limit.
NTSTATUS TransferSectors(DiskExtension *disk, bool write, ULONG64 offset, PMDL mdl, ULONG mdlOffset, ULONG length,
                         ULONG *transferred);
NTSTATUS SynchronizeCache(DiskExtension *disk);
NTSTATUS EjectMedia(DiskExtension *disk);

// disk_fdo.cpp: the disk's requests.
NTSTATUS DiskAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS DiskDispatch(DiskExtension *disk, PIRP irp);
// Reads the table afresh into the disk's layout.
NTSTATUS ReadLayout(DiskExtension *disk);

// disk_partition.cpp: the partitions' devices and requests.
// The BusRelations answer: devices for partitions new in the layout, the
// others kept; those no longer in it are left out and marked gone.
NTSTATUS PartitionRelations(DiskExtension *disk, PDEVICE_RELATIONS *relations);
NTSTATUS PartitionDispatch(PartitionExtension *partition, PIRP irp);
// On the disk's removal: every partition device that is left.
void DeleteAllPartitions(DiskExtension *disk);

// Numbers of disks, lowest free first, and of volumes, never reused.
ULONG TakeDiskNumber();
void ReleaseDiskNumber(ULONG number);
ULONG NextDiskObjectIndex();
ULONG NextVolumeOrdinal();

}  // namespace disk
