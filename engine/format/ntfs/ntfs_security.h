// Security descriptors of the metadata files and the $Secure streams.
#pragma once

#include "engine/format/ntfs/ntfs_files.h"

// A SID with at most two sub-authorities.
struct NtfsSid {
  UCHAR Authority;
  UCHAR SubAuthorityCount;
  ULONG SubAuthority[2];
};

extern const NtfsSid NtfsSidSystem;          // S-1-5-18
extern const NtfsSid NtfsSidAdministrators;  // S-1-5-32-544
extern const NtfsSid NtfsSidAuthenticated;   // S-1-5-11
extern const NtfsSid NtfsSidUsers;           // S-1-5-32-545

ULONG NtfsSidLength(const NtfsSid &Sid);
NTSTATUS NtfsAppendSid(NtfsWriter *Writer, const NtfsSid &Sid);

enum NtfsDescriptorKind {
  NtfsDescriptorFiles,        // $SDS security id 256
  NtfsDescriptorDirectories,  // $SDS security id 257
  NtfsDescriptorVolume,       // $Volume's own $SECURITY_DESCRIPTOR
  NtfsDescriptorRoot,         // the root directory's stream
};

// Length of a self-relative descriptor as its owner and group place it.
ULONG NtfsDescriptorLength(NtfsDescriptorKind Kind);
// Writes the descriptor at the position. Of the root's large DACL only the
// ACEs are written; the unused tail must already read as zero.
NTSTATUS NtfsAppendDescriptor(NtfsWriter *Writer, NtfsDescriptorKind Kind);

// Hashes of the $SDS descriptors, as $SDH keys them.
constexpr ULONG NTFS_HASH_FILES = 0xF80312F0;
constexpr ULONG NTFS_HASH_DIRECTORIES = 0x00B32451;
