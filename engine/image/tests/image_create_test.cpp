// CreateImage and the files it may find or leave: a file that appears
// between the check and the open, and a creation cut short.
#include "engine/image/tests/image_fixture.h"

namespace storetest {
namespace {

const std::vector<uint8_t> kKeep = {'k', 'e', 'e', 'p'};

TEST_F(ImageTest, CreateWithoutOverwriteNeverReplacesAFile) {
  std::string image = Host("there.img");
  WriteFileBytes(image, kKeep);
  // The check for the file fails, as it would if the file appeared just
  // after it: the creation still finds the file and leaves it alone.
  bw::InjectFault(bw::Fault::FileCall, 0, 1);
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1 << 20, 1, "", false));
  bw::ClearFaults();
  EXPECT_TRUE(FileBytes(image) == kKeep);
  // Asked to overwrite, it replaces the file.
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1 << 20, 1, "", true));
  EXPECT_EQ((1u << 20) + 8192, FileSize(image));
}

}  // namespace
}  // namespace storetest
