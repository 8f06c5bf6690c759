// A fresh kernel per test with Windows' own drivers, the Plug and Play
// manager and the test port's bus started: tests add disks to the port,
// the disk class driver attaches to them, and every disk is removed again
// before the leak check.
#pragma once

#include "bw/pnp.h"
#include "platform/drivers/tests/system_drivers_fixture.h"
#include "platform/kernel/tests/driver/testport.h"

#include <ntdddisk.h>
#include <wdm.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace bw::test {

inline std::u16string Num(ULONG n) {
  std::u16string s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n);
  return s;
}

class DiskTest : public SystemDriversTest {
 protected:
  void SetUp() override {
    BootedKernelTest::SetUp();
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadSystemDrivers(BW_BIN_DIR, &error)) << error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(BW_BIN_DIR "/testport.sys", u"BwTestPort", &error)) << error;
    std::u16string path;
    ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\BWTESTPORT", u"BwTestPort", &path));
    ASSERT_TRUE(WaitForPnpIdle());
    TakePoolBaseline();
  }

  void TearDown() override {
    for (ULONG ordinal : std::set<ULONG>(disks_)) RemoveDisk(ordinal);
    BootedKernelTest::TearDown();
  }

  // A disk on the port, started with the disk class driver on it.
  ULONG AddDisk(ULONG64 size, ULONG sectorSize = 512, ULONG maxTransfer = 1 << 20, ULONG flags = 0) {
    TestPortDisk shape{size, sectorSize, maxTransfer, flags};
    Bytes input(sizeof shape);
    memcpy(input.data(), &shape, sizeof shape);
    Reply reply = Send(u"\\Device\\BwTestPort", kTestPortAddDisk, input, sizeof(ULONG));
    EXPECT_STATUS(STATUS_SUCCESS, reply.status);
    ULONG ordinal = 0;
    memcpy(&ordinal, reply.output.data(), sizeof ordinal);
    EXPECT_TRUE(WaitForPnpIdle());
    disks_.insert(ordinal);
    return ordinal;
  }

  void RemoveDisk(ULONG ordinal) {
    Bytes input(sizeof ordinal);
    memcpy(input.data(), &ordinal, sizeof ordinal);
    EXPECT_STATUS(STATUS_SUCCESS, Send(u"\\Device\\BwTestPort", kTestPortRemoveDisk, input, 0).status);
    EXPECT_TRUE(WaitForPnpIdle());
    disks_.erase(ordinal);
  }

  TestPortCounts Counts(ULONG ordinal) {
    Bytes input(sizeof ordinal);
    memcpy(input.data(), &ordinal, sizeof ordinal);
    Reply reply = Send(u"\\Device\\BwTestPort", kTestPortCounts, input, sizeof(TestPortCounts));
    EXPECT_STATUS(STATUS_SUCCESS, reply.status);
    TestPortCounts counts{};
    memcpy(&counts, reply.output.data(), sizeof counts);
    return counts;
  }

  static bool Exists(const std::u16string &path) {
    UNICODE_STRING name = View(path);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device))) return false;
    ObDereferenceObject(file);
    return true;
  }

  // Reads or writes through a kernel handle of the named device.
  static NTSTATUS Transfer(const std::u16string &path, bool write, ULONG64 offset, Bytes *data) {
    HANDLE handle = nullptr;
    NTSTATUS status = Open(path, GENERIC_READ | (write ? GENERIC_WRITE : 0), FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &handle);
    if (!NT_SUCCESS(status)) return status;
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    status = write ? ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, data->data(),
                                 static_cast<ULONG>(data->size()), &at, nullptr)
                   : ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, data->data(),
                                static_cast<ULONG>(data->size()), &at, nullptr);
    ZwClose(handle);
    return status;
  }
  static Bytes ReadBytes(const std::u16string &path, ULONG64 offset, size_t length) {
    Bytes data(length);
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(path, false, offset, &data));
    return data;
  }
  static void WriteBytes(const std::u16string &path, ULONG64 offset, Bytes data) {
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(path, true, offset, &data));
  }

  static Bytes Pattern(size_t length, uint8_t seed) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return data;
  }

  // An MBR layout of `entries` (offset and length in bytes, type).
  struct Part {
    ULONG64 offset, length;
    UCHAR type;
  };
  static Bytes Layout(ULONG signature, const std::vector<Part> &parts) {
    ULONG count = parts.size() <= 4 ? 4 : static_cast<ULONG>((parts.size() + 3) / 4 * 4);
    Bytes bytes(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + count * sizeof(PARTITION_INFORMATION_EX));
    auto *layout = reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(bytes.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = count;
    layout->Mbr.Signature = signature;
    for (size_t i = 0; i < parts.size(); ++i) {
      PARTITION_INFORMATION_EX &p = layout->PartitionEntry[i];
      p.PartitionStyle = PARTITION_STYLE_MBR;
      p.StartingOffset.QuadPart = static_cast<LONGLONG>(parts[i].offset);
      p.PartitionLength.QuadPart = static_cast<LONGLONG>(parts[i].length);
      p.Mbr.PartitionType = parts[i].type;
      p.RewritePartition = TRUE;
    }
    return bytes;
  }
  void SetLayout(ULONG disk, const Bytes &layout) {
    ASSERT_STATUS(STATUS_SUCCESS,
                  Send(u"\\??\\PhysicalDrive" + Num(disk), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout, 0).status);
    ASSERT_TRUE(WaitForPnpIdle());
  }

  template <typename T>
  static T Ask(const std::u16string &device, ULONG code, NTSTATUS expected = STATUS_SUCCESS) {
    Reply reply = Send(device, code, {}, sizeof(T));
    EXPECT_STATUS(expected, reply.status);
    T value{};
    memcpy(&value, reply.output.data(), sizeof value);
    return value;
  }

  std::set<ULONG> disks_;
};

}  // namespace bw::test
