// A fresh kernel per test with Windows' own drivers (the mount manager and
// the raw file system) and the test driver's disks loaded, and the kernel
// calls the tests of those drivers share.
#pragma once

#include "bw/host.h"
#include "bw/user_session.h"
#include "platform/kernel/tests/driver/testdrv_disk.h"
#include "tests/support/booted_kernel.h"
#include "tests/support/status_matchers.h"

#include <mountmgr.h>
#include <ntdddisk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace bw::test {

using Bytes = std::vector<uint8_t>;

inline UNICODE_STRING View(const std::u16string &text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<char16_t *>(text.data())};
}

struct Reply {
  NTSTATUS status;
  ULONG_PTR information;
  Bytes output;
};

class SystemDriversTest : public BootedKernelTest {
 protected:
  void SetUp() override {
    BootedKernelTest::SetUp();
    LoadDrivers();
  }

  void LoadDrivers() {
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadSystemDrivers(BW_BIN_DIR, &error)) << error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(BW_BIN_DIR "/testdrv.sys", u"BwTest", &error)) << error;
    // The driver's disks stay until the kernel shuts down.
    TakePoolBaseline();
  }

  // A device-control request sent by kernel code to a device by name, the
  // way drivers reach the mount manager (no handle, no access check).
  static Reply Send(const std::u16string &device, ULONG code, const Bytes &input, ULONG outputLength) {
    Reply reply{STATUS_UNSUCCESSFUL, 0, Bytes(outputLength)};
    UNICODE_STRING name = View(device);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT target = nullptr;
    reply.status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &target);
    if (!NT_SUCCESS(reply.status)) return reply;
    Bytes in = input;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()),
                                             outputLength ? reply.output.data() : nullptr, outputLength, FALSE,
                                             &event, &iosb);
    reply.status = IoCallDriver(target, irp);
    if (reply.status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      reply.status = iosb.Status;
    }
    reply.information = iosb.Information;
    ObDereferenceObject(file);
    return reply;
  }

  // Changes what a test disk answers as its unique id and suggested link.
  static void SetIdentity(const std::u16string &disk, const Bytes &uniqueId, const std::u16string &suggested) {
    Bytes input(sizeof(TestDiskIdentity));
    TestDiskIdentity identity{static_cast<USHORT>(uniqueId.size()), static_cast<USHORT>(suggested.size() * 2)};
    memcpy(input.data(), &identity, sizeof identity);
    input.insert(input.end(), uniqueId.begin(), uniqueId.end());
    auto *text = reinterpret_cast<const uint8_t *>(suggested.data());
    input.insert(input.end(), text, text + suggested.size() * 2);
    ASSERT_STATUS(STATUS_SUCCESS, Send(disk, kTestDiskSetIdentity, input, 0).status);
  }

  static TestDiskLinkLog LinkLog(const std::u16string &disk) {
    TestDiskLinkLog log{};
    Reply reply = Send(disk, kTestDiskLinkLog, {}, sizeof log);
    EXPECT_STATUS(STATUS_SUCCESS, reply.status);
    memcpy(&log, reply.output.data(), sizeof log);
    return log;
  }

  // Where a symbolic link points, empty when there is no such link.
  static std::u16string LinkTarget(const std::u16string &link) {
    UNICODE_STRING name = View(link);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes))) return {};
    std::u16string buffer(512, u'\0');
    UNICODE_STRING target{0, static_cast<USHORT>(buffer.size() * 2), buffer.data()};
    ULONG length = 0;
    NTSTATUS status = ZwQuerySymbolicLinkObject(handle, &target, &length);
    ZwClose(handle);
    return NT_SUCCESS(status) ? std::u16string(buffer.data(), target.Length / 2) : std::u16string();
  }

  // A kernel handle to a device, opened with the given access and sharing.
  static NTSTATUS Open(const std::u16string &path, ACCESS_MASK access, ULONG share, HANDLE *handle) {
    UNICODE_STRING name = View(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(handle, access, &attributes, &iosb, nullptr, 0, share, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }
};

}  // namespace bw::test
