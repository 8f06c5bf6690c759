// Host files through the kernel: names on drive Z: for files in the test's
// temporary folder, and the Zw calls a driver would make on them.
#pragma once

#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

namespace bw::test {

class HostFsTest : public KernelTest {
 protected:
  void TearDown() override {
    SetHostSectorSize(0);
    KernelTest::TearDown();
  }

  std::string Host(const std::string &name) const { return root_ + "/" + name; }

  // "\??\Z:\tmp\bw-test-x\name"
  std::u16string Nt(const std::string &name) const {
    std::u16string path = u"\\??\\Z:";
    for (char c : Host(name)) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
    return path;
  }

  NTSTATUS Open(HANDLE *handle, const std::string &name, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                ULONG_PTR *information = nullptr) {
    std::u16string path = Nt(name);
    UNICODE_STRING us{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    *handle = nullptr;
    NTSTATUS status = ZwCreateFile(handle, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   share, disposition, options, nullptr, 0);
    if (information) *information = iosb.Information;
    return status;
  }

  // Runs a Zw call that takes OBJECT_ATTRIBUTES for `name`.
  template <typename F>
  NTSTATUS ByName(const std::string &name, F call) {
    std::u16string path = Nt(name);
    UNICODE_STRING us{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return call(&oa);
  }

  NTSTATUS Write(HANDLE h, const std::string &data, LONGLONG offset, ULONG_PTR *done = nullptr) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<char *>(data.data()),
                                  static_cast<ULONG>(data.size()), &at, nullptr);
    if (done) *done = iosb.Information;
    return status;
  }

  NTSTATUS Read(HANDLE h, std::string *data, ULONG length, LONGLONG offset) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    data->assign(length, '\0');
    NTSTATUS status =
        ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, data->data(), length, &at, nullptr);
    data->resize(NT_SUCCESS(status) ? iosb.Information : 0);
    return status;
  }

  LONGLONG EndOfFile(HANDLE h) {
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &iosb, &info, sizeof info,
                                                         FileStandardInformation));
    return info.EndOfFile.QuadPart;
  }

  NTSTATUS SetEndOfFile(HANDLE h, LONGLONG size) {
    FILE_END_OF_FILE_INFORMATION info;
    info.EndOfFile.QuadPart = size;
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(h, &iosb, &info, sizeof info, FileEndOfFileInformation);
  }

  void MakeFile(const std::string &name, const std::string &content) {
    std::ofstream(Host(name), std::ios::binary) << content;
  }
  std::string HostContent(const std::string &name) {
    std::ifstream in(Host(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool HostExists(const std::string &name) {
    struct stat st;
    return stat(Host(name).c_str(), &st) == 0;
  }
};

}  // namespace bw::test
