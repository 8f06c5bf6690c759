#include "engine/format/ntfs/ntfs_security.h"

#include "engine/format/ntfs/ntfs_types.h"

const NtfsSid NtfsSidSystem{5, 1, {18, 0}};
const NtfsSid NtfsSidAdministrators{5, 2, {32, 544}};
const NtfsSid NtfsSidAuthenticated{5, 1, {11, 0}};
const NtfsSid NtfsSidUsers{5, 2, {32, 545}};

namespace {

constexpr ULONG DESCRIPTOR_HEADER = 20;
// Inherited by files and folders below, not applied to the folder itself.
constexpr UCHAR INHERIT_ONLY_TO_ALL = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;

struct AceEntry {
  UCHAR Flags;
  ULONG Mask;
  const NtfsSid *Sid;
};

struct DescriptorLayout {
  const AceEntry *Aces;
  ULONG AceCount;
  ULONG DaclSize;  // declared size; may exceed the ACEs
  const NtfsSid *Owner;
  const NtfsSid *Group;
};

const AceEntry gFilesAces[] = {
    {0, 0x00120089, &NtfsSidSystem},
    {0, 0x00120089, &NtfsSidAdministrators},
};
const AceEntry gDirectoriesAces[] = {
    {0, 0x0012019F, &NtfsSidSystem},
    {0, 0x0012019F, &NtfsSidAdministrators},
};
const AceEntry gRootAces[] = {
    {0, 0x001F01FF, &NtfsSidAdministrators},
    {INHERIT_ONLY_TO_ALL, 0x10000000, &NtfsSidAdministrators},
    {0, 0x001F01FF, &NtfsSidSystem},
    {INHERIT_ONLY_TO_ALL, 0x10000000, &NtfsSidSystem},
    {0, 0x001301BF, &NtfsSidAuthenticated},
    {INHERIT_ONLY_TO_ALL, 0xE0010000, &NtfsSidAuthenticated},
    {0, 0x001200A9, &NtfsSidUsers},
    {INHERIT_ONLY_TO_ALL, 0xA0000000, &NtfsSidUsers},
};

ULONG AceLength(const AceEntry &Ace) {
  return 8 + NtfsSidLength(*Ace.Sid);
}

DescriptorLayout Describe(NtfsDescriptorKind Kind) {
  switch (Kind) {
    case NtfsDescriptorFiles:
      return {gFilesAces, 2, 52, &NtfsSidAdministrators, &NtfsSidAdministrators};
    case NtfsDescriptorDirectories:
      return {gDirectoriesAces, 2, 52, &NtfsSidAdministrators, &NtfsSidAdministrators};
    case NtfsDescriptorVolume:
      return {gDirectoriesAces, 2, 52, &NtfsSidSystem, &NtfsSidAdministrators};
    case NtfsDescriptorRoot:
      break;
  }
  return {gRootAces, 8, 4096, &NtfsSidSystem, &NtfsSidSystem};
}

}  // namespace

ULONG NtfsSidLength(const NtfsSid &Sid) {
  return 8 + 4 * Sid.SubAuthorityCount;
}

NTSTATUS NtfsAppendSid(NtfsWriter *Writer, const NtfsSid &Sid) {
  NtfsAppend8(Writer, 1);  // revision
  NtfsAppend8(Writer, Sid.SubAuthorityCount);
  // The identifier authority is a 48-bit big-endian number.
  const UCHAR authority[6] = {0, 0, 0, 0, 0, Sid.Authority};
  NtfsAppendBytes(Writer, authority, sizeof(authority));
  for (ULONG i = 0; i < Sid.SubAuthorityCount; ++i) NtfsAppend32(Writer, Sid.SubAuthority[i]);
  return Writer->Status;
}

ULONG NtfsDescriptorLength(NtfsDescriptorKind Kind) {
  DescriptorLayout layout = Describe(Kind);
  return DESCRIPTOR_HEADER + layout.DaclSize + NtfsSidLength(*layout.Owner) +
         NtfsSidLength(*layout.Group);
}

NTSTATUS NtfsAppendDescriptor(NtfsWriter *Writer, NtfsDescriptorKind Kind) {
  DescriptorLayout layout = Describe(Kind);
  ULONGLONG start = Writer->Position;
  ULONG owner = DESCRIPTOR_HEADER + layout.DaclSize;
  ULONG group = owner + NtfsSidLength(*layout.Owner);
  NtfsAppend8(Writer, SECURITY_DESCRIPTOR_REVISION);
  NtfsAppend8(Writer, 0);
  NtfsAppend16(Writer, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  NtfsAppend32(Writer, owner);
  NtfsAppend32(Writer, group);
  NtfsAppend32(Writer, 0);  // no SACL
  NtfsAppend32(Writer, DESCRIPTOR_HEADER);
  // DACL
  NtfsAppend8(Writer, ACL_REVISION);
  NtfsAppend8(Writer, 0);
  NtfsAppend16(Writer, static_cast<USHORT>(layout.DaclSize));
  NtfsAppend16(Writer, static_cast<USHORT>(layout.AceCount));
  NtfsAppend16(Writer, 0);
  for (ULONG i = 0; i < layout.AceCount; ++i) {
    const AceEntry &ace = layout.Aces[i];
    NtfsAppend8(Writer, ACCESS_ALLOWED_ACE_TYPE);
    NtfsAppend8(Writer, ace.Flags);
    NtfsAppend16(Writer, static_cast<USHORT>(AceLength(ace)));
    NtfsAppend32(Writer, ace.Mask);
    NtfsAppendSid(Writer, *ace.Sid);
  }
  Writer->Position = start + owner;
  NtfsAppendSid(Writer, *layout.Owner);
  return NtfsAppendSid(Writer, *layout.Group);
}
