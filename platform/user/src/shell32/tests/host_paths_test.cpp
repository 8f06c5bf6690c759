// Which host folder shows a RAM disk's letter: lettermount's entry in the
// mount table, with the table's escapes undone.

#include "platform/user/src/shell32/host_paths.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(LettermountFolder, FoundByTheLettersSourceName) {
  std::istringstream mounts(
      "proc /proc proc rw 0 0\n"
      "lettermount-S: /tmp/s fuse.lettermount rw,nosuid 0 0\n"
      "lettermount-R: /tmp/ram\\040disk\\134r fuse.lettermount rw,nosuid 0 0\n");
  EXPECT_EQ("/tmp/ram disk\\r", bw::shell32::LettermountFolder(u'r', mounts));
  mounts.clear();
  mounts.seekg(0);
  EXPECT_EQ("/tmp/s", bw::shell32::LettermountFolder(u'S', mounts));
  mounts.clear();
  mounts.seekg(0);
  EXPECT_EQ("", bw::shell32::LettermountFolder(u'T', mounts));
}

}  // namespace
