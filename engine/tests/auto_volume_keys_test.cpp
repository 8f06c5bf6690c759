// The automatic-volume keys under Options\Auto as the delete and list
// requests see them.
#include "engine/tests/engine_fixture.h"

namespace enginetest {
namespace {

const std::u16string kAuto =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RamvolEngine\\Options\\Auto";

NTSTATUS OpenKey(const std::u16string &path, HANDLE *key, bool create) {
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      const_cast<char16_t *>(path.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return create ? ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr)
                : ZwOpenKey(key, KEY_READ, &attributes);
}

bool Exists(const std::u16string &subkey) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(OpenKey(kAuto + u"\\" + subkey, &key, false))) return false;
  ZwClose(key);
  return true;
}

void Create(const std::u16string &subkey) {
  HANDLE key = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenKey(kAuto + u"\\" + subkey, &key, true));
  ZwClose(key);
}

class AutoVolumeKeys : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(1));
  }
};

TEST_F(AutoVolumeKeys, DeleteAllRemovesOnlyLetterNames) {
  for (auto name : {u"D:", u"e:", u"DD", u"D:x", u"1:", u"Zz"}) Create(name);
  EXPECT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES, nullptr, 0, 0).status);
  EXPECT_FALSE(Exists(u"D:"));
  EXPECT_FALSE(Exists(u"E:"));
  EXPECT_FALSE(Exists(u"DD"));  // two characters, a letter first
  EXPECT_FALSE(Exists(u"Zz"));
  EXPECT_TRUE(Exists(u"D:x"));
  EXPECT_TRUE(Exists(u"1:"));
}

TEST_F(AutoVolumeKeys, DeleteOneUpcasesTheLetter) {
  Create(u"D:");
  Create(u"F:");
  Record request(2);
  request.Put<uint16_t>(0, u'd');
  EXPECT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_DELETE_AUTO_VOLUME, request, 0).status);
  EXPECT_FALSE(Exists(u"D:"));
  EXPECT_TRUE(Exists(u"F:"));
  // Deleting it again finds nothing, which is success.
  EXPECT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_DELETE_AUTO_VOLUME, request, 0).status);
}

TEST_F(AutoVolumeKeys, ListingIgnoresNamesThatAreNoLetters) {
  for (auto name : {u"DD", u"D:x", u"1:"}) Create(name);
  bw::IoResult probe = Control(IOCTL_ENGINE_GET_AUTO_VOLUMES, nullptr, 0, 0);
  EXPECT_STATUS(STATUS_SUCCESS, probe.status);
  EXPECT_EQ(4u, probe.information);
  bw::IoResult list = Control(IOCTL_ENGINE_GET_AUTO_VOLUMES, nullptr, 0, 4);
  EXPECT_STATUS(STATUS_SUCCESS, list.status);
  ASSERT_EQ(4u, list.information);
}

}  // namespace
}  // namespace enginetest
