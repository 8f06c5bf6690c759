// The NTFS driver's one door into libntfs-3g. The library is host C code:
// only the ntfs_lib_*.cpp files include its headers, and the driver's
// request side sees nothing but this interface, in plain integer types, so
// that neither side's headers meet the other's.
//
// Files and folders are named by their MFT record number (the inode); a
// call opens what it needs and closes it again before it returns, so that
// everything it changed is on the volume when it returns. A volume is not
// thread-safe: its caller holds one lock across every call on it. Errors
// are errno values (0 for success); NtfsLibStatus turns them into statuses.
#pragma once

#include <stdint.h>

struct NtfsLibVolume;

// The volume device, reached through the driver: whole sectors at sector
// offsets. Each call returns 0 or an errno value.
struct NtfsLibDevice {
  void *Context;
  int (*Read)(void *Context, uint64_t Offset, void *Buffer, uint32_t Length);
  int (*Write)(void *Context, uint64_t Offset, const void *Buffer, uint32_t Length);
  int (*Flush)(void *Context);
  uint64_t Length;      // bytes
  uint32_t SectorSize;  // bytes
};

constexpr uint64_t kNtfsRootInode = 5;
constexpr uint32_t kNtfsMaxName = 255;

// Windows' attribute bits, as NTFS keeps them.
constexpr uint32_t kNtfsAttrReadOnly = 0x1;
constexpr uint32_t kNtfsAttrHidden = 0x2;
constexpr uint32_t kNtfsAttrSystem = 0x4;
constexpr uint32_t kNtfsAttrDirectory = 0x10;
constexpr uint32_t kNtfsAttrArchive = 0x20;
constexpr uint32_t kNtfsAttrNormal = 0x80;
constexpr uint32_t kNtfsAttrCompressed = 0x800;

struct NtfsLibInfo {
  uint64_t Inode;
  uint32_t Attributes;  // kNtfsAttr*, NORMAL when none
  uint32_t Links;
  bool Directory;
  int64_t Creation, Access, Write, Change;  // 100 ns since 1601
  uint64_t Size;
  uint64_t Allocation;
};

struct NtfsLibVolumeInfo {
  uint32_t ClusterSize;
  uint32_t SectorSize;
  uint64_t TotalClusters;
  uint64_t FreeClusters;
  uint16_t LabelLength;  // characters
  char16_t Label[128];
};

// One entry of a folder as a listing sees it; Position resumes a listing
// at that entry.
struct NtfsLibEntry {
  int64_t Position;
  uint64_t Inode;
  uint16_t NameLength;
  char16_t Name[kNtfsMaxName];
};

// Mounting and the volume.
int NtfsLibMount(const NtfsLibDevice *Device, NtfsLibVolume **Volume);
// Writes what is left and lets the volume go; the device is not touched after.
void NtfsLibUnmount(NtfsLibVolume *Volume);
int NtfsLibQueryVolume(NtfsLibVolume *Volume, NtfsLibVolumeInfo *Info);
int NtfsLibSetLabel(NtfsLibVolume *Volume, const char16_t *Label, uint16_t Length);
int NtfsLibFlush(NtfsLibVolume *Volume);

// Names: Windows' rules (no control characters nor \ / : * ? " < > |, at
// most 255 units), and their comparison without regard to case, by the
// volume's own upper-case table.
bool NtfsLibNameIsValid(const char16_t *Name, uint16_t Length);
bool NtfsLibNamesEqual(NtfsLibVolume *Volume, const char16_t *A, uint16_t ALength, const char16_t *B,
                       uint16_t BLength);

// Files and folders.
int NtfsLibStat(NtfsLibVolume *Volume, uint64_t Inode, NtfsLibInfo *Info);
// Finds Name in the folder without regard to case; the entry's own name
// (as it is kept) comes back in Found (kNtfsMaxName units of room).
int NtfsLibLookup(NtfsLibVolume *Volume, uint64_t Dir, const char16_t *Name, uint16_t Length, NtfsLibInfo *Info,
                  char16_t *Found, uint16_t *FoundLength);
int NtfsLibCreate(NtfsLibVolume *Volume, uint64_t Dir, const char16_t *Name, uint16_t Length, bool Directory,
                  uint32_t Attributes, NtfsLibInfo *Info);
// Removes the name from the folder: the file or (empty) folder with it.
int NtfsLibDelete(NtfsLibVolume *Volume, uint64_t Dir, uint64_t Inode, const char16_t *Name, uint16_t Length);
// Moves a name, within a folder or to another one; the target name must be free.
int NtfsLibRename(NtfsLibVolume *Volume, uint64_t Inode, uint64_t FromDir, const char16_t *FromName,
                  uint16_t FromLength, uint64_t ToDir, const char16_t *ToName, uint16_t ToLength);
int NtfsLibDirectoryIsEmpty(NtfsLibVolume *Volume, uint64_t Dir, bool *Empty);

// File data. A read past the end gives fewer bytes (0 at the end); a write
// that finds no room leaves the file as it was (ENOSPC).
int NtfsLibRead(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Offset, void *Buffer, uint32_t Length,
                uint32_t *Done);
int NtfsLibWrite(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Offset, const void *Buffer, uint32_t Length);
int NtfsLibSetSize(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Size);
// Times of 0 stay; Attributes 0 stays, else replaces the settable bits.
int NtfsLibSetBasic(NtfsLibVolume *Volume, uint64_t Inode, int64_t Creation, int64_t Access, int64_t Write,
                    int64_t Change, uint32_t Attributes);

// Up to Room entries of a folder from *Position on ("." and ".." first,
// the volume's own metadata files left out); *Position moves past them,
// to -1 after the last. *Count 0 means the end.
int NtfsLibReadDirectory(NtfsLibVolume *Volume, uint64_t Dir, int64_t *Position, NtfsLibEntry *Entries,
                         uint32_t Room, uint32_t *Count);

// The whole self-relative security descriptor; *Length is what it needs
// (ERANGE when Room is short).
int NtfsLibGetSecurity(NtfsLibVolume *Volume, uint64_t Inode, void *Buffer, uint32_t Room, uint32_t *Length);
int NtfsLibSetSecurity(NtfsLibVolume *Volume, uint64_t Inode, const void *Descriptor, uint32_t Length);
// Compression of a folder (what is made in it afterwards is compressed) or
// of a file that holds no data yet.
int NtfsLibSetCompression(NtfsLibVolume *Volume, uint64_t Inode, bool Compressed);
