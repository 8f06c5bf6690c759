// The boot sector of FAT12/16 and FAT32 as one packed record: the parameter
// block both share, then either layout's own fields with its volume identity.
// Both formatters fill it through FatBootSectorInit and set what differs.
// Multi-byte fields are stored in the machine's order, which is little-endian
// on every target the driver is built for, as the format wants.
#pragma once

#include "engine/format/format_internal.h"

#pragma pack(push, 1)

// Serial number, label and type name; 0x24 on FAT12/16, 0x40 on FAT32.
struct FatVolumeIdentity {
  UCHAR DriveNumber;
  UCHAR Reserved;
  UCHAR BootSignature;  // 0x29: the three fields below are present
  ULONG SerialNumber;
  CHAR Label[FORMAT_LABEL_LENGTH];
  CHAR FileSystemType[8];
};
static_assert(sizeof(FatVolumeIdentity) == 26);

struct FatBootSector {
  UCHAR Jump[3];
  CHAR OemName[8];
  USHORT BytesPerSector;
  UCHAR SectorsPerCluster;
  USHORT ReservedSectors;
  UCHAR FatCount;
  USHORT RootEntries;
  USHORT TotalSectors16;  // 0 when the count needs TotalSectors32
  UCHAR Media;
  USHORT FatSectors16;  // 0 on FAT32
  USHORT SectorsPerTrack;
  USHORT Heads;
  ULONG HiddenSectors;
  ULONG TotalSectors32;
  union {
    struct {
      FatVolumeIdentity Identity;
    } Fat16;
    struct {
      ULONG FatSectors;
      USHORT ExtendedFlags;  // 0: the FATs are mirrored
      USHORT Version;
      ULONG RootCluster;
      USHORT FsInfoSector;
      USHORT BackupBootSector;
      UCHAR Reserved[12];
      FatVolumeIdentity Identity;
    } Fat32;
  };
  // No boot code: what the jump reaches stays zero.
  UCHAR Code[0x1FE - 0x5A];
  UCHAR Signature[2];
};

#pragma pack(pop)

#define FAT_FIELD_AT(Field, Offset) static_assert(offsetof(FatBootSector, Field) == (Offset), #Field " moved")
FAT_FIELD_AT(Jump, 0x00);
FAT_FIELD_AT(OemName, 0x03);
FAT_FIELD_AT(BytesPerSector, 0x0B);
FAT_FIELD_AT(SectorsPerCluster, 0x0D);
FAT_FIELD_AT(ReservedSectors, 0x0E);
FAT_FIELD_AT(FatCount, 0x10);
FAT_FIELD_AT(RootEntries, 0x11);
FAT_FIELD_AT(TotalSectors16, 0x13);
FAT_FIELD_AT(Media, 0x15);
FAT_FIELD_AT(FatSectors16, 0x16);
FAT_FIELD_AT(SectorsPerTrack, 0x18);
FAT_FIELD_AT(Heads, 0x1A);
FAT_FIELD_AT(HiddenSectors, 0x1C);
FAT_FIELD_AT(TotalSectors32, 0x20);
FAT_FIELD_AT(Fat16.Identity.DriveNumber, 0x24);
FAT_FIELD_AT(Fat16.Identity.BootSignature, 0x26);
FAT_FIELD_AT(Fat16.Identity.SerialNumber, 0x27);
FAT_FIELD_AT(Fat16.Identity.Label, 0x2B);
FAT_FIELD_AT(Fat16.Identity.FileSystemType, 0x36);
FAT_FIELD_AT(Fat32.FatSectors, 0x24);
FAT_FIELD_AT(Fat32.ExtendedFlags, 0x28);
FAT_FIELD_AT(Fat32.Version, 0x2A);
FAT_FIELD_AT(Fat32.RootCluster, 0x2C);
FAT_FIELD_AT(Fat32.FsInfoSector, 0x30);
FAT_FIELD_AT(Fat32.BackupBootSector, 0x32);
FAT_FIELD_AT(Fat32.Identity.DriveNumber, 0x40);
FAT_FIELD_AT(Fat32.Identity.BootSignature, 0x42);
FAT_FIELD_AT(Fat32.Identity.SerialNumber, 0x43);
FAT_FIELD_AT(Fat32.Identity.Label, 0x47);
FAT_FIELD_AT(Fat32.Identity.FileSystemType, 0x52);
FAT_FIELD_AT(Code, 0x5A);
FAT_FIELD_AT(Signature, 0x1FE);
#undef FAT_FIELD_AT
static_assert(sizeof(FatBootSector) == 512);

// What the two layouts set differently in the shared parameter block.
struct FatBootLayout {
  UCHAR JumpOffset;  // EB xx 90
  ULONG BytesPerSector;
  ULONG SectorsPerCluster;
  ULONG ReservedSectors;
  UCHAR FatCount;
  ULONG RootEntries;
  ULONG TotalSectors;  // placed in the 16-bit field when it fits there
  ULONG FatSectors16;
};

// Fills a zeroed sector with the parameter block and the 55 AA signature;
// the caller adds its layout's own fields and identity.
inline VOID FatBootSectorInit(FatBootSector *Boot, const FatBootLayout &Layout) {
  Boot->Jump[0] = 0xEB;
  Boot->Jump[1] = Layout.JumpOffset;
  Boot->Jump[2] = 0x90;
  FormatPutText(reinterpret_cast<PUCHAR>(Boot->OemName), "MSWIN4.1", sizeof(Boot->OemName));
  Boot->BytesPerSector = static_cast<USHORT>(Layout.BytesPerSector);
  Boot->SectorsPerCluster = static_cast<UCHAR>(Layout.SectorsPerCluster);
  Boot->ReservedSectors = static_cast<USHORT>(Layout.ReservedSectors);
  Boot->FatCount = Layout.FatCount;
  Boot->RootEntries = static_cast<USHORT>(Layout.RootEntries);
  BOOLEAN small = Layout.TotalSectors <= 0xFFFF;
  Boot->TotalSectors16 = small ? static_cast<USHORT>(Layout.TotalSectors) : 0;
  Boot->Media = 0xF8;  // fixed disk
  Boot->FatSectors16 = static_cast<USHORT>(Layout.FatSectors16);
  Boot->SectorsPerTrack = 32;
  Boot->Heads = 2;
  Boot->HiddenSectors = 0;
  Boot->TotalSectors32 = small ? 0 : Layout.TotalSectors;
  Boot->Signature[0] = 0x55;
  Boot->Signature[1] = 0xAA;
}

// Fills an identity; Label is exactly 11 characters, Type exactly 8.
inline VOID FatSetIdentity(FatVolumeIdentity *Identity, UCHAR DriveNumber, ULONG SerialNumber, PCSTR Label,
                           PCSTR Type) {
  Identity->DriveNumber = DriveNumber;
  Identity->BootSignature = 0x29;
  Identity->SerialNumber = SerialNumber;
  RtlCopyMemory(Identity->Label, Label, sizeof(Identity->Label));
  RtlCopyMemory(Identity->FileSystemType, Type, sizeof(Identity->FileSystemType));
}
