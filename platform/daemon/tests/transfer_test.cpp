// Reads, writes, flushes and device control from a client process over a
// real ramvold: the test driver's disks opened through GLOBALROOT,
// transfers of every size through the transfer window, the device's rules
// and the I/O manager's seen as Win32 errors, and devio reading and writing.
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace bw::test {
namespace {

constexpr DWORD kEcho = 0x222000;
constexpr DWORD kFillOutDirect = 0x222022;
constexpr DWORD kSumInDirect = 0x222025;
constexpr DWORD kReverseNeither = 0x22202B;
constexpr DWORD kLastRequest = 0x222030;
constexpr DWORD kSector = 512;
constexpr uint64_t kDiskSize = 32 << 20;

// As the test driver records a disk's last request (TestDiskRequest).
struct LastRequest {
  uint64_t userBuffer;
  uint64_t mdlAddress;
  uint32_t mdlBytes;
  uint32_t flags;
  uint32_t requestorMode;
  uint32_t majorFunction;
};
constexpr uint32_t kHadMdl = 0x1, kMdlIsUserBuffer = 0x4, kMdlOfCaller = 0x8,
                   kMappedWhereDescribed = 0x10;
constexpr uint32_t kMajorWrite = 4, kMajorFlush = 9;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed) >> 3);
  return bytes;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--driver", BW_BIN_DIR "/testdrv.sys=BwTest"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  // The daemon ends cleanly: no request, window or buffer left behind.
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()) << daemon_.Output(); }
  HANDLE Open(const char16_t *device, DWORD access = GENERIC_READ | GENERIC_WRITE,
              DWORD flags = 0) {
    std::u16string path = std::u16string(u"\\\\.\\GLOBALROOT\\Device\\") + device;
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
  }
  LastRequest Last(HANDLE disk) {
    LastRequest last{};
    DWORD returned = 0;
    EXPECT_TRUE(
        DeviceIoControl(disk, kLastRequest, nullptr, 0, &last, sizeof last, &returned, nullptr));
    return last;
  }
  std::string Disk(const std::string &device) {
    return "'\\\\.\\GLOBALROOT\\Device\\" + device + "'";
  }
  Daemon daemon_;
};

TEST_F(TransferTest, TransfersOfEverySizeReachTheDiskFromTheCallersWindow) {
  HANDLE disk = Open(u"BwTestDisk");
  ASSERT_NE(INVALID_HANDLE_VALUE, disk) << GetLastError();
  uint64_t offset = 0;
  for (DWORD size : {kSector, 64u << 10, 1u << 20, 16u << 20}) {
    std::vector<uint8_t> out = Pattern(size, size), in(size);
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(disk, out.data(), size, &done, &at)) << size << " " << GetLastError();
    EXPECT_EQ(size, done);
    EXPECT_EQ(size, at.InternalHigh);
    // The disk's MDL described the window the client wrote, at the same
    // address in the daemon: the bytes did not cross in socket frames.
    LastRequest last = Last(disk);
    EXPECT_EQ(kMajorWrite, last.majorFunction);
    EXPECT_EQ(1u, last.requestorMode);
    EXPECT_EQ(kHadMdl | kMdlIsUserBuffer | kMdlOfCaller | kMappedWhereDescribed, last.flags);
    EXPECT_EQ(size, last.mdlBytes);
    EXPECT_LT(last.mdlAddress, 0x80000000u);
    at = At(offset);
    ASSERT_TRUE(ReadFile(disk, in.data(), size, &done, &at)) << size << " " << GetLastError();
    EXPECT_EQ(size, done);
    EXPECT_EQ(out, in) << size;
    offset += size;
  }
  // A single byte, where the device takes any length.
  HANDLE bytes = Open(u"BwTestBytes");
  ASSERT_NE(INVALID_HANDLE_VALUE, bytes);
  uint8_t one = 0x5C, back = 0;
  OVERLAPPED at = At(4321);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(bytes, &one, 1, &done, &at));
  at = At(4321);
  ASSERT_TRUE(ReadFile(bytes, &back, 1, &done, &at));
  EXPECT_EQ(1u, done);
  EXPECT_EQ(0x5C, back);
  // A large write from a buffer at an odd address, of a length that ends
  // within a line, arrives whole, its first and last bytes too.
  const DWORD odd = (300u << 10) + 13;
  std::vector<uint8_t> source = Pattern(odd + 3, 77), returned(odd);
  at = At(5);
  ASSERT_TRUE(WriteFile(bytes, source.data() + 3, odd, &done, &at)) << GetLastError();
  EXPECT_EQ(odd, done);
  at = At(5);
  ASSERT_TRUE(ReadFile(bytes, returned.data(), odd, &done, &at)) << GetLastError();
  EXPECT_TRUE(std::equal(returned.begin(), returned.end(), source.begin() + 3));
  EXPECT_TRUE(CloseHandle(bytes));
  EXPECT_TRUE(CloseHandle(disk));
}

TEST_F(TransferTest, WithoutAnOffsetTheFilePositionMovesOn) {
  HANDLE disk = Open(u"BwTestDisk");
  ASSERT_NE(INVALID_HANDLE_VALUE, disk);
  std::vector<uint8_t> sector(kSector);
  DWORD done = 0;
  for (int i = 0; i < 3; ++i) {
    memset(sector.data(), 'a' + i, kSector);
    ASSERT_TRUE(WriteFile(disk, sector.data(), kSector, &done, nullptr));
  }
  OVERLAPPED at = At(2 * kSector);
  ASSERT_TRUE(ReadFile(disk, sector.data(), kSector, &done, &at));
  EXPECT_EQ('c', sector[0]);
  // A read of the whole read-only disk, then one at its end: a plain
  // synchronous read finds nothing and succeeds; with an offset it fails.
  HANDLE readOnly = Open(u"BwTestReadOnly", GENERIC_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, readOnly);
  std::vector<uint8_t> all(64 << 10);
  ASSERT_TRUE(ReadFile(readOnly, all.data(), static_cast<DWORD>(all.size()), &done, nullptr));
  EXPECT_EQ(all.size(), done);
  EXPECT_EQ(static_cast<uint8_t>(777 ^ 0x5A), all[777]);
  done = 99;
  EXPECT_TRUE(ReadFile(readOnly, all.data(), kSector, &done, nullptr));
  EXPECT_EQ(0u, done);
  at = At(64 << 10);
  EXPECT_FALSE(ReadFile(readOnly, all.data(), kSector, &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), GetLastError());
  EXPECT_EQ(0xC0000011u, at.Internal);
}

TEST_F(TransferTest, RefusalsComeBackAsTheirWin32Errors) {
  HANDLE disk = Open(u"BwTestDisk");
  ASSERT_NE(INVALID_HANDLE_VALUE, disk);
  std::vector<uint8_t> buffer(8192);
  DWORD done = 0;
  OVERLAPPED at = At(100);
  EXPECT_FALSE(ReadFile(disk, buffer.data(), kSector, &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  at = At(kDiskSize - kSector);
  EXPECT_FALSE(WriteFile(disk, buffer.data(), 4096, &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), GetLastError());
  EXPECT_FALSE(ReadFile(disk, nullptr, kSector, &done, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
  // More than any transfer window holds is refused as a transfer too large
  // to lock; the connection serves on.
  const size_t huge = size_t{5} << 28;
  void *region = mmap(nullptr, huge, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(MAP_FAILED, region);
  at = At(0);
  EXPECT_FALSE(ReadFile(disk, region, static_cast<DWORD>(huge), &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES), GetLastError());
  munmap(region, huge);
  EXPECT_TRUE(ReadFile(disk, buffer.data(), kSector, &done, &at));
  // Flushing is for writers.
  EXPECT_TRUE(FlushFileBuffers(disk));
  EXPECT_EQ(kMajorFlush, Last(disk).majorFunction);
  HANDLE reader = Open(u"BwTestDisk", GENERIC_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  EXPECT_FALSE(FlushFileBuffers(reader));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  at = At(0);
  EXPECT_FALSE(WriteFile(reader, buffer.data(), kSector, &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  // A read-only device is not opened for writing; a driver may keep user
  // mode out altogether.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"BwTestReadOnly"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_PROTECT), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"BwTestPrivate", GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"NoSuchDisk", GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // Unbuffered opens move whole sectors from aligned buffers.
  HANDLE unbuffered = Open(u"BwTestDisk", GENERIC_READ, FILE_FLAG_NO_BUFFERING);
  ASSERT_NE(INVALID_HANDLE_VALUE, unbuffered);
  at = At(0);
  EXPECT_FALSE(ReadFile(unbuffered, buffer.data(), 100, &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // The caller's buffer keeps its alignment on its way through the window.
  EXPECT_FALSE(ReadFile(unbuffered, buffer.data() + 1, kSector, &done, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_TRUE(ReadFile(unbuffered, buffer.data(), kSector, &done, &at));
}

TEST_F(TransferTest, DeviceControlKeepsTheMethodsOfItsCodes) {
  HANDLE device = CreateFileW(u"\\\\.\\BwTest", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  DWORD returned = 0;
  // Out-direct, larger than a first window: the output is written in place.
  std::vector<uint8_t> output(4 << 20);
  ASSERT_TRUE(DeviceIoControl(device, kFillOutDirect, const_cast<char *>("xyz"), 3, output.data(),
                              static_cast<DWORD>(output.size()), &returned, nullptr));
  EXPECT_EQ(output.size(), returned);
  EXPECT_EQ('x', output[3]);
  EXPECT_EQ(static_cast<uint8_t>("xyz"[(output.size() - 1) % 3]), output.back());
  // In-direct: the second buffer is data for the device, and comes back
  // untouched.
  std::vector<uint8_t> ones(1 << 20, 1);
  ASSERT_TRUE(DeviceIoControl(device, kSumInDirect, nullptr, 0, ones.data(),
                              static_cast<DWORD>(ones.size()), &returned, nullptr));
  EXPECT_EQ(1u << 20, returned);
  // Neither: the driver sees the caller's addresses, so one buffer for
  // both is one buffer to it as well.
  char text[] = "abcdef";
  ASSERT_TRUE(DeviceIoControl(device, kReverseNeither, text, 6, text, 6, &returned, nullptr));
  EXPECT_STREQ("feddef", text);
  char in[] = "hello", out[8] = {};
  ASSERT_TRUE(DeviceIoControl(device, kReverseNeither, in, 5, out, 5, &returned, nullptr));
  EXPECT_STREQ("olleh", out);
  // Buffered: only what the device returned is copied back.
  char echo[16];
  memset(echo, '#', sizeof echo);
  ASSERT_TRUE(DeviceIoControl(device, kEcho, in, 5, echo, sizeof echo, &returned, nullptr));
  EXPECT_EQ(5u, returned);
  EXPECT_EQ(0, memcmp(echo, "hello#", 6));
  CloseHandle(device);
}

TEST_F(TransferTest, ThreadsTransferAtOnceThroughWindowsOfTheirOwn) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      HANDLE disk = Open(u"BwTestDisk");
      if (disk == INVALID_HANDLE_VALUE) return;
      bool same = true;
      for (int i = 0; i < 40 && same; ++i) {
        DWORD size = (64u << 10) * (1 + i % 3);
        std::vector<uint8_t> out = Pattern(size, t * 1000 + i), in(size);
        OVERLAPPED at = At(static_cast<uint64_t>(t) * (4 << 20));
        DWORD done = 0;
        same = WriteFile(disk, out.data(), size, &done, &at) &&
               ReadFile(disk, in.data(), size, &done, &at) && in == out;
      }
      if (same) ++good;
      CloseHandle(disk);
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(4, good.load());
}

TEST_F(TransferTest, DevioReadsAndWrites) {
  std::string hex;
  for (int i = 0; i < 512; ++i) hex += (i ? " " : "") + std::string(i % 2 ? "A5" : "3C");
  int code = -1;
  EXPECT_EQ("status=0x00000000 information=512\n",
            Devio(daemon_, Disk("BwTestDisk") + " --write 0x400 '" + hex + "'", &code));
  EXPECT_EQ(0, code);
  std::string read = Devio(daemon_, Disk("BwTestDisk") + " --read 1024 512", &code);
  EXPECT_EQ(0u, read.find("status=0x00000000 information=512\n3C A5 3C A5 ")) << read;
  EXPECT_EQ(0, code);
  EXPECT_EQ("status=0x00000000 information=3\n",
            Devio(daemon_, Disk("BwTestBytes") + " --write 7 0102ff", &code));
  EXPECT_EQ("status=0x00000000 information=3\n01 02 FF\n",
            Devio(daemon_, "--wow64 " + Disk("BwTestBytes") + " --read 7 3", &code));
  EXPECT_EQ(0, code);
  // Failures print their status and end the program with 1.
  EXPECT_EQ("status=0xC0000011 information=0\n\n",
            Devio(daemon_, Disk("BwTestDisk") + " --read 33554432 512", &code));
  EXPECT_EQ(1, code);
  EXPECT_EQ("status=0xC000000D information=0\n",
            Devio(daemon_, Disk("BwTestDisk") + " --write 1 00", &code));
  EXPECT_EQ(1, code);
  read = Devio(daemon_, Disk("BwTestReadOnly") + " --read 0 512", &code);
  EXPECT_EQ(0u, read.find("status=0x00000000 information=512\n5A 5B 58 59 ")) << read;
  std::string refused = Devio(daemon_, Disk("BwTestReadOnly") + " --write 0 00", &code);
  EXPECT_NE(std::string::npos, refused.find("(error 19, ERROR_WRITE_PROTECT)")) << refused;
  EXPECT_EQ(1, code);
  // Device control on a device that cannot be written still works.
  EXPECT_EQ("status=0xC0000010 information=0\n\n",
            Devio(daemon_, Disk("BwTestReadOnly") + " 0x222FFC", &code));
  EXPECT_EQ(1, code);
  std::string help = Devio(daemon_, "--help", &code);
  EXPECT_EQ(0, code);
  EXPECT_NE(std::string::npos, help.find("--read OFFSET LENGTH")) << help;
  EXPECT_NE(std::string::npos, help.find("--write OFFSET HEX")) << help;
  Devio(daemon_, Disk("BwTestDisk") + " --read 0", &code);
  EXPECT_EQ(2, code);
}

}  // namespace
}  // namespace bw::test
