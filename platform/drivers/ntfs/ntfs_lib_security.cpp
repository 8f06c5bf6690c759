// Security descriptors and compression through libntfs-3g: a file's whole
// self-relative descriptor read and written as Windows keeps it in
// $Secure, and the compressed state of folders and empty files.
#include "platform/drivers/ntfs/ntfs_lib_internal.h"

#include <string.h>

namespace {

struct SECURITY_CONTEXT ContextOf(NtfsLibVolume *Volume) {
  struct SECURITY_CONTEXT scx;
  memset(&scx, 0, sizeof scx);
  scx.vol = Volume->Vol;
  scx.pseccache = &Volume->Cache;
  return scx;
}

}  // namespace

int NtfsLibGetSecurity(NtfsLibVolume *Volume, uint64_t Inode, void *Buffer, uint32_t Room, uint32_t *Length) {
  *Length = 0;
  errno = 0;
  ntfs_inode *ni = ntfs_inode_open(Volume->Vol, static_cast<MFT_REF>(Inode));
  if (!ni) return NtfsLibError();
  struct SECURITY_CONTEXT scx = ContextOf(Volume);
  errno = 0;
  int n = ntfs_get_ntfs_acl(&scx, ni, static_cast<char *>(Buffer), Room);
  ntfs_inode_close(ni);
  if (n <= 0) return n < 0 ? -n : ENODATA;
  *Length = static_cast<uint32_t>(n);
  return static_cast<uint32_t>(n) > Room ? ERANGE : 0;
}

int NtfsLibSetSecurity(NtfsLibVolume *Volume, uint64_t Inode, const void *Descriptor, uint32_t Length) {
  errno = 0;
  ntfs_inode *ni = ntfs_inode_open(Volume->Vol, static_cast<MFT_REF>(Inode));
  if (!ni) return NtfsLibError();
  struct SECURITY_CONTEXT scx = ContextOf(Volume);
  errno = 0;
  int error = ntfs_set_ntfs_acl(&scx, ni, static_cast<const char *>(Descriptor), Length, 0) ? NtfsLibError() : 0;
  if (ntfs_inode_close(ni) && !error) error = NtfsLibError();
  return error;
}

int NtfsLibSetCompression(NtfsLibVolume *Volume, uint64_t Inode, bool Compressed) {
  errno = 0;
  ntfs_inode *ni = ntfs_inode_open(Volume->Vol, static_cast<MFT_REF>(Inode));
  if (!ni) return NtfsLibError();
  int error = 0;
  bool now = (ni->flags & FILE_ATTR_COMPRESSED) != 0;
  if (now != Compressed) {
    if (Volume->Vol->cluster_size > 4096) {
      // NTFS compresses only with clusters of at most 4 KiB.
      error = EOPNOTSUPP;
    } else if (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) {
      uint32_t flags = le32_to_cpu(ni->flags);
      le32 attributes = cpu_to_le32(Compressed ? (flags | FILE_ATTR_COMPRESSED) : (flags & ~FILE_ATTR_COMPRESSED));
      errno = 0;
      if (ntfs_set_ntfs_attrib(ni, reinterpret_cast<const char *>(&attributes), sizeof attributes, 0))
        error = NtfsLibError();
    } else {
      ntfs_attr *na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
      if (!na) {
        error = NtfsLibError();
      } else {
        // A file's data would have to be rewritten: only an empty one changes.
        if (na->data_size != 0 || NAttrNonResident(na)) error = EOPNOTSUPP;
        ntfs_attr_close(na);
      }
      if (!error) {
        errno = 0;
        if (ntfs_attr_set_flags(ni, AT_DATA, AT_UNNAMED, 0, static_cast<ATTR_FLAGS>(Compressed ? ATTR_IS_COMPRESSED : 0),
                                ATTR_COMPRESSION_MASK))
          error = NtfsLibError();
      }
      if (!error) {
        uint32_t flags = le32_to_cpu(ni->flags);
        ni->flags = NtfsLibFlags(Compressed ? (flags | FILE_ATTR_COMPRESSED) : (flags & ~FILE_ATTR_COMPRESSED));
        NInoSetDirty(ni);
        NInoFileNameSetDirty(ni);
      }
    }
  }
  if (ntfs_inode_close(ni) && !error) error = NtfsLibError();
  return error;
}
