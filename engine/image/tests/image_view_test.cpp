// The header of a new image and of a directly mounted one lies in a view in
// the system process's user space. Requests reach it from a client's thread,
// and saves from the system's own threads; both must attach to touch it.
#include "engine/image/tests/image_fixture.h"
#include "engine/volume/volume_parts.h"

namespace storetest {
namespace {

class HeaderView : public ImageTest, public ::testing::WithParamInterface<bool> {
 protected:
  // In a client's request, or on a thread of the system process.
  void Run(const std::function<void()> &Work) {
    if (GetParam()) {
      InClient(Work);
    } else {
      Work();
    }
  }
};

TEST_P(HeaderView, CreateMountSaveAndPropertiesReachTheView) {
  std::string image = Host("view.img");
  std::string copy = Host("copy.img");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Run([&] { status = CreateImage(image, CIPHER_ALGORITHM_XOR, u"v", 1, 1 << 20, 1, "VIEW"); });
  ASSERT_STATUS(STATUS_SUCCESS, status);
  uint32_t signature = 0;
  std::memcpy(&signature, FileBytes(image).data(), 4);
  EXPECT_EQ(IMAGE_SIGNATURE, signature);

  // A direct mount checks the header inside its view.
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 99;
  Run([&] { status = OpenImage(image, u"v", 0, &store, &outcome, &cipher); });
  ASSERT_STATUS(STATUS_SUCCESS, status);
  EXPECT_EQ(0u, outcome);
  ASSERT_NE(nullptr, store->ImageView);
  Path copyPath(NtPath(copy));
  Run([&] {
    VolumeStoreSetProperties(store, 0x1);
    status = ImageSave(store, 0, copyPath.get());
    StoreRelease(&store, FALSE);
  });
  ASSERT_STATUS(STATUS_SUCCESS, status);

  // The copy carries the header as the view held it.
  uint32_t properties = 0;
  std::memcpy(&properties, FileBytes(copy).data() + 128, 4);
  EXPECT_EQ(0x1u, properties);
  CipherHolder again;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(copy, u"v", kMemory, &store, &outcome, &again));
  EXPECT_EQ(0u, outcome);
  StoreRelease(&store, FALSE);
}

INSTANTIATE_TEST_SUITE_P(Threads, HeaderView, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "ClientRequest" : "SystemThread");
                         });

}  // namespace
}  // namespace storetest
