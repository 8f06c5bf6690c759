// Folder listings through libntfs-3g's readdir, a batch at a time with the
// index position to resume from.
//
// Each batch reads the folder from its start and skips what came before
// the resume position: the library's readdir, started in the middle of an
// index block chain, runs past the last block and fails at the end.
// Positions grow along the walk (the index root's entries, then the index
// blocks in order), so the skip is exact.
#include "platform/drivers/ntfs/ntfs_lib_internal.h"

#include <string.h>

namespace {

struct Batch {
  bool Root;
  s64 From;  // entries before this position were listed already
  NtfsLibEntry *Entries;
  uint32_t Room;
  uint32_t Count;
  bool Full;
  s64 Resume;  // the position of the first entry that did not fit
};

int Collect(void *Context, const ntfschar *Name, const int Length, const int Type, const s64 Position,
            const MFT_REF Mref, const unsigned) {
  auto *batch = static_cast<Batch *>(Context);
  if (Position < batch->From) return 0;
  // Each file once: a DOS name is the short form of another entry.
  if (Type == FILE_NAME_DOS) return 0;
  bool dots = (Length == 1 && Name[0] == '.') || (Length == 2 && Name[0] == '.' && Name[1] == '.');
  if (dots && batch->Root) return 0;
  // The volume's own files ($MFT, $Bitmap ...) are not listed.
  if (!dots && MREF(Mref) < FILE_first_user) return 0;
  if (batch->Count == batch->Room) {
    batch->Full = true;
    batch->Resume = Position;
    return 1;
  }
  NtfsLibEntry &e = batch->Entries[batch->Count++];
  e.Position = Position;
  e.Inode = MREF(Mref);
  e.NameLength = static_cast<uint16_t>(Length);
  memcpy(e.Name, Name, Length * sizeof(ntfschar));
  return 0;
}

}  // namespace

int NtfsLibReadDirectory(NtfsLibVolume *Volume, uint64_t Dir, int64_t *Position, NtfsLibEntry *Entries,
                         uint32_t Room, uint32_t *Count) {
  *Count = 0;
  // The whole folder was read: nothing more (the library itself would fail
  // on a position past its index).
  if (*Position < 0) return 0;
  errno = 0;
  ntfs_inode *ni = ntfs_inode_open(Volume->Vol, static_cast<MFT_REF>(Dir));
  if (!ni) return NtfsLibError();
  Batch batch{Dir == kNtfsRootInode, *Position, Entries, Room, 0, false, 0};
  s64 position = 0;
  errno = 0;
  int r = ntfs_readdir(ni, &position, &batch, Collect);
  int error = r && !batch.Full ? NtfsLibError() : 0;
  ntfs_inode_close(ni);
  if (error) return error;
  *Position = batch.Full ? batch.Resume : -1;
  *Count = batch.Count;
  return 0;
}
