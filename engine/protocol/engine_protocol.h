// Control protocol of the volume engine: device names, control codes, value
// sets and the packed records exchanged over the control device.
//
// Shared by the engine (kernel mode) and the control library (user mode), so
// it includes nothing but freestanding headers. NTSTATUS values come from the
// includer's own headers.
//
// Records are packed and little-endian. The fixed-size records may be used in
// place (the system buffer of a request, a reply buffer); the records with a
// variable tail are taken apart with the Parse routines below, which read
// every field through the little-endian helpers and never touch a byte
// outside the buffer they are given.
//
// Fields of packed records sit at odd offsets: read and assign them by value,
// never take their address or bind a reference to one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string.h>
#include <type_traits>

// string.h is the C library header both kits' own headers include for these.
#define ENGINE_PROTOCOL_COPY(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define ENGINE_PROTOCOL_ZERO(Destination, Length) memset((Destination), 0, (Length))

//
// Little-endian access to unaligned memory.
//

template <typename T>
constexpr T EngineByteSwap(T Value) {
  static_assert(std::is_unsigned_v<T>, "swap unsigned values only");
  T result = 0;
  for (size_t i = 0; i < sizeof(T); i++) {
    result = static_cast<T>((result << 8) | (Value & 0xFF));
    Value = static_cast<T>(Value >> 8);
  }
  return result;
}

template <typename T>
inline T EngineLoadLE(const void *Source) {
  static_assert(std::is_integral_v<T>, "integers only");
  using U = std::make_unsigned_t<T>;
  U value;
  ENGINE_PROTOCOL_COPY(&value, Source, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = EngineByteSwap(value);
#endif
  return static_cast<T>(value);
}

template <typename T>
inline void EngineStoreLE(void *Destination, T Value) {
  static_assert(std::is_integral_v<T>, "integers only");
  using U = std::make_unsigned_t<T>;
  U value = static_cast<U>(Value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = EngineByteSwap(value);
#endif
  ENGINE_PROTOCOL_COPY(Destination, &value, sizeof value);
}

//
// Device names.
//

// Names are in the includer's WCHAR: the compiler's 16-bit wchar_t on Windows,
// char16_t on hosts whose wchar_t is wider.
#if defined(_WIN32)
typedef wchar_t EngineNameChar;
#define ENGINE_NAME(Text) L##Text
#else
typedef char16_t EngineNameChar;
#define ENGINE_NAME(Text) u##Text
#endif

inline constexpr EngineNameChar ENGINE_DEVICE_NAME[] = ENGINE_NAME("\\Device\\BrimwellVolume");     // kernel device object
inline constexpr EngineNameChar ENGINE_SYMBOLIC_LINK_NAME[] = ENGINE_NAME("\\??\\BrimwellVolume");  // link the engine makes
inline constexpr EngineNameChar ENGINE_USER_DEVICE_PATH[] = ENGINE_NAME("\\\\.\\BrimwellVolume");   // what clients open

//
// Control codes: CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED,
// FILE_ANY_ACCESS), so input and output share one system buffer.
//

inline constexpr uint32_t ENGINE_DEVICE_TYPE = 0x22;  // FILE_DEVICE_UNKNOWN
inline constexpr uint32_t ENGINE_METHOD_BUFFERED = 0;
inline constexpr uint32_t ENGINE_FILE_ANY_ACCESS = 0;

constexpr uint32_t EngineCtlCode(uint32_t DeviceType, uint32_t Function, uint32_t Method, uint32_t Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}
constexpr uint32_t EngineControlCode(uint32_t Function) {
  return EngineCtlCode(ENGINE_DEVICE_TYPE, Function, ENGINE_METHOD_BUFFERED, ENGINE_FILE_ANY_ACCESS);
}
// The 12-bit function number of a control code.
constexpr uint32_t EngineControlFunction(uint32_t Code) { return (Code >> 2) & 0xFFF; }

inline constexpr uint32_t ENGINE_FUNCTION_FIRST = 0x801;
inline constexpr uint32_t ENGINE_FUNCTION_LAST = 0x812;
inline constexpr uint32_t ENGINE_CONTROL_CODE_COUNT = ENGINE_FUNCTION_LAST - ENGINE_FUNCTION_FIRST + 1;

inline constexpr uint32_t IOCTL_ENGINE_CREATE_IMAGE = EngineControlCode(0x801);
inline constexpr uint32_t IOCTL_ENGINE_MOUNT_IMAGE = EngineControlCode(0x802);
inline constexpr uint32_t IOCTL_ENGINE_CREATE_MEMORY_VOLUME = EngineControlCode(0x803);
inline constexpr uint32_t IOCTL_ENGINE_UNMOUNT = EngineControlCode(0x804);
inline constexpr uint32_t IOCTL_ENGINE_SAVE_IMAGE = EngineControlCode(0x805);
inline constexpr uint32_t IOCTL_ENGINE_GET_DEVICE_NAME = EngineControlCode(0x806);
inline constexpr uint32_t IOCTL_ENGINE_REGISTER_NOTIFY = EngineControlCode(0x807);
inline constexpr uint32_t IOCTL_ENGINE_QUERY_VOLUME = EngineControlCode(0x808);
inline constexpr uint32_t IOCTL_ENGINE_LIST_VOLUMES = EngineControlCode(0x809);
inline constexpr uint32_t IOCTL_ENGINE_LINK = EngineControlCode(0x80A);
inline constexpr uint32_t IOCTL_ENGINE_GET_IMAGE_PATH = EngineControlCode(0x80B);
inline constexpr uint32_t IOCTL_ENGINE_SET_PROPERTIES = EngineControlCode(0x80C);
inline constexpr uint32_t IOCTL_ENGINE_ADD_AUTO_VOLUME = EngineControlCode(0x80D);
inline constexpr uint32_t IOCTL_ENGINE_GET_AUTO_VOLUMES = EngineControlCode(0x80E);
inline constexpr uint32_t IOCTL_ENGINE_DELETE_AUTO_VOLUME = EngineControlCode(0x80F);
inline constexpr uint32_t IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES = EngineControlCode(0x810);
inline constexpr uint32_t IOCTL_ENGINE_FORMAT_VOLUME = EngineControlCode(0x811);
inline constexpr uint32_t IOCTL_ENGINE_SET_FLUSH_STATE = EngineControlCode(0x812);

//
// Value sets.
//

// Algorithm id of the image content transform.
inline constexpr uint32_t ENGINE_ALGORITHM_NONE = 0;  // none given
inline constexpr uint32_t ENGINE_ALGORITHM_NULL = 1;  // stored as is
inline constexpr uint32_t ENGINE_ALGORITHM_XOR = 2;

// File-system codes (the formatter's fsRAW .. fsNTFS).
inline constexpr uint32_t ENGINE_FS_RAW = 0;
inline constexpr uint32_t ENGINE_FS_FAT = 1;  // FAT12 or FAT16 by size
inline constexpr uint32_t ENGINE_FS_FAT32 = 2;
inline constexpr uint32_t ENGINE_FS_NTFS = 3;
inline constexpr uint32_t ENGINE_FS_LAST = ENGINE_FS_NTFS;

// Image kinds of CreateImageRequest.
inline constexpr uint8_t ENGINE_IMAGE_KIND_VOLUME = 1;  // one file system, no partition table
inline constexpr uint8_t ENGINE_IMAGE_KIND_DISK = 2;    // partition table (hard-disk emulation)

// Notification events handed to the registered routine.
inline constexpr uint32_t ENGINE_EVENT_EJECT_REQUESTED = 1;
inline constexpr uint32_t ENGINE_EVENT_VOLUME_REMOVING = 2;
inline constexpr uint32_t ENGINE_EVENT_LETTERS_CHANGED = 3;
inline constexpr uint32_t ENGINE_EVENT_VOLUME_CREATED = 4;
inline constexpr uint32_t ENGINE_EVENT_VOLUME_REMOVED = 5;
inline constexpr uint32_t ENGINE_EVENT_AUTOFLUSH_STARTED = 6;
inline constexpr uint32_t ENGINE_EVENT_AUTOFLUSH_FINISHED = 7;

// LinkRequest operations.
inline constexpr uint32_t ENGINE_LINK_CREATE = 1;
inline constexpr uint32_t ENGINE_LINK_DELETE = 2;
inline constexpr uint32_t ENGINE_LINK_DROP_SESSION = 3;  // every session-local link of a logon session

// Partition selector of LinkRequest and FormatRequest: every partition.
inline constexpr int32_t ENGINE_ALL_PARTITIONS = -1;

// Additional drive letters a record can carry.
inline constexpr uint32_t ENGINE_MAX_ADDITIONAL_LETTERS = 26;

// Mount flags (`MountFlags`).
inline constexpr uint32_t ENGINE_MOUNT_READ_ONLY = 0x00000001;
inline constexpr uint32_t ENGINE_MOUNT_REMOVABLE = 0x00000002;
inline constexpr uint32_t ENGINE_MOUNT_NO_SECURITY = 0x00000004;
inline constexpr uint32_t ENGINE_MOUNT_MEMORY = 0x00000008;
inline constexpr uint32_t ENGINE_MOUNT_DETACH_IMAGE = 0x00000010;
inline constexpr uint32_t ENGINE_MOUNT_RAW_IMAGE = 0x00000020;
inline constexpr uint32_t ENGINE_MOUNT_COMPRESS = 0x00000040;
inline constexpr uint32_t ENGINE_MOUNT_DISK_EMULATION = 0x00000080;
inline constexpr uint32_t ENGINE_MOUNT_NODE_ONLY = 0x00000100;
inline constexpr uint32_t ENGINE_MOUNT_LISTED_PARTITION_LETTERS = 0x00000200;
inline constexpr uint32_t ENGINE_MOUNT_BUS_HIDDEN = 0x00010000;
inline constexpr uint32_t ENGINE_MOUNT_BUS_SILENT_INSTALL = 0x00020000;
inline constexpr uint32_t ENGINE_MOUNT_BUS_SURPRISE_REMOVAL_OK = 0x00040000;
inline constexpr uint32_t ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE = 0x00080000;
inline constexpr uint32_t ENGINE_MOUNT_BUS_OPTIONS = 0x000F0000;

// Save flags of SaveImageRequest; autoflush flags use the same bits.
inline constexpr uint32_t ENGINE_SAVE_FLUSH_FIRST = 0x1;   // flush the volume's file system first
inline constexpr uint32_t ENGINE_SAVE_CHANGED_ONLY = 0x2;  // write only the changed blocks

// Format flags of CreateMemoryVolumeRequest.
inline constexpr uint32_t ENGINE_CREATE_FORMAT_ZERO_FILL = 0x1;  // zero-fill, then compress the root folder
// Format flags of FormatRequest.
inline constexpr uint32_t ENGINE_FORMAT_COMPRESS_ROOT = 0x1;   // NTFS only
inline constexpr uint32_t ENGINE_FORMAT_NUMBER_LABELS = 0x2;   // label + " " + partition ordinal

// Volume properties.
inline constexpr uint32_t ENGINE_PROPERTY_SAVE_AT_SHUTDOWN = 0x1;
inline constexpr uint32_t ENGINE_PROPERTY_SAVE_AT_SLEEP = 0x2;  // together with SAVE_AT_SHUTDOWN

// Volume state flags clients look at in VolumeInfoReply.
inline constexpr uint32_t ENGINE_VOLUME_STATE_HAS_LINK = 0x400;
inline constexpr uint32_t ENGINE_VOLUME_STATE_MEMORY = 0x800;
inline constexpr uint32_t ENGINE_VOLUME_STATE_DISK_EMULATION = 0x4000;

// Image status codes (last field of MountResult).
inline constexpr uint32_t ENGINE_IMAGE_STATUS_SUCCESS = 0;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_BAD_SIGNATURE = 1;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_BAD_BLOCK_SIZE = 2;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_BAD_HEADER = 3;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_BAD_VERSION = 4;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_BAD_KEY = 5;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_UNKNOWN_ALGORITHM = 6;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_OPEN_FAILED = 7;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_NOT_FORMATTED = 8;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_TOO_BIG = 9;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_UNKNOWN = 10;
inline constexpr uint32_t ENGINE_IMAGE_STATUS_LAST = ENGINE_IMAGE_STATUS_UNKNOWN;

// Text of an image status code; nullptr for a code without one, so that the
// caller can show the number instead.
constexpr const char *EngineImageStatusText(uint32_t Code) {
  constexpr const char *texts[] = {
      "Image load succeeded",
      "Image signature is invalid",
      "Incorrect block size detected",
      "Image header is corrupted or not accessible",
      "Version of the image file does not match current kernel",
      "Key or password is invalid",
      "Unknown algorithm detected",
      "Image file could not be opened",
      "Image was not formatted",
      "Image is too big for the operation",
      "Unknown reason",
  };
  return Code <= ENGINE_IMAGE_STATUS_LAST ? texts[Code] : nullptr;
}

// Name of an algorithm id; nullptr for 0 and unknown ids.
constexpr const char *EngineAlgorithmName(uint32_t AlgorithmId) {
  return AlgorithmId == ENGINE_ALGORITHM_NULL ? "null" : AlgorithmId == ENGINE_ALGORITHM_XOR ? "xor" : nullptr;
}

//
// Records. Field order and widths are the wire layout; the static_asserts
// keep them there.
//

#define ENGINE_FIELD_AT(Type, Field, Offset) \
  static_assert(offsetof(Type, Field) == (Offset), #Type "." #Field " moved")

#pragma pack(push, 1)

// Input of IOCTL_ENGINE_CREATE_IMAGE. Tail: image path (UTF-16), password
// (UTF-16), label (ANSI).
struct CreateImageRequest {
  uint32_t AlgorithmId;
  uint8_t ImageKind;
  uint16_t PasswordLength;
  uint64_t ImageSize;
  uint8_t Overwrite;
  uint32_t FileSystem;
  uint16_t LabelLength;
  uint16_t ImagePathLength;
};
static_assert(sizeof(CreateImageRequest) == 24);
ENGINE_FIELD_AT(CreateImageRequest, AlgorithmId, 0);
ENGINE_FIELD_AT(CreateImageRequest, ImageKind, 4);
ENGINE_FIELD_AT(CreateImageRequest, PasswordLength, 5);
ENGINE_FIELD_AT(CreateImageRequest, ImageSize, 7);
ENGINE_FIELD_AT(CreateImageRequest, Overwrite, 15);
ENGINE_FIELD_AT(CreateImageRequest, FileSystem, 16);
ENGINE_FIELD_AT(CreateImageRequest, LabelLength, 20);
ENGINE_FIELD_AT(CreateImageRequest, ImagePathLength, 22);

// Output of IOCTL_ENGINE_CREATE_IMAGE when formatting refused the size.
struct CreateImageReply {
  int32_t Status;
};
static_assert(sizeof(CreateImageReply) == 4);

// Input of IOCTL_ENGINE_MOUNT_IMAGE. Tail: image path (UTF-16), password
// (UTF-16), two zero bytes.
struct MountImageRequest {
  uint32_t MountFlags;
  uint16_t PasswordLength;
  uint16_t ImagePathLength;
};
static_assert(sizeof(MountImageRequest) == 8);
ENGINE_FIELD_AT(MountImageRequest, MountFlags, 0);
ENGINE_FIELD_AT(MountImageRequest, PasswordLength, 4);
ENGINE_FIELD_AT(MountImageRequest, ImagePathLength, 6);

// Input of IOCTL_ENGINE_CREATE_MEMORY_VOLUME. Tail: image path (UTF-16),
// password (UTF-16), label (ANSI), two zero bytes.
struct CreateMemoryVolumeRequest {
  uint32_t AlgorithmId;
  uint64_t VolumeSize;
  uint32_t MountFlags;
  uint32_t NumaNodeIndex;
  uint32_t FileSystem;
  uint32_t FormatFlags;
  uint16_t LabelLength;
  uint16_t PasswordLength;
  uint16_t ImagePathLength;
};
static_assert(sizeof(CreateMemoryVolumeRequest) == 34);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, AlgorithmId, 0);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, VolumeSize, 4);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, MountFlags, 12);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, NumaNodeIndex, 16);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, FileSystem, 20);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, FormatFlags, 24);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, LabelLength, 28);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, PasswordLength, 30);
ENGINE_FIELD_AT(CreateMemoryVolumeRequest, ImagePathLength, 32);

// Output of IOCTL_ENGINE_MOUNT_IMAGE and IOCTL_ENGINE_CREATE_MEMORY_VOLUME.
struct MountResult {
  int32_t Status;  // NTSTATUS
  uint64_t VolumeHandle;
  uint32_t ImageStatus;
};
static_assert(sizeof(MountResult) == 16);
ENGINE_FIELD_AT(MountResult, Status, 0);
ENGINE_FIELD_AT(MountResult, VolumeHandle, 4);
ENGINE_FIELD_AT(MountResult, ImageStatus, 12);

// Input of IOCTL_ENGINE_UNMOUNT.
struct UnmountRequest {
  uint64_t VolumeHandle;
  uint8_t Force;  // remove even when the volume cannot be locked
  uint8_t Wipe;   // clear the volume's memory on removal
};
static_assert(sizeof(UnmountRequest) == 10);
ENGINE_FIELD_AT(UnmountRequest, VolumeHandle, 0);
ENGINE_FIELD_AT(UnmountRequest, Force, 8);
ENGINE_FIELD_AT(UnmountRequest, Wipe, 9);

// Input of IOCTL_ENGINE_SAVE_IMAGE. Tail: target path (UTF-16; none = the
// volume's own image), two zero bytes.
struct SaveImageRequest {
  uint64_t VolumeHandle;
  uint32_t SaveFlags;
  uint16_t TargetPathLength;
};
static_assert(sizeof(SaveImageRequest) == 14);
ENGINE_FIELD_AT(SaveImageRequest, VolumeHandle, 0);
ENGINE_FIELD_AT(SaveImageRequest, SaveFlags, 8);
ENGINE_FIELD_AT(SaveImageRequest, TargetPathLength, 12);

// Input of IOCTL_ENGINE_GET_DEVICE_NAME, IOCTL_ENGINE_QUERY_VOLUME and
// IOCTL_ENGINE_GET_IMAGE_PATH.
struct VolumeHandleRequest {
  uint64_t VolumeHandle;
};
static_assert(sizeof(VolumeHandleRequest) == 8);

// Output of IOCTL_ENGINE_GET_DEVICE_NAME and IOCTL_ENGINE_GET_IMAGE_PATH.
// Tail: NameLength bytes of UTF-16 text.
struct CountedNameReply {
  uint16_t NameLength;
};
static_assert(sizeof(CountedNameReply) == 2);

// Input of IOCTL_ENGINE_REGISTER_NOTIFY from a 64-bit process. A routine of
// 0 withdraws the thread's registration.
struct NotifyRegistration {
  uint64_t ThreadHandle;
  uint64_t Routine;
};
static_assert(sizeof(NotifyRegistration) == 16);
ENGINE_FIELD_AT(NotifyRegistration, ThreadHandle, 0);
ENGINE_FIELD_AT(NotifyRegistration, Routine, 8);

// The same from a 32-bit process on a 64-bit system.
struct NotifyRegistration32 {
  uint32_t ThreadHandle;
  uint32_t Routine;
};
static_assert(sizeof(NotifyRegistration32) == 8);
ENGINE_FIELD_AT(NotifyRegistration32, ThreadHandle, 0);
ENGINE_FIELD_AT(NotifyRegistration32, Routine, 4);

// Output of IOCTL_ENGINE_QUERY_VOLUME.
struct VolumeInfoReply {
  uint32_t StateFlags;
  uint32_t Properties;
  uint64_t VolumeSize;
  uint16_t DriveLetter;
  uint32_t AlgorithmId;
  uint32_t KeyLength;
  uint32_t CipherBlockSize;
  uint32_t SessionId;
  uint64_t LogonSessionId;  // LUID, low part first
  uint8_t SessionLocal;
  uint32_t PagingUseCount;
  uint8_t AdditionalLetterCount;
  uint16_t AdditionalLetters[ENGINE_MAX_ADDITIONAL_LETTERS];
};
static_assert(sizeof(VolumeInfoReply) == 100);
ENGINE_FIELD_AT(VolumeInfoReply, StateFlags, 0);
ENGINE_FIELD_AT(VolumeInfoReply, Properties, 4);
ENGINE_FIELD_AT(VolumeInfoReply, VolumeSize, 8);
ENGINE_FIELD_AT(VolumeInfoReply, DriveLetter, 16);
ENGINE_FIELD_AT(VolumeInfoReply, AlgorithmId, 18);
ENGINE_FIELD_AT(VolumeInfoReply, KeyLength, 22);
ENGINE_FIELD_AT(VolumeInfoReply, CipherBlockSize, 26);
ENGINE_FIELD_AT(VolumeInfoReply, SessionId, 30);
ENGINE_FIELD_AT(VolumeInfoReply, LogonSessionId, 34);
ENGINE_FIELD_AT(VolumeInfoReply, SessionLocal, 42);
ENGINE_FIELD_AT(VolumeInfoReply, PagingUseCount, 43);
ENGINE_FIELD_AT(VolumeInfoReply, AdditionalLetterCount, 47);
ENGINE_FIELD_AT(VolumeInfoReply, AdditionalLetters, 48);

// Input of IOCTL_ENGINE_LINK.
struct LinkRequest {
  uint16_t DriveLetter;      // operation 1
  uint64_t LogonSessionId;   // operations 1 and 3
  uint8_t SessionLocal;      // operations 1 and 3
  uint32_t Operation;        // ENGINE_LINK_...
  uint64_t VolumeHandle;     // 0 for operation 3
  int32_t PartitionSelector; // ENGINE_ALL_PARTITIONS or a partition number
  uint8_t AdditionalLetterCount;
  uint16_t AdditionalLetters[ENGINE_MAX_ADDITIONAL_LETTERS];
};
static_assert(sizeof(LinkRequest) == 80);
ENGINE_FIELD_AT(LinkRequest, DriveLetter, 0);
ENGINE_FIELD_AT(LinkRequest, LogonSessionId, 2);
ENGINE_FIELD_AT(LinkRequest, SessionLocal, 10);
ENGINE_FIELD_AT(LinkRequest, Operation, 11);
ENGINE_FIELD_AT(LinkRequest, VolumeHandle, 15);
ENGINE_FIELD_AT(LinkRequest, PartitionSelector, 23);
ENGINE_FIELD_AT(LinkRequest, AdditionalLetterCount, 27);
ENGINE_FIELD_AT(LinkRequest, AdditionalLetters, 28);

// Input of IOCTL_ENGINE_SET_PROPERTIES: set is applied before clear.
struct PropertiesRequest {
  uint64_t VolumeHandle;
  uint32_t SetBits;
  uint32_t ClearBits;
};
static_assert(sizeof(PropertiesRequest) == 16);
ENGINE_FIELD_AT(PropertiesRequest, VolumeHandle, 0);
ENGINE_FIELD_AT(PropertiesRequest, SetBits, 8);
ENGINE_FIELD_AT(PropertiesRequest, ClearBits, 12);

// Input of IOCTL_ENGINE_SET_FLUSH_STATE.
struct FlushStateRequest {
  uint64_t VolumeHandle;
  uint32_t AutoflushPeriod;  // seconds, 0 = stop
  uint32_t AutoflushFlags;   // ENGINE_SAVE_...
};
static_assert(sizeof(FlushStateRequest) == 16);
ENGINE_FIELD_AT(FlushStateRequest, VolumeHandle, 0);
ENGINE_FIELD_AT(FlushStateRequest, AutoflushPeriod, 8);
ENGINE_FIELD_AT(FlushStateRequest, AutoflushFlags, 12);

// Input of IOCTL_ENGINE_FORMAT_VOLUME. Tail: label (ANSI).
struct FormatRequest {
  uint32_t FormatFlags;
  uint64_t VolumeHandle;
  uint32_t FileSystem;
  uint16_t LabelLength;
  int32_t PartitionSelector;
};
static_assert(sizeof(FormatRequest) == 22);
ENGINE_FIELD_AT(FormatRequest, FormatFlags, 0);
ENGINE_FIELD_AT(FormatRequest, VolumeHandle, 4);
ENGINE_FIELD_AT(FormatRequest, FileSystem, 12);
ENGINE_FIELD_AT(FormatRequest, LabelLength, 16);
ENGINE_FIELD_AT(FormatRequest, PartitionSelector, 18);

// An automatic volume: input of IOCTL_ENGINE_ADD_AUTO_VOLUME, repeated in the
// output of IOCTL_ENGINE_GET_AUTO_VOLUMES. Field names are the registry value
// names. Tail: VolumeLabel (ANSI), ImageFilePath (UTF-16), InitialFolders.
struct VV_AUTO_VOLUME_DATA {
  uint16_t DriveLetter;
  uint32_t MountFlags;
  uint32_t NumaNodeIndex;
  uint32_t Properties;
  uint64_t VolumeSize;
  uint32_t FileSystem;
  uint16_t VolumeLabelLength;
  uint16_t ImageFilePathLength;
  uint32_t InitialFoldersLength;
  uint32_t AutoflushFlags;
  uint32_t AutoflushPeriod;
  uint8_t AdditionalLetterCount;
  uint16_t AdditionalLetters[ENGINE_MAX_ADDITIONAL_LETTERS];
};
static_assert(sizeof(VV_AUTO_VOLUME_DATA) == 95);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, DriveLetter, 0);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, MountFlags, 2);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, NumaNodeIndex, 6);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, Properties, 10);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, VolumeSize, 14);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, FileSystem, 22);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, VolumeLabelLength, 26);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, ImageFilePathLength, 28);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, InitialFoldersLength, 30);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, AutoflushFlags, 34);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, AutoflushPeriod, 38);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, AdditionalLetterCount, 42);
ENGINE_FIELD_AT(VV_AUTO_VOLUME_DATA, AdditionalLetters, 43);

// Output of IOCTL_ENGINE_GET_AUTO_VOLUMES: Count VV_AUTO_VOLUME_DATA records
// follow back to back.
struct AutoVolumeListReply {
  uint32_t Count;
};
static_assert(sizeof(AutoVolumeListReply) == 4);

// Input of IOCTL_ENGINE_DELETE_AUTO_VOLUME.
struct DeleteAutoVolumeRequest {
  uint16_t DriveLetter;
};
static_assert(sizeof(DeleteAutoVolumeRequest) == 2);

#pragma pack(pop)

#undef ENGINE_FIELD_AT

//
// Exact request lengths and reply sizes.
//

inline constexpr uint32_t ENGINE_CREATE_IMAGE_REPLY_LENGTH = sizeof(CreateImageReply);
inline constexpr uint32_t ENGINE_MOUNT_RESULT_LENGTH = sizeof(MountResult);
inline constexpr uint32_t ENGINE_UNMOUNT_LENGTH = sizeof(UnmountRequest);
inline constexpr uint32_t ENGINE_VOLUME_HANDLE_LENGTH = sizeof(VolumeHandleRequest);
inline constexpr uint32_t ENGINE_NOTIFY_LENGTH = sizeof(NotifyRegistration);
inline constexpr uint32_t ENGINE_NOTIFY32_LENGTH = sizeof(NotifyRegistration32);
inline constexpr uint32_t ENGINE_VOLUME_INFO_LENGTH = sizeof(VolumeInfoReply);
inline constexpr uint32_t ENGINE_LINK_LENGTH = sizeof(LinkRequest);
inline constexpr uint32_t ENGINE_PROPERTIES_LENGTH = sizeof(PropertiesRequest);
inline constexpr uint32_t ENGINE_FLUSH_STATE_LENGTH = sizeof(FlushStateRequest);
inline constexpr uint32_t ENGINE_DELETE_AUTO_VOLUME_LENGTH = sizeof(DeleteAutoVolumeRequest);

// Bytes after the strings of MountImageRequest, CreateMemoryVolumeRequest and
// SaveImageRequest.
inline constexpr uint32_t ENGINE_TRAILER_LENGTH = 2;

//
// Full sizes of the variable records, from the lengths in their heads. The
// lengths are at most 32 bits wide, so the 64-bit sums cannot overflow.
//

constexpr uint64_t CreateImageRequestSize(uint32_t ImagePathLength, uint32_t PasswordLength, uint32_t LabelLength) {
  return sizeof(CreateImageRequest) + uint64_t{ImagePathLength} + PasswordLength + LabelLength;
}
constexpr uint64_t MountImageRequestSize(uint32_t ImagePathLength, uint32_t PasswordLength) {
  return sizeof(MountImageRequest) + uint64_t{ImagePathLength} + PasswordLength + ENGINE_TRAILER_LENGTH;
}
constexpr uint64_t CreateMemoryVolumeRequestSize(uint32_t ImagePathLength, uint32_t PasswordLength,
                                                 uint32_t LabelLength) {
  return sizeof(CreateMemoryVolumeRequest) + uint64_t{ImagePathLength} + PasswordLength + LabelLength +
         ENGINE_TRAILER_LENGTH;
}
constexpr uint64_t SaveImageRequestSize(uint32_t TargetPathLength) {
  return sizeof(SaveImageRequest) + uint64_t{TargetPathLength} + ENGINE_TRAILER_LENGTH;
}
constexpr uint64_t CountedNameReplySize(uint32_t NameLength) {
  return sizeof(CountedNameReply) + uint64_t{NameLength};
}
constexpr uint64_t FormatRequestSize(uint32_t LabelLength) { return sizeof(FormatRequest) + uint64_t{LabelLength}; }
constexpr uint64_t AutoVolumeDataSize(uint32_t VolumeLabelLength, uint32_t ImageFilePathLength,
                                      uint32_t InitialFoldersLength) {
  return sizeof(VV_AUTO_VOLUME_DATA) + uint64_t{VolumeLabelLength} + ImageFilePathLength + InitialFoldersLength;
}
// One entry of an InitialFolders block.
constexpr uint64_t InitialFolderEntrySize(uint32_t TextLength) { return sizeof(uint16_t) + uint64_t{TextLength}; }

// ListVolumesReply: the u64 handles of the live volumes, back to back.
inline constexpr uint32_t ENGINE_LIST_VOLUMES_ENTRY_LENGTH = sizeof(uint64_t);
constexpr uint64_t ListVolumesReplySize(uint32_t Count) {
  return uint64_t{Count} * ENGINE_LIST_VOLUMES_ENTRY_LENGTH;
}

//
// Parsing of the variable requests, and packing of the counted-name reply.
//

// A run of bytes: a string of a record (UTF-16 or ANSI, no terminator), or a
// whole InitialFolders block. Parsed strings point into the record and may
// be unaligned: copy them out, do not read them as char16_t in place.
struct EngineBytes {
  const void *Data;
  uint32_t Length;
};

enum EngineParseResult : uint32_t {
  ENGINE_PARSE_OK = 0,
  ENGINE_PARSE_END = 1,         // an iterator has nothing more
  ENGINE_PARSE_BAD_LENGTH = 2,  // the lengths do not add up to the buffer
  ENGINE_PARSE_BAD_VALUE = 3,   // a count beyond what the record can hold
};

// A record with its strings: Parse fills Head with every field (lengths
// included) and points the strings into the buffer.

struct CreateImageRequestParts {
  CreateImageRequest Head;
  EngineBytes ImagePath;
  EngineBytes Password;
  EngineBytes Label;
};
struct MountImageRequestParts {
  MountImageRequest Head;
  EngineBytes ImagePath;
  EngineBytes Password;
};
struct CreateMemoryVolumeRequestParts {
  CreateMemoryVolumeRequest Head;
  EngineBytes ImagePath;
  EngineBytes Password;
  EngineBytes Label;
};
struct SaveImageRequestParts {
  SaveImageRequest Head;
  EngineBytes TargetPath;
};
struct FormatRequestParts {
  FormatRequest Head;
  EngineBytes Label;
};
struct AutoVolumeDataParts {
  VV_AUTO_VOLUME_DATA Head;
  EngineBytes VolumeLabel;
  EngineBytes ImageFilePath;
  EngineBytes InitialFolders;
};

// Parsers take a whole request of Length bytes: ENGINE_PARSE_OK when the
// head's lengths add up to exactly Length, ENGINE_PARSE_BAD_LENGTH otherwise
// (also for a missing buffer), ENGINE_PARSE_BAD_VALUE for an
// additional-letter count above 26. The trailing zero bytes are not checked.
// Nothing beyond Length is read.
EngineParseResult CreateImageRequestParse(const void *Buffer, uint64_t Length, CreateImageRequestParts *Parts);
EngineParseResult MountImageRequestParse(const void *Buffer, uint64_t Length, MountImageRequestParts *Parts);
EngineParseResult CreateMemoryVolumeRequestParse(const void *Buffer, uint64_t Length,
                                                 CreateMemoryVolumeRequestParts *Parts);
EngineParseResult SaveImageRequestParse(const void *Buffer, uint64_t Length, SaveImageRequestParts *Parts);
EngineParseResult FormatRequestParse(const void *Buffer, uint64_t Length, FormatRequestParts *Parts);
EngineParseResult AutoVolumeDataParse(const void *Buffer, uint64_t Length, AutoVolumeDataParts *Parts);

// Writes a CountedNameReply with Name into Buffer and returns its length; 0
// (nothing written) when the buffer is missing or too small, or the name is
// longer than its 16-bit length can say or has a length but no data.
uint32_t CountedNameReplyPack(void *Buffer, uint32_t BufferLength, EngineBytes Name);

//
// ListVolumesReply.
//

// Writes the handle of slot Index.
inline void ListVolumesReplySetHandle(void *Buffer, uint32_t Index, uint64_t Handle) {
  EngineStoreLE(static_cast<uint8_t *>(Buffer) + uint64_t{Index} * 8, Handle);
}

//
// The client's side (engine_protocol_pack.cpp): packers of the requests and
// readers of the replies.
//

// Packers write the complete record (head, strings, trailing zeros) into
// Buffer and return its length. They take the head's other fields and the
// strings, and write the lengths from the strings. They return 0 and write
// nothing when the buffer is too small, a string is longer than its length
// field can say, a string of non-zero length has no data, or a letter count
// exceeds 26.
uint32_t CreateImageRequestPack(void *Buffer, uint32_t BufferLength, const CreateImageRequestParts *Parts);
uint32_t MountImageRequestPack(void *Buffer, uint32_t BufferLength, const MountImageRequestParts *Parts);
uint32_t CreateMemoryVolumeRequestPack(void *Buffer, uint32_t BufferLength,
                                       const CreateMemoryVolumeRequestParts *Parts);
uint32_t SaveImageRequestPack(void *Buffer, uint32_t BufferLength, const SaveImageRequestParts *Parts);
uint32_t FormatRequestPack(void *Buffer, uint32_t BufferLength, const FormatRequestParts *Parts);
uint32_t AutoVolumeDataPack(void *Buffer, uint32_t BufferLength, const AutoVolumeDataParts *Parts);

// A whole CountedNameReply of Length bytes: ENGINE_PARSE_OK with the name
// pointing into the buffer, ENGINE_PARSE_BAD_LENGTH when its length does not
// add up to Length.
EngineParseResult CountedNameReplyParse(const void *Buffer, uint64_t Length, EngineBytes *Name);

//
// InitialFolders block: entries of a u16 byte length and that many bytes of
// UTF-16 text.
//

// Writes one entry; returns its length, or 0 (nothing written) when it does
// not fit or the text is too long or missing.
uint32_t InitialFolderPack(void *Buffer, uint32_t BufferLength, EngineBytes Folder);

struct InitialFolderIterator {
  const uint8_t *Block;
  uint32_t Length;
  uint32_t Offset;
  bool Failed;
};
void InitialFoldersBegin(InitialFolderIterator *Iterator, EngineBytes Block);
// ENGINE_PARSE_OK with the next folder's text, ENGINE_PARSE_END after the
// last one, ENGINE_PARSE_BAD_LENGTH (from then on) when an entry runs past
// the end of the block.
EngineParseResult InitialFoldersNext(InitialFolderIterator *Iterator, EngineBytes *Folder);
// Walks a whole block: ENGINE_PARSE_OK with the number of entries in *Count
// (may be null), or ENGINE_PARSE_BAD_LENGTH.
EngineParseResult InitialFoldersCheck(EngineBytes Block, uint32_t *Count);
