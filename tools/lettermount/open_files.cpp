#include "tools/lettermount/open_files.h"

#include <vector>

namespace lettermount {

OpenFile *OpenFiles::Add(HANDLE handle, bool writable) {
  auto *file = new OpenFile;
  file->handle = handle;
  file->writable = writable;
  std::lock_guard hold(lock_);
  files_.insert(file);
  return file;
}

bool OpenFiles::Release(OpenFile *file) {
  {
    std::lock_guard hold(lock_);
    if (!files_.erase(file)) return true;  // already released at unmount
  }
  bool flushed = !file->writable || FlushFileBuffers(file->handle);
  DWORD error = GetLastError();
  CloseHandle(file->handle);
  delete file;
  SetLastError(error);
  return flushed;
}

size_t OpenFiles::ReleaseAll() {
  std::vector<OpenFile *> left;
  {
    std::lock_guard hold(lock_);
    left.assign(files_.begin(), files_.end());
  }
  for (OpenFile *file : left) Release(file);
  return left.size();
}

}  // namespace lettermount
