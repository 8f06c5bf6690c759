// The on-disk side of the FAT file system, apart from any IRP: the boot
// sector, the allocation table, directories with long and short names, and
// file data by cluster chains. It reaches the volume through FatBlockDevice
// only, so that it runs as well on a memory buffer as on a volume device.
//
// Every change is written through before the call returns (directory
// entries at once, the table's changed sectors and FSInfo by FatFlushTable),
// so that the volume is consistent after each request.
#pragma once

#include <ntifs.h>

constexpr ULONG kFatTag = 0x20746146;  // "Fat "

// Sector-aligned transfers of whole sectors at a byte offset of the volume.
struct FatBlockDevice {
  PVOID Context;
  NTSTATUS (*Read)(PVOID Context, ULONG64 Offset, PVOID Buffer, ULONG Length);
  NTSTATUS (*Write)(PVOID Context, ULONG64 Offset, const VOID *Buffer, ULONG Length);
};

#pragma pack(push, 1)
struct FatDirent {
  UCHAR Name[11];
  UCHAR Attributes;
  UCHAR CaseFlags;  // 0x08 base in lower case, 0x10 extension in lower case
  UCHAR CreationTenths;
  USHORT CreationTime;
  USHORT CreationDate;
  USHORT AccessDate;
  USHORT FirstClusterHigh;
  USHORT WriteTime;
  USHORT WriteDate;
  USHORT FirstClusterLow;
  ULONG FileSize;
};
#pragma pack(pop)
static_assert(sizeof(FatDirent) == 32, "directory entry layout");

constexpr UCHAR kFatAttrReadOnly = 0x01;
constexpr UCHAR kFatAttrHidden = 0x02;
constexpr UCHAR kFatAttrSystem = 0x04;
constexpr UCHAR kFatAttrVolumeId = 0x08;
constexpr UCHAR kFatAttrDirectory = 0x10;
constexpr UCHAR kFatAttrArchive = 0x20;
constexpr UCHAR kFatAttrLongName = 0x0F;
constexpr ULONG kFatMaxName = 255;
constexpr ULONG64 kFatMaxFileSize = 0xFFFFFFFFull;

struct FatDirIndex;  // fat_dir_index.h

struct FatVolumeCore {
  FatBlockDevice Device;
  ULONG BytesPerSector;
  ULONG SectorsPerCluster;
  ULONG ClusterSize;
  ULONG ReservedSectors;
  ULONG FatCount;
  ULONG RootEntries;       // FAT12/16 fixed root
  ULONG FatSectors;        // per copy
  ULONG TotalSectors;
  ULONG FirstRootSector;   // FAT12/16
  ULONG RootSectors;       // FAT12/16
  ULONG FirstDataSector;
  ULONG ClusterCount;      // data clusters, numbered 2..ClusterCount+1
  ULONG FatBits;           // 12, 16 or 32
  ULONG RootCluster;       // FAT32; 0 names the fixed root of FAT12/16
  ULONG FsInfoSector;      // FAT32, 0 without one
  ULONG ActiveFat;         // FAT32 with mirroring off: the one copy in use
  BOOLEAN Mirrored;
  ULONG Serial;
  UCHAR BootLabel[11];
  UCHAR Media;
  PUCHAR Fat;              // the whole active table, in memory
  PUCHAR DirtySectors;     // one byte per table sector
  BOOLEAN FsInfoDirty;
  ULONG FreeClusters;
  ULONG NextFree;
  FatDirIndex *DirIndexes;  // name indexes of recently used directories
  // Where the last transfer of a chain ended (its first cluster, a cluster
  // index in it and that cluster), so that the next one in the same file
  // need not walk from the start; 0: none. Forgotten by any change of the
  // table that is not an allocation or an append.
  ULONG WalkFirst;
  ULONG WalkIndex;
  ULONG WalkCluster;
};

// A directory entry as found: where its slots lie and what it says.
struct FatEntry {
  ULONG Offset;      // byte offset of the short entry in its directory
  ULONG FirstSlot;   // offset of the first long-name slot (== Offset without one)
  FatDirent Dirent;
  USHORT NameLength;          // characters of Name
  WCHAR Name[kFatMaxName + 1];  // the long name, or the short one shown
  USHORT ShortLength;
  WCHAR Short[13];            // "NAME.EXT"
};

// Boot sector. Recognition checks the jump, the sector and cluster sizes,
// the table count, the media byte and 55 AA; anything else is
// STATUS_UNRECOGNIZED_VOLUME.
NTSTATUS FatParseBootSector(const UCHAR *Sector, ULONG Length, FatVolumeCore *Core);
// Parses the boot sector through the device and loads the table.
NTSTATUS FatMount(FatVolumeCore *Core, const FatBlockDevice *Device);
VOID FatRelease(FatVolumeCore *Core);
NTSTATUS FatSetBootLabel(FatVolumeCore *Core, const UCHAR Label[11]);

// The table.
ULONG FatGet(const FatVolumeCore *Core, ULONG Cluster);
VOID FatSetEntry(FatVolumeCore *Core, ULONG Cluster, ULONG Value);
ULONG FatEndOfChain(const FatVolumeCore *Core);
BOOLEAN FatIsEndOfChain(const FatVolumeCore *Core, ULONG Value);
NTSTATUS FatFlushTable(FatVolumeCore *Core);
// Appends Count clusters to the chain ending at Last (0: a new chain) and
// gives the first new one. Nothing changes when they are not all free.
NTSTATUS FatAllocate(FatVolumeCore *Core, ULONG Last, ULONG Count, ULONG *First);
VOID FatFreeChain(FatVolumeCore *Core, ULONG First);
// Clusters of a chain, 0 for none; STATUS_FILE_CORRUPT_ERROR for a broken one.
NTSTATUS FatChainLength(const FatVolumeCore *Core, ULONG First, ULONG *Length);
ULONG64 FatClusterOffset(const FatVolumeCore *Core, ULONG Cluster);

// File data of a chain with the given size.
NTSTATUS FatReadData(FatVolumeCore *Core, ULONG First, ULONG64 Offset, PVOID Buffer, ULONG Length);
NTSTATUS FatWriteData(FatVolumeCore *Core, ULONG First, ULONG64 Offset, const VOID *Buffer, ULONG Length);
// Gives a chain room for Size bytes, zeroing what grows past OldSize, or
// frees what lies past it. *First may change (to or from 0). A caller about
// to write from WrittenFrom on leaves that part to its own write.
NTSTATUS FatResize(FatVolumeCore *Core, ULONG *First, ULONG OldSize, ULONG64 Size,
                   ULONG64 WrittenFrom = ~0ull);

// Directories: Dir is the directory's first cluster, 0 for the fixed root.
ULONG FatDirentCluster(const FatDirent *Dirent);
VOID FatSetDirentCluster(FatDirent *Dirent, ULONG Cluster);
// The next live entry at or after *Offset; *Offset moves past it.
// STATUS_NO_MORE_FILES at the end.
NTSTATUS FatNextEntry(FatVolumeCore *Core, ULONG Dir, ULONG *Offset, FatEntry *Entry);
// Finds a name (long or short, case-insensitive).
NTSTATUS FatFindEntry(FatVolumeCore *Core, ULONG Dir, const WCHAR *Name, USHORT Length, FatEntry *Entry);
// Adds an entry named Name (slots for a long name and a unique short name
// as needed) with the given short entry's other fields.
NTSTATUS FatAddEntry(FatVolumeCore *Core, ULONG Dir, const WCHAR *Name, USHORT Length, const FatDirent *Fields,
                     FatEntry *Entry);
NTSTATUS FatRemoveEntry(FatVolumeCore *Core, ULONG Dir, const FatEntry *Entry);
NTSTATUS FatWriteDirent(FatVolumeCore *Core, ULONG Dir, ULONG Offset, const FatDirent *Dirent);
// Whether a directory holds anything but "." and "..".
NTSTATUS FatDirectoryIsEmpty(FatVolumeCore *Core, ULONG Dir, BOOLEAN *Empty);
// A fresh directory cluster with "." and "..".
NTSTATUS FatMakeDirectory(FatVolumeCore *Core, ULONG Parent, const FatDirent *Fields, ULONG *First);
// The root's label entry (11 bytes, blank-padded); an empty label has none.
NTSTATUS FatReadLabel(FatVolumeCore *Core, UCHAR Label[11], BOOLEAN *Found);
NTSTATUS FatWriteLabel(FatVolumeCore *Core, const UCHAR Label[11]);

// Names.
BOOLEAN FatIsValidName(const WCHAR *Name, USHORT Length);
BOOLEAN FatNamesEqual(const WCHAR *A, USHORT ALength, const WCHAR *B, USHORT BLength);
// Wildcard match, case-insensitive: * ? and < > " as the system's.
BOOLEAN FatNameMatches(const WCHAR *Pattern, USHORT PatternLength, const WCHAR *Name, USHORT Length);
UCHAR FatShortChecksum(const UCHAR Name[11]);
// A short name's byte as a character (lower case when Lower asks and the
// code page has one), and a character's byte, 0 when the page has none.
WCHAR FatOemToUnicode(UCHAR Byte, BOOLEAN Lower);
UCHAR FatUnicodeToOem(WCHAR Char);

// Times: FAT keeps local time with two-second steps.
VOID FatTimeFromSystem(LARGE_INTEGER Time, USHORT *Date, USHORT *Clock, UCHAR *Tenths);
LARGE_INTEGER FatTimeToSystem(USHORT Date, USHORT Clock, UCHAR Tenths);
VOID FatStampNow(FatDirent *Dirent, BOOLEAN Create);
