// The Zw...Key calls over the machine registry, persisted across boots.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <fstream>

namespace bw::test {
namespace {

class RegistryZwTest : public KernelTest {
 protected:
  NTSTATUS Create(PCWSTR path, HANDLE *key, ULONG *disposition = nullptr) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
  }
};

TEST_F(RegistryZwTest, ValuesSurviveARestart) {
  HANDLE key;
  ULONG disposition = 0;
  ASSERT_STATUS(STATUS_SUCCESS,
                Create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Test", &key,
                       &disposition));
  EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
  UNICODE_STRING value = RTL_CONSTANT_STRING(u"Answer");
  ULONG data = 42;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetValueKey(key, &value, 0, REG_DWORD, &data, sizeof data));
  ZwClose(key);
  KernelShutdown();
  std::string error;
  BootOptions options;
  options.root = root_;
  ASSERT_STATUS(STATUS_SUCCESS, KernelBoot(options, &error)) << error;
  ASSERT_STATUS(STATUS_SUCCESS,
                Create(u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\test", &key,
                       &disposition));
  EXPECT_EQ(static_cast<ULONG>(REG_OPENED_EXISTING_KEY), disposition);
  UCHAR buffer[64];
  ULONG length = 0;
  ASSERT_STATUS(STATUS_SUCCESS, ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer,
                                                sizeof buffer, &length));
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(static_cast<ULONG>(REG_DWORD), info->Type);
  ASSERT_EQ(4u, info->DataLength);
  EXPECT_EQ(42u, *reinterpret_cast<ULONG *>(info->Data));
  // Too small for the header; big enough for the header only.
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL,
                ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, 4, &length));
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW,
                ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, 12, &length));
  EXPECT_EQ(16u, length);
  ZwClose(key);
}

TEST_F(RegistryZwTest, MissingKeysAndHandlesFailAsOnWindows) {
  HANDLE key;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Create(u"\\Registry\\Machine\\NoParent\\Child", &key));
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\Nothing");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, ZwOpenKey(&key, KEY_READ, &oa));
  UNICODE_STRING value = RTL_CONSTANT_STRING(u"x");
  ULONG data = 1;
  EXPECT_STATUS(STATUS_INVALID_HANDLE,
                ZwSetValueKey(reinterpret_cast<HANDLE>(uintptr_t{0x1234}), &value, 0, REG_DWORD,
                              &data, 4));
}

TEST_F(RegistryZwTest, ADamagedRegistryFileStopsTheBootWithItsName) {
  KernelShutdown();
  {
    std::ofstream file(root_ + "/registry.dat", std::ios::trunc);
    file << "garbage that is not a registry";
  }
  std::string error;
  BootOptions options;
  options.root = root_;
  EXPECT_FALSE(NT_SUCCESS(KernelBoot(options, &error)));
  EXPECT_NE(std::string::npos, error.find(root_ + "/registry.dat")) << error;
  // The damaged file is left for the user to look at, not replaced.
  std::ifstream file(root_ + "/registry.dat");
  std::string contents((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ("garbage that is not a registry", contents);
  ASSERT_STATUS(STATUS_SUCCESS, (options.root = "", KernelBoot(options, &error)));
}

}  // namespace
}  // namespace bw::test
