// The host file operations of a mounted drive letter, each made of the
// Win32 file calls on that letter.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include "tools/lettermount/open_files.h"

#include <sys/types.h>

namespace lettermount {

// What the operations share; FUSE hands it to each as its private data.
struct Mount {
  char16_t letter = u'R';
  uid_t uid = 0;  // the owner every file shows: the user who mounted it
  gid_t gid = 0;
  OpenFiles files;
  // The root folder, open while mounted: the volume's file system stays
  // mounted between one call and the next, as on Windows, rather than being
  // mounted afresh (its whole table read again) for each.
  HANDLE root = INVALID_HANDLE_VALUE;
};

const fuse_operations &Operations();

}  // namespace lettermount
