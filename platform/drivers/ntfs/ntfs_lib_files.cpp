// Files and folders through libntfs-3g: lookups without regard to case,
// creation, deletion, renames, data, sizes, times and attributes. Each
// call opens the inodes it needs and closes them before it returns, which
// writes their records back.
#include "platform/drivers/ntfs/ntfs_lib_internal.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

const ntfschar *Units(const char16_t *Name) { return reinterpret_cast<const ntfschar *>(Name); }

ntfs_inode *OpenInode(NtfsLibVolume *Volume, uint64_t Inode) {
  errno = 0;
  return ntfs_inode_open(Volume->Vol, static_cast<MFT_REF>(Inode));
}

// The attribute bits a caller may set: read-only, hidden, system, archive,
// temporary, offline, not content indexed.
constexpr uint32_t kSettable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;

// The name Inode has in Dir that matches Name (any case), as it is kept;
// DOS short names only when no other name matches.
bool NameInDir(ntfs_inode *Ni, uint64_t Dir, NtfsLibVolume *Volume, const char16_t *Name, uint16_t Length,
               char16_t *Found, uint16_t *FoundLength) {
  ntfs_attr_search_ctx *ctx = ntfs_attr_get_search_ctx(Ni, nullptr);
  if (!ctx) return false;
  bool found = false;
  while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
    const ATTR_RECORD *a = ctx->attr;
    auto *fn = reinterpret_cast<const FILE_NAME_ATTR *>(reinterpret_cast<const uint8_t *>(a) +
                                                        le16_to_cpu(a->value_offset));
    if (MREF_LE(fn->parent_directory) != Dir) continue;
    if (fn->file_name_type == FILE_NAME_DOS) continue;
    auto *units = reinterpret_cast<const char16_t *>(reinterpret_cast<const uint8_t *>(fn) +
                                                     offsetof(FILE_NAME_ATTR, file_name));
    if (Name && !NtfsLibNamesEqual(Volume, units, fn->file_name_length, Name, Length) && found) continue;
    memcpy(Found, units, fn->file_name_length * sizeof(char16_t));
    *FoundLength = fn->file_name_length;
    found = true;
    if (!Name || NtfsLibNamesEqual(Volume, units, fn->file_name_length, Name, Length)) break;
  }
  ntfs_attr_put_search_ctx(ctx);
  return found;
}

}  // namespace

int NtfsLibFillInfo(ntfs_inode *Ni, NtfsLibInfo *Info) {
  memset(Info, 0, sizeof *Info);
  Info->Inode = Ni->mft_no;
  Info->Directory = (Ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
  uint32_t attributes = le32_to_cpu(Ni->flags) & 0x7FFF;
  attributes &= ~kNtfsAttrDirectory;
  if (Info->Directory) attributes |= kNtfsAttrDirectory;
  Info->Attributes = attributes ? attributes : kNtfsAttrNormal;
  Info->Links = le16_to_cpu(Ni->mrec->link_count);
  Info->Creation = static_cast<int64_t>(sle64_to_cpu(Ni->creation_time));
  Info->Access = static_cast<int64_t>(sle64_to_cpu(Ni->last_access_time));
  Info->Write = static_cast<int64_t>(sle64_to_cpu(Ni->last_data_change_time));
  Info->Change = static_cast<int64_t>(sle64_to_cpu(Ni->last_mft_change_time));
  if (!Info->Directory) {
    ntfs_attr *na = ntfs_attr_open(Ni, AT_DATA, AT_UNNAMED, 0);
    if (na) {
      Info->Size = static_cast<uint64_t>(na->data_size);
      Info->Allocation = static_cast<uint64_t>(
          (na->data_flags & ATTR_COMPRESSION_MASK) && NAttrNonResident(na) ? na->compressed_size : na->allocated_size);
      ntfs_attr_close(na);
    }
  }
  return 0;
}

int NtfsLibStat(NtfsLibVolume *Volume, uint64_t Inode, NtfsLibInfo *Info) {
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  NtfsLibFillInfo(ni, Info);
  ntfs_inode_close(ni);
  return 0;
}

int NtfsLibLookup(NtfsLibVolume *Volume, uint64_t Dir, const char16_t *Name, uint16_t Length, NtfsLibInfo *Info,
                  char16_t *Found, uint16_t *FoundLength) {
  ntfs_inode *dir = OpenInode(Volume, Dir);
  if (!dir) return NtfsLibError();
  errno = 0;
  u64 mref = ntfs_inode_lookup_by_name(dir, Units(Name), Length);
  int error = mref == static_cast<u64>(-1) ? (errno ? errno : ENOENT) : 0;
  ntfs_inode_close(dir);
  if (error) return error;
  // The volume's own files are no files of its users.
  if (MREF(mref) < FILE_first_user && MREF(mref) != FILE_root) return ENOENT;
  ntfs_inode *ni = OpenInode(Volume, MREF(mref));
  if (!ni) return NtfsLibError();
  NtfsLibFillInfo(ni, Info);
  if (!NameInDir(ni, Dir, Volume, Name, Length, Found, FoundLength)) {
    memcpy(Found, Name, Length * sizeof(char16_t));
    *FoundLength = Length;
  }
  ntfs_inode_close(ni);
  return 0;
}

int NtfsLibCreate(NtfsLibVolume *Volume, uint64_t Dir, const char16_t *Name, uint16_t Length, bool Directory,
                  uint32_t Attributes, NtfsLibInfo *Info) {
  if (!NtfsLibNameIsValid(Name, Length)) return EINVAL;
  ntfs_inode *dir = OpenInode(Volume, Dir);
  if (!dir) return NtfsLibError();
  errno = 0;
  ntfs_inode *ni = ntfs_create(dir, 0, Units(Name), static_cast<u8>(Length), Directory ? S_IFDIR : S_IFREG);
  if (!ni) {
    int error = NtfsLibError();
    ntfs_inode_close(dir);
    return error;
  }
  uint32_t keep = le32_to_cpu(ni->flags) & ~kSettable;
  uint32_t wanted = Attributes & kSettable;
  if (!Directory) wanted |= kNtfsAttrArchive;
  ni->flags = NtfsLibFlags(keep | wanted);
  NInoSetDirty(ni);
  NInoFileNameSetDirty(ni);
  NtfsLibFillInfo(ni, Info);
  int error = ntfs_inode_close_in_dir(ni, dir) ? NtfsLibError() : 0;
  if (ntfs_inode_close(dir) && !error) error = NtfsLibError();
  return error;
}

int NtfsLibDelete(NtfsLibVolume *Volume, uint64_t Dir, uint64_t Inode, const char16_t *Name, uint16_t Length) {
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  ntfs_inode *dir = OpenInode(Volume, Dir);
  if (!dir) {
    int error = NtfsLibError();
    ntfs_inode_close(ni);
    return error;
  }
  errno = 0;
  // Both inodes are closed by the call, whatever it answers.
  if (ntfs_delete(Volume->Vol, nullptr, ni, dir, Units(Name), static_cast<u8>(Length))) return NtfsLibError();
  return 0;
}

namespace {

int Link(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Dir, const char16_t *Name, uint16_t Length) {
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  ntfs_inode *dir = OpenInode(Volume, Dir);
  if (!dir) {
    int error = NtfsLibError();
    ntfs_inode_close(ni);
    return error;
  }
  errno = 0;
  int error = ntfs_link(ni, dir, Units(Name), static_cast<u8>(Length)) ? NtfsLibError() : 0;
  // The folder goes first: closing the file writes its size and times into
  // the index entries of every folder that names it, which opens them.
  ntfs_inode_close(dir);
  ntfs_inode_close(ni);
  return error;
}

}  // namespace

int NtfsLibRename(NtfsLibVolume *Volume, uint64_t Inode, uint64_t FromDir, const char16_t *FromName,
                  uint16_t FromLength, uint64_t ToDir, const char16_t *ToName, uint16_t ToLength) {
  if (!NtfsLibNameIsValid(ToName, ToLength)) return EINVAL;
  bool caseOnly = FromDir == ToDir && NtfsLibNamesEqual(Volume, FromName, FromLength, ToName, ToLength);
  if (caseOnly) {
    // The new name collides with the old one in the folder's index: the
    // file passes through a name of its own first.
    char16_t temporary[32];
    uint16_t n = 0;
    const char *prefix = "$rename.";
    while (*prefix) temporary[n++] = static_cast<char16_t>(*prefix++);
    for (int shift = 60; shift >= 0; shift -= 4) temporary[n++] = static_cast<char16_t>(u"0123456789abcdef"[(Inode >> shift) & 0xF]);
    int error = Link(Volume, Inode, FromDir, temporary, n);
    if (error) return error;
    error = NtfsLibDelete(Volume, FromDir, Inode, FromName, FromLength);
    if (error) {
      NtfsLibDelete(Volume, FromDir, Inode, temporary, n);
      return error;
    }
    error = Link(Volume, Inode, ToDir, ToName, ToLength);
    if (error) {
      Link(Volume, Inode, FromDir, FromName, FromLength);
      NtfsLibDelete(Volume, FromDir, Inode, temporary, n);
      return error;
    }
    return NtfsLibDelete(Volume, FromDir, Inode, temporary, n);
  }
  int error = Link(Volume, Inode, ToDir, ToName, ToLength);
  if (error) return error;
  error = NtfsLibDelete(Volume, FromDir, Inode, FromName, FromLength);
  // The old name stays when it cannot go: the new one goes again.
  if (error) NtfsLibDelete(Volume, ToDir, Inode, ToName, ToLength);
  return error;
}

int NtfsLibDirectoryIsEmpty(NtfsLibVolume *Volume, uint64_t Dir, bool *Empty) {
  ntfs_inode *ni = OpenInode(Volume, Dir);
  if (!ni) return NtfsLibError();
  errno = 0;
  int r = ntfs_check_empty_dir(ni);
  int error = 0;
  if (r == 0) *Empty = true;
  else if (errno == ENOTEMPTY) *Empty = false;
  else error = NtfsLibError();
  ntfs_inode_close(ni);
  return error;
}

int NtfsLibRead(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Offset, void *Buffer, uint32_t Length,
                uint32_t *Done) {
  *Done = 0;
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int error = na ? 0 : NtfsLibError();
  if (na) {
    uint64_t size = static_cast<uint64_t>(na->data_size);
    uint64_t count = Offset >= size ? 0 : size - Offset;
    if (count > Length) count = Length;
    uint64_t done = 0;
    while (done < count) {
      errno = 0;
      s64 n = ntfs_attr_pread(na, static_cast<s64>(Offset + done), static_cast<s64>(count - done),
                              static_cast<uint8_t *>(Buffer) + done);
      if (n <= 0) {
        error = n < 0 ? NtfsLibError() : EIO;
        break;
      }
      done += static_cast<uint64_t>(n);
    }
    if (!error) *Done = static_cast<uint32_t>(done);
    ntfs_attr_close(na);
  }
  ntfs_inode_close(ni);
  return error;
}

int NtfsLibWrite(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Offset, const void *Buffer, uint32_t Length) {
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int error = na ? 0 : NtfsLibError();
  if (na) {
    s64 oldSize = na->data_size;
    uint64_t done = 0;
    while (done < Length) {
      errno = 0;
      s64 n = ntfs_attr_pwrite(na, static_cast<s64>(Offset + done), static_cast<s64>(Length - done),
                               static_cast<const uint8_t *>(Buffer) + done);
      if (n <= 0) {
        error = n < 0 ? NtfsLibError() : ENOSPC;
        break;
      }
      done += static_cast<uint64_t>(n);
    }
    if (na->data_flags & ATTR_COMPRESSION_MASK) {
      // A compressed file's last block is compressed and written here.
      if (ntfs_attr_pclose(na) && !error) error = NtfsLibError();
    }
    // A write that found no room leaves the file's size as it was.
    if (error && na->data_size > oldSize) ntfs_attr_truncate(na, oldSize);
    if (!error) {
      ntfs_inode_update_times(ni, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
      ni->flags = NtfsLibFlags(le32_to_cpu(ni->flags) | FILE_ATTR_ARCHIVE);
      NInoSetDirty(ni);
      NInoFileNameSetDirty(ni);
    }
    ntfs_attr_close(na);
  }
  if (ntfs_inode_close(ni) && !error) error = NtfsLibError();
  return error;
}

int NtfsLibSetSize(NtfsLibVolume *Volume, uint64_t Inode, uint64_t Size) {
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int error = na ? 0 : NtfsLibError();
  if (na) {
    errno = 0;
    if (static_cast<uint64_t>(na->data_size) != Size && ntfs_attr_truncate(na, static_cast<s64>(Size)))
      error = NtfsLibError();
    if (!error) {
      ntfs_inode_update_times(ni, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
      ni->flags = NtfsLibFlags(le32_to_cpu(ni->flags) | FILE_ATTR_ARCHIVE);
      NInoSetDirty(ni);
      NInoFileNameSetDirty(ni);
    }
    ntfs_attr_close(na);
  }
  if (ntfs_inode_close(ni) && !error) error = NtfsLibError();
  return error;
}

int NtfsLibSetBasic(NtfsLibVolume *Volume, uint64_t Inode, int64_t Creation, int64_t Access, int64_t Write,
                    int64_t Change, uint32_t Attributes) {
  ntfs_inode *ni = OpenInode(Volume, Inode);
  if (!ni) return NtfsLibError();
  if (Creation > 0) ni->creation_time = cpu_to_sle64(Creation);
  if (Access > 0) ni->last_access_time = cpu_to_sle64(Access);
  if (Write > 0) ni->last_data_change_time = cpu_to_sle64(Write);
  if (Change > 0) ni->last_mft_change_time = cpu_to_sle64(Change);
  if (Attributes) {
    uint32_t flags = le32_to_cpu(ni->flags);
    ni->flags = NtfsLibFlags((flags & ~kSettable) | (Attributes & kSettable));
  }
  NInoSetDirty(ni);
  NInoFileNameSetDirty(ni);
  return ntfs_inode_close(ni) ? NtfsLibError() : 0;
}
