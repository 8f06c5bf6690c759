/* Ramctl: the control library of the RAM-disk engine. A C or C++ program
 * includes this header and links the library (libRamctl.so here,
 * Ramctl.dll on Windows). Results that succeed or fail are one byte,
 * nonzero for success; the reason of a failure is the calling thread's last
 * error (RamctlGetErrorCode or GetLastError). Memory the library hands out
 * is released with RamctlFree. The records (MountResult,
 * VV_AUTO_VOLUME_DATA) and the request codes come from the engine's
 * protocol header. */
#pragma once

#include <windows.h>

#include "engine/protocol/engine_protocol.h"

#if defined(__cplusplus)
#define RAMCTL_EXTERN extern "C"
#else
#define RAMCTL_EXTERN extern
#endif
#if defined(RAMCTL_BUILDING)
#define RAMCTL_API RAMCTL_EXTERN __attribute__((visibility("default")))
#else
#define RAMCTL_API RAMCTL_EXTERN
#endif

typedef unsigned char RAMCTL_BOOL;

/* What RamctlQueryVolumeInformation answers: the engine's volume record
 * behind the volume's handle, its fields reordered (108 bytes, packed). */
#pragma pack(push, 1)
typedef struct _VolumeInformation {
  uint64_t VolumeHandle;
  uint32_t StateFlags;  /* 0x400 a letter link, 0x800 memory volume, 0x4000 emulated disk */
  uint32_t Properties;  /* bit 0: save the image at shutdown */
  uint32_t AlgorithmId;
  uint32_t KeyLength;
  uint32_t CipherBlockSize;
  uint64_t VolumeSize;
  uint16_t DriveLetter;
  uint32_t SessionId;
  uint64_t LogonSessionId;
  uint8_t SessionLocal;
  uint32_t PagingUseCount;
  uint8_t AdditionalLetterCount;
  uint16_t AdditionalLetters[26];
} VolumeInformation;
#pragma pack(pop)
static_assert(sizeof(VolumeInformation) == 108, "VolumeInformation is 108 bytes");
static_assert(offsetof(VolumeInformation, DriveLetter) == 36, "VolumeInformation.DriveLetter moved");
static_assert(offsetof(VolumeInformation, PagingUseCount) == 51, "VolumeInformation.PagingUseCount moved");
static_assert(offsetof(VolumeInformation, AdditionalLetters) == 56, "VolumeInformation.AdditionalLetters moved");

/* The application's routine for the engine's notifications: the volume's
 * handle and the event (1 eject requested ... 7 autoflush finished). It
 * runs on the library's own thread, outside the library's lock. */
typedef void(WINAPI *RamctlNotifyRoutine)(uint64_t VolumeHandle, uint32_t Event);

/* Set-up, memory and errors. */
RAMCTL_API RAMCTL_BOOL WINAPI RamctlInitialize(RamctlNotifyRoutine Routine);
RAMCTL_API void *WINAPI RamctlAllocate(uint32_t Bytes);
RAMCTL_API void WINAPI RamctlFree(void *Pointer); /* a pointer to the pointer to free */
RAMCTL_API uint32_t WINAPI RamctlGetErrorCode(void);

/* Volume creation and removal. */
RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateImage(LPCWSTR Path, uint8_t Overwrite, uint8_t ImageKind, uint64_t Size,
                                                LPCWSTR Password, uint32_t AlgorithmId, uint32_t FileSystem,
                                                LPCSTR Label);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlMountImage(LPCWSTR Path, LPCWSTR Password, uint32_t MountFlags,
                                               MountResult *Result);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlMountRawImage(LPCWSTR Path, uint32_t MountFlags, MountResult *Result);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateMemoryVolume(uint32_t AlgorithmId, uint64_t Size, LPCWSTR ImagePath,
                                                       LPCWSTR Password, uint32_t MountFlags, MountResult *Result);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateMemoryVolumeEx(uint32_t AlgorithmId, uint64_t Size, LPCWSTR ImagePath,
                                                         LPCWSTR Password, uint32_t MountFlags,
                                                         uint32_t NumaNodeIndex, uint32_t FileSystem,
                                                         uint32_t FormatFlags, LPCSTR Label,
                                                         MountResult *Result);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlUnmount(uint64_t Handle, uint8_t Force);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlUnmountEx(uint64_t Handle, uint8_t Force, uint8_t Wipe);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlUnmountAll(uint8_t Force, uint8_t Wipe, uint64_t *FailedHandle);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlSaveImage(uint64_t Handle, uint32_t SaveFlags);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlSaveImageEx(uint64_t Handle, uint32_t SaveFlags, LPCWSTR TargetPath);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlFormatVolume(uint64_t Handle, int32_t Partition, uint32_t FormatFlags,
                                                 uint32_t FileSystem, LPCSTR Label);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlSetProperties(uint64_t Handle, uint32_t SetBits, uint32_t ClearBits);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlSetFlushState(uint64_t Handle, uint32_t PeriodSeconds, uint32_t AutoflushFlags);

/* Drive letters and links. Link flag bit 0: do not check whether the
 * letters are in use. */
RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateLink(uint64_t Handle, uint32_t LinkFlags, WCHAR Letter,
                                               uint8_t SessionLocal);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateLinkEx(uint64_t Handle, uint32_t LinkFlags, int32_t Partition,
                                                 WCHAR Letter, const WCHAR *AdditionalLetters, uint8_t Count,
                                                 uint8_t SessionLocal, uint8_t NoBroadcast);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlDeleteLink(uint64_t Handle, int32_t Partition);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlInvalidateBySession(void);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlIsLetterUsed(WCHAR Letter);
RAMCTL_API WCHAR WINAPI RamctlLetterToUpper(WCHAR Letter);

/* Queries. */
RAMCTL_API RAMCTL_BOOL WINAPI RamctlQueryVolumeInformation(uint64_t Handle, VolumeInformation *Information);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlQueryVolumeLetter(uint64_t Handle, WCHAR *Letter);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetVolumes(uint32_t *Count, uint64_t **Handles);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlFindVolumeByLetter(WCHAR Letter, uint64_t *Handle);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlIsMemoryVolume(WCHAR Letter);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetDeviceName(uint64_t Handle, LPWSTR *Name);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetImageFilePath(uint64_t Handle, LPWSTR *Path);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetAlgorithmIdByName(LPCWSTR Name, uint32_t *AlgorithmId);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlIsFileExists(LPCWSTR Path);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetMemoryInformation(uint64_t *AvailablePhysical, uint64_t *TotalPhysical);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlReboot(uint8_t Force);

/* Installation of the engine's service and the bus's device (administrators
   only; no RamctlInitialize needed). */
RAMCTL_API RAMCTL_BOOL WINAPI RamctlInstallEngine(LPCWSTR DisplayName, uint8_t StartAtBoot,
                                                    LPCWSTR EngineDriverPath, LPCWSTR BusInfPath,
                                                    uint8_t StartNow, uint8_t *RebootNeeded);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlUninstallEngine(LPCWSTR EngineDriverPath, LPCWSTR BusInfPath);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlStartEngine(VOID);

/* Automatic volumes, kept by the engine and made at every system start. */
RAMCTL_API RAMCTL_BOOL WINAPI RamctlAddAutoVolume(WCHAR Letter, uint32_t MountFlags, uint32_t Properties,
                                                  uint64_t VolumeSize, uint32_t FileSystem, LPCSTR VolumeLabel,
                                                  LPCWSTR ImageFilePath);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlAddAutoVolumeEx(WCHAR Letter, const WCHAR *AdditionalLetters, uint8_t Count,
                                                    uint32_t MountFlags, uint32_t NumaNodeIndex,
                                                    uint32_t Properties, uint64_t VolumeSize, uint32_t FileSystem,
                                                    LPCSTR VolumeLabel, LPCWSTR ImageFilePath,
                                                    const LPCWSTR *Folders, uint32_t FolderCount,
                                                    uint32_t AutoflushFlags, uint32_t AutoflushPeriod);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlDeleteAutoVolume(WCHAR Letter);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlDeleteAllAutoVolumes(void);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetAutoVolumes(VV_AUTO_VOLUME_DATA **First, uint32_t *Count);
RAMCTL_API VV_AUTO_VOLUME_DATA *WINAPI RamctlGetNextAutoVolume(const VV_AUTO_VOLUME_DATA *Record);
RAMCTL_API uint32_t WINAPI RamctlGetAutoVolumeSize(const VV_AUTO_VOLUME_DATA *Record);
RAMCTL_API LPSTR WINAPI RamctlGetAutoVolumeLabel(const VV_AUTO_VOLUME_DATA *Record);
RAMCTL_API LPWSTR WINAPI RamctlGetAutoVolumeImagePath(const VV_AUTO_VOLUME_DATA *Record);
RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetInitialFolders(const VV_AUTO_VOLUME_DATA *Record, LPWSTR **Folders,
                                                      uint32_t *Count);
