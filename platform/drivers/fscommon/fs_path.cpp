// The walk of a path to the folder of its last component.
#include "platform/drivers/fscommon/fs_path.h"

NTSTATUS FsWalkToParent(FsVolume *Volume, PVOID Dir, PCWSTR Path, USHORT Length,
                        const FsPathWalk *Walk, PVOID Scratch, PVOID *Parent, PCWSTR *Name,
                        USHORT *NameLength) {
  PVOID dir = Dir;
  USHORT at = 0;
  if (Length && Path[0] == u'\\') at = 1;
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    USHORT end = at;
    while (end < Length && Path[end] != u'\\') ++end;
    if (end == Length) {
      *Name = Path + at;
      *NameLength = static_cast<USHORT>(end - at);
      break;
    }
    USHORT n = static_cast<USHORT>(end - at);
    if (!Walk->NameIsValid(Path + at, n)) {
      status = STATUS_OBJECT_NAME_INVALID;
      break;
    }
    PVOID next = nullptr;
    status = Walk->Step(Volume, dir, Path + at, n, Scratch, &next);
    Walk->Release(dir);
    dir = NT_SUCCESS(status) ? next : nullptr;
    if (!dir) break;
    at = static_cast<USHORT>(end + 1);
  }
  if (!NT_SUCCESS(status)) {
    if (dir) Walk->Release(dir);
    return status;
  }
  *Parent = dir;
  return STATUS_SUCCESS;
}
