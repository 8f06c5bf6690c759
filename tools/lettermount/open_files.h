// The Win32 handles behind a mount's open host files: one per open, kept
// until FUSE releases it, so that an unmount closes (and flushes) what the
// kernel never released.
#pragma once

#include <windows.h>

#include <mutex>
#include <unordered_set>

namespace lettermount {

struct OpenFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool writable = false;
  // SetEndOfFile works at the handle's position: a resize moves it first,
  // and two resizes on one handle must not cross. Reads and writes name
  // their offsets and need no lock.
  std::mutex resize;
};

class OpenFiles {
 public:
  OpenFile *Add(HANDLE handle, bool writable);
  // Flushes a writable file and closes it; false with the last error of
  // the flush (the handle is closed all the same).
  bool Release(OpenFile *file);
  // Releases every file still open; how many there were.
  size_t ReleaseAll();

 private:
  std::mutex lock_;
  std::unordered_set<OpenFile *> files_;
};

}  // namespace lettermount
