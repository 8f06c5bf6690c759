// Engine-to-bus protocol: the internal control requests the volume engine
// sends to the virtual disk bus, the records they carry, and the entry points
// the engine registers so that the bus can call it back.
//
// Both drivers include it, so it stays free of kernel headers: NTSTATUS is
// int32_t here and the IO_STATUS_BLOCK pointer is void *. Records are packed
// and little-endian; pointers travel as 64-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>

//
// Control device and codes.
//

// In the includer's WCHAR: wchar_t on Windows, char16_t on the host.
#if defined(_WIN32)
inline constexpr wchar_t BUS_CONTROL_DEVICE_NAME[] = L"\\Device\\BrimwellDisk";
#else
inline constexpr char16_t BUS_CONTROL_DEVICE_NAME[] = u"\\Device\\BrimwellDisk";
#endif

inline constexpr uint32_t BUS_DEVICE_TYPE = 0x22;  // FILE_DEVICE_UNKNOWN
inline constexpr uint32_t BUS_METHOD_BUFFERED = 0;
inline constexpr uint32_t BUS_FILE_ANY_ACCESS = 0;

constexpr uint32_t BusCtlCode(uint32_t DeviceType, uint32_t Function, uint32_t Method, uint32_t Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}
constexpr uint32_t BusControlCode(uint32_t Function) {
  return BusCtlCode(BUS_DEVICE_TYPE, Function, BUS_METHOD_BUFFERED, BUS_FILE_ANY_ACCESS);
}

// Sent as IRP_MJ_INTERNAL_DEVICE_CONTROL.
inline constexpr uint32_t IOCTL_BUS_REGISTER_ENGINE = BusControlCode(0x801);
inline constexpr uint32_t IOCTL_BUS_ADD_DISK = BusControlCode(0x802);
inline constexpr uint32_t IOCTL_BUS_REMOVE_DISK = BusControlCode(0x803);
inline constexpr uint32_t IOCTL_BUS_QUERY_DISK = BusControlCode(0x804);

//
// Value sets.
//

// Event codes the bus hands to the engine's event routine.
inline constexpr uint32_t BUS_EVENT_DISK_NUMBER_KNOWN = 1;
inline constexpr uint32_t BUS_EVENT_STARTED = 2;
inline constexpr uint32_t BUS_EVENT_STOPPED = 3;
inline constexpr uint32_t BUS_EVENT_REMOVED = 4;  // reserved, never sent
inline constexpr uint32_t BUS_EVENT_EJECT = 5;
inline constexpr uint32_t BUS_EVENT_LINK_CHANGED = 6;
inline constexpr uint32_t BUS_EVENT_SHUTDOWN = 7;
inline constexpr uint32_t BUS_EVENT_SLEEP = 8;  // argument: the system power state
inline constexpr uint32_t BUS_EVENT_SCSI_SHUTDOWN = 9;
inline constexpr uint32_t BUS_EVENT_DEVICE_USAGE = 10;  // argument: address of a PagingUsage
inline constexpr uint32_t BUS_EVENT_FLUSH = 11;

// Information types of the engine's query routine.
inline constexpr uint32_t BUS_QUERY_DISK_LETTERS = 1;  // reply: DiskLetterInfo
inline constexpr uint32_t BUS_QUERY_DISK_BUSY = 2;     // reply: DiskBusyInfo

// AddDiskRequest.RequestFlags.
inline constexpr uint32_t BUS_REQUEST_HIDDEN = 0x01;
inline constexpr uint32_t BUS_REQUEST_REMOVABLE = 0x02;
inline constexpr uint32_t BUS_REQUEST_SILENT_INSTALL = 0x04;
inline constexpr uint32_t BUS_REQUEST_SURPRISE_REMOVAL_OK = 0x08;
inline constexpr uint32_t BUS_REQUEST_RAW_DEVICE_OK = 0x10;
// Carried for the engine's own use (fresh partition table); the bus ignores it.
inline constexpr uint32_t BUS_REQUEST_NEW_PARTITION_TABLE = 0x20;

// Disk flags as the bus keeps them for a child.
inline constexpr uint32_t BUS_DISK_HIDDEN = 0x01;
inline constexpr uint32_t BUS_DISK_REMOVABLE = 0x02;
inline constexpr uint32_t BUS_DISK_RAW_DEVICE_OK = 0x04;
inline constexpr uint32_t BUS_DISK_SURPRISE_REMOVAL_OK = 0x08;
inline constexpr uint32_t BUS_DISK_SILENT_INSTALL = 0x10;

// Request flags to disk flags: hidden, removable and surprise removal keep
// their bits; silent install and raw device trade places; the rest is dropped.
constexpr uint32_t BusDiskFlagsFromRequest(uint32_t RequestFlags) {
  uint32_t flags = RequestFlags & (BUS_REQUEST_HIDDEN | BUS_REQUEST_REMOVABLE | BUS_REQUEST_SURPRISE_REMOVAL_OK);
  if (RequestFlags & BUS_REQUEST_SILENT_INSTALL) {
    flags |= BUS_DISK_SILENT_INSTALL;
  }
  if (RequestFlags & BUS_REQUEST_RAW_DEVICE_OK) {
    flags |= BUS_DISK_RAW_DEVICE_OK;
  }
  return flags;
}

//
// Records.
//

#define BUS_FIELD_AT(Type, Field, Offset) \
  static_assert(offsetof(Type, Field) == (Offset), #Type "." #Field " moved")

#pragma pack(push, 1)

// Argument of the event routine.
struct EngineEventArgs {
  uint64_t EngineContext;
  uint32_t DiskOrdinal;
  uint64_t Argument;  // a system power state, or the address of a PagingUsage
};
static_assert(sizeof(EngineEventArgs) == 20);
BUS_FIELD_AT(EngineEventArgs, EngineContext, 0);
BUS_FIELD_AT(EngineEventArgs, DiskOrdinal, 8);
BUS_FIELD_AT(EngineEventArgs, Argument, 12);

// Device usage notification (BUS_EVENT_DEVICE_USAGE).
struct PagingUsage {
  uint8_t InPath;      // 1 = a paging file goes onto the disk, 0 = it is removed
  uint32_t UsageType;  // DEVICE_USAGE_NOTIFICATION_TYPE
};
static_assert(sizeof(PagingUsage) == 5);
BUS_FIELD_AT(PagingUsage, InPath, 0);
BUS_FIELD_AT(PagingUsage, UsageType, 1);

// Reply of the query routine, BUS_QUERY_DISK_LETTERS.
struct DiskLetterInfo {
  uint16_t DriveLetter;
  uint16_t AdditionalLetters[26];
  uint8_t LetterCount;
  uint8_t HasLink;
};
static_assert(sizeof(DiskLetterInfo) == 56);
BUS_FIELD_AT(DiskLetterInfo, DriveLetter, 0);
BUS_FIELD_AT(DiskLetterInfo, AdditionalLetters, 2);
BUS_FIELD_AT(DiskLetterInfo, LetterCount, 54);
BUS_FIELD_AT(DiskLetterInfo, HasLink, 55);

// Reply of the query routine, BUS_QUERY_DISK_BUSY.
struct DiskBusyInfo {
  uint8_t Idle;  // 1 = nothing keeps the disk busy
  uint32_t BusyCount;
};
static_assert(sizeof(DiskBusyInfo) == 5);
BUS_FIELD_AT(DiskBusyInfo, Idle, 0);
BUS_FIELD_AT(DiskBusyInfo, BusyCount, 1);

// Input of IOCTL_BUS_REGISTER_ENGINE: the engine's entry points, kept by the
// bus until it unloads.
struct EngineInterface {
  uint32_t Reserved;  // 0
  uint64_t EventRoutine;
  uint64_t ReadRoutine;
  uint64_t WriteRoutine;
  uint64_t QueryRoutine;
};
static_assert(sizeof(EngineInterface) == 36);
BUS_FIELD_AT(EngineInterface, Reserved, 0);
BUS_FIELD_AT(EngineInterface, EventRoutine, 4);
BUS_FIELD_AT(EngineInterface, ReadRoutine, 12);
BUS_FIELD_AT(EngineInterface, WriteRoutine, 20);
BUS_FIELD_AT(EngineInterface, QueryRoutine, 28);

// DISK_GEOMETRY as it travels inside AddDiskRequest.
struct BusDiskGeometry {
  uint64_t Cylinders;
  uint32_t MediaType;
  uint32_t TracksPerCylinder;
  uint32_t SectorsPerTrack;
  uint32_t BytesPerSector;
};
static_assert(sizeof(BusDiskGeometry) == 24);
BUS_FIELD_AT(BusDiskGeometry, Cylinders, 0);
BUS_FIELD_AT(BusDiskGeometry, MediaType, 8);
BUS_FIELD_AT(BusDiskGeometry, TracksPerCylinder, 12);
BUS_FIELD_AT(BusDiskGeometry, SectorsPerTrack, 16);
BUS_FIELD_AT(BusDiskGeometry, BytesPerSector, 20);

// Input of IOCTL_BUS_ADD_DISK; the output is the child's device object
// (8 bytes).
struct AddDiskRequest {
  uint32_t RequestFlags;  // BUS_REQUEST_...
  uint64_t EngineContext; // not 0
  uint64_t DiskSize;      // bytes, a multiple of the sector size
  uint16_t SectorSize;    // a multiple of 512
  uint32_t AlignmentRequirement;
  uint32_t MaximumTransferLength;
  BusDiskGeometry Geometry;
};
static_assert(sizeof(AddDiskRequest) == 54);
BUS_FIELD_AT(AddDiskRequest, RequestFlags, 0);
BUS_FIELD_AT(AddDiskRequest, EngineContext, 4);
BUS_FIELD_AT(AddDiskRequest, DiskSize, 12);
BUS_FIELD_AT(AddDiskRequest, SectorSize, 20);
BUS_FIELD_AT(AddDiskRequest, AlignmentRequirement, 22);
BUS_FIELD_AT(AddDiskRequest, MaximumTransferLength, 26);
BUS_FIELD_AT(AddDiskRequest, Geometry, 30);

// Input of IOCTL_BUS_REMOVE_DISK.
struct RemoveDiskRequest {
  uint32_t Reserved;  // 0
  uint64_t EngineContext;
};
static_assert(sizeof(RemoveDiskRequest) == 12);
BUS_FIELD_AT(RemoveDiskRequest, Reserved, 0);
BUS_FIELD_AT(RemoveDiskRequest, EngineContext, 4);

// Output of IOCTL_BUS_QUERY_DISK (input: a device object, 8 bytes).
struct QueryDiskReply {
  uint64_t EngineContext;  // 0 when the device is no child of the bus
  uint8_t Found;
};
static_assert(sizeof(QueryDiskReply) == 9);
BUS_FIELD_AT(QueryDiskReply, EngineContext, 0);
BUS_FIELD_AT(QueryDiskReply, Found, 8);

#pragma pack(pop)

#undef BUS_FIELD_AT

inline constexpr uint32_t BUS_REGISTER_ENGINE_LENGTH = sizeof(EngineInterface);
inline constexpr uint32_t BUS_ADD_DISK_LENGTH = sizeof(AddDiskRequest);
inline constexpr uint32_t BUS_ADD_DISK_REPLY_LENGTH = sizeof(uint64_t);
inline constexpr uint32_t BUS_REMOVE_DISK_LENGTH = sizeof(RemoveDiskRequest);
inline constexpr uint32_t BUS_QUERY_DISK_LENGTH = sizeof(uint64_t);
inline constexpr uint32_t BUS_QUERY_DISK_REPLY_LENGTH = sizeof(QueryDiskReply);

//
// The engine's entry points. Declare them through these types, e.g.
// `BUS_ENGINE_READ_ROUTINE VolumeBusRead;`.
//

// Event routine: one of BUS_EVENT_..., with its arguments.
typedef int32_t BUS_ENGINE_EVENT_ROUTINE(uint32_t Code, EngineEventArgs *Args);
// Read and write routines: Length bytes at ByteOffset of the disk behind
// Context; IoStatus points to the request's IO_STATUS_BLOCK.
typedef int32_t BUS_ENGINE_READ_ROUTINE(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer,
                                        void *IoStatus);
typedef int32_t BUS_ENGINE_WRITE_ROUTINE(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer,
                                         void *IoStatus);
// Query routine: BUS_QUERY_... into Reply (DiskLetterInfo or DiskBusyInfo).
typedef int32_t BUS_ENGINE_QUERY_ROUTINE(uint64_t Context, uint32_t Type, void *Reply);

typedef BUS_ENGINE_EVENT_ROUTINE *PBUS_ENGINE_EVENT_ROUTINE;
typedef BUS_ENGINE_READ_ROUTINE *PBUS_ENGINE_READ_ROUTINE;
typedef BUS_ENGINE_WRITE_ROUTINE *PBUS_ENGINE_WRITE_ROUTINE;
typedef BUS_ENGINE_QUERY_ROUTINE *PBUS_ENGINE_QUERY_ROUTINE;

// Routine pointers to and from their 64-bit fields in EngineInterface.
template <typename Routine>
inline uint64_t BusRoutineToField(Routine *Pointer) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(Pointer));
}
template <typename Routine>
inline Routine *BusRoutineFromField(uint64_t Field) {
  return reinterpret_cast<Routine *>(static_cast<uintptr_t>(Field));
}
