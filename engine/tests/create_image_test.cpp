// CreateImage against files that exist on the host.
#include "engine/tests/engine_fixture.h"

#include <filesystem>
#include <fstream>

namespace enginetest {
namespace {

class CreateImage : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(1));
  }

  // The NT form of a host path: drive Z: is the host's root.
  static std::u16string NtPath(const std::string &hostPath) {
    std::u16string path = u"\\??\\Z:";
    for (char c : hostPath) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    return path;
  }

  Record Request(const std::u16string &path, uint8_t overwrite, uint32_t algorithm = 1) {
    Record r(24);
    r.Put<uint32_t>(0, algorithm).Put<uint8_t>(4, 1).Put<uint64_t>(7, 1 << 20).Put<uint8_t>(15, overwrite);
    r.Put<uint32_t>(16, 1).Put<uint16_t>(22, static_cast<uint16_t>(path.size() * 2));
    for (size_t i = 0; i < path.size(); ++i) r.Put<uint16_t>(24 + 2 * i, path[i]);
    return r;
  }
};

TEST_F(CreateImage, ExistingFileIsKeptUnlessOverwriteIsAsked) {
  std::string host = root_ + "/existing.img";
  std::ofstream(host) << "image";
  bw::IoResult kept = Control(IOCTL_ENGINE_CREATE_IMAGE, Request(NtPath(host), 0), 4);
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, kept.status);
  EXPECT_EQ(0u, kept.information);
  // The existence check comes before the algorithm check.
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, Control(IOCTL_ENGINE_CREATE_IMAGE, Request(NtPath(host), 0, 0), 4).status);
  // Overwritten, or new: a 1 MiB image between its two header blocks.
  EXPECT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_CREATE_IMAGE, Request(NtPath(host), 1), 4).status);
  EXPECT_EQ((1u << 20) + 8192, std::filesystem::file_size(host));
  EXPECT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_CREATE_IMAGE, Request(NtPath(root_ + "/new.img"), 0), 4).status);
  EXPECT_EQ((1u << 20) + 8192, std::filesystem::file_size(root_ + "/new.img"));
}

}  // namespace
}  // namespace enginetest
