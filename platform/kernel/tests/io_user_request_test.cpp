// Requests of user threads as the I/O manager builds them: reads, writes
// and flushes on the test driver's disks, the methods of device control,
// opens through GLOBALROOT, read-only devices and opens a driver refuses,
// and what a user caller's buffers must be.
#include "platform/kernel/tests/driver/testdrv_disk.h"
#include "platform/kernel/tests/kernel_fixture.h"

#include <sys/mman.h>

#include <cstring>
#include <thread>
#include <vector>

namespace bw::test {
namespace {

constexpr ULONG kFillOutDirect = 0x222022;
constexpr ULONG kSumInDirect = 0x222025;
constexpr ULONG kReverseNeither = 0x22202B;
constexpr ULONG kEcho = 0x222000;
constexpr ULONG kIoTag = 0x20206F49;   // system buffers
constexpr ULONG kMdlTag = 0x206C644D;  // MDLs
constexpr ULONG kSector = 512;
constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_NONALERT;

// Memory a test hands over as the client's own: below 2 GiB, where ramvold
// maps the windows it shares with clients.
class UserMemory {
 public:
  explicit UserMemory(size_t bytes) : size_(bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                   -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
  }
  ~UserMemory() {
    if (data_) munmap(data_, size_);
  }
  uint8_t *data() { return data_; }

 private:
  size_t size_;
  uint8_t *data_;
};

LARGE_INTEGER At(LONGLONG offset) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  return at;
}

void Fill(uint8_t *bytes, size_t length, uint32_t seed) {
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed) >> 3);
}

class UserRequestTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(BW_BIN_DIR "/testdrv.sys", u"BwTest", &error))
        << error;
    // The driver's devices stay until the kernel shuts down.
    TakePoolBaseline();
    ProcessOptions options;
    options.uid = 1000;
    options.gid = 1000;
    process_ = CreateUserProcess(options);
    thread_ = process_->CreateThread(1);
  }
  void TearDown() override {
    thread_.reset();
    process_.reset();
    KernelTest::TearDown();
  }

  NTSTATUS Open(const char16_t *path, ACCESS_MASK access, ULONG options, HANDLE *handle) {
    return process_->CreateFile(*thread_, path, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                FILE_OPEN, options, handle);
  }
  HANDLE OpenDisk(const char16_t *name = u"BwTestDisk", ULONG options = 0,
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
    HANDLE handle = nullptr;
    std::u16string path = std::u16string(u"\\??\\GLOBALROOT\\Device\\") + name;
    EXPECT_STATUS(STATUS_SUCCESS, Open(path.c_str(), access, options, &handle));
    return handle;
  }
  TestDiskRequest LastRequest(HANDLE disk) {
    TestDiskRequest last{};
    IoResult r =
        process_->DeviceIoControl(*thread_, disk, kTestDiskLastRequest, nullptr, 0, sizeof last);
    EXPECT_STATUS(STATUS_SUCCESS, r.status);
    if (r.output.size() == sizeof last) memcpy(&last, r.output.data(), sizeof last);
    return last;
  }
  IoResult Write(HANDLE h, void *buffer, ULONG length, LONGLONG offset) {
    LARGE_INTEGER at = At(offset);
    return process_->NtWriteFile(*thread_, h, buffer, length, &at);
  }
  IoResult Read(HANDLE h, void *buffer, ULONG length, LONGLONG offset) {
    LARGE_INTEGER at = At(offset);
    return process_->NtReadFile(*thread_, h, buffer, length, &at);
  }

  std::shared_ptr<UserProcess> process_;
  std::shared_ptr<UserThread> thread_;
};

TEST_F(UserRequestTest, GlobalRootReachesTheObjectNamespaceRoot) {
  HANDLE handle = nullptr;
  EXPECT_STATUS(STATUS_SUCCESS,
                Open(u"\\??\\GLOBALROOT\\Device\\BwTestDisk", GENERIC_READ, 0, &handle));
  EXPECT_STATUS(STATUS_SUCCESS, process_->Close(handle));
  EXPECT_STATUS(STATUS_SUCCESS,
                Open(u"\\??\\GLOBALROOT\\GLOBAL??\\BwTest", GENERIC_READ, 0, &handle));
  EXPECT_STATUS(STATUS_SUCCESS, process_->Close(handle));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                Open(u"\\??\\GLOBALROOT\\Device\\NoSuchDisk", GENERIC_READ, 0, &handle));
}

TEST_F(UserRequestTest, DirectTransfersLockTheCallersOwnPages) {
  HANDLE disk = OpenDisk();
  UserMemory memory(2 * 4096);
  uint8_t *out = memory.data();
  uint8_t *in = memory.data() + 4096;
  Fill(out, 4096, 7);
  IoResult r = Write(disk, out, 4096, 8192);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(4096u, r.information);
  TestDiskRequest last = LastRequest(disk);
  EXPECT_EQ(static_cast<ULONG>(IRP_MJ_WRITE), last.majorFunction);
  EXPECT_EQ(static_cast<ULONG>(UserMode), last.requestorMode);
  EXPECT_EQ(reinterpret_cast<ULONG64>(out), last.userBuffer);
  EXPECT_EQ(reinterpret_cast<ULONG64>(out), last.mdlAddress);
  EXPECT_EQ(4096u, last.mdlBytes);
  // The MDL describes the caller's pages, of the caller's process, and the
  // driver's system address for it is that very memory: no copy between.
  EXPECT_EQ(kTestDiskHadMdl | kTestDiskMdlIsUserBuffer | kTestDiskMdlOfCaller |
                kTestDiskMappedWhereDescribed,
            last.flags);
  r = Read(disk, in, 4096, 8192);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(4096u, r.information);
  EXPECT_EQ(0, memcmp(out, in, 4096));
  EXPECT_EQ(static_cast<ULONG>(IRP_MJ_READ), LastRequest(disk).majorFunction);
  EXPECT_STATUS(STATUS_SUCCESS, process_->Close(disk));
  EXPECT_EQ(0u, PoolBytesWithTag(kIoTag));
  EXPECT_EQ(0u, PoolBytesWithTag(kMdlTag));
}

TEST_F(UserRequestTest, BufferedTransfersPassThroughASystemBuffer) {
  HANDLE bytes = OpenDisk(u"BwTestBytes");
  UserMemory memory(4096);
  uint8_t *buffer = memory.data();
  buffer[0] = 0xA5;
  IoResult r = Write(bytes, buffer, 1, 777);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(1u, r.information);
  TestDiskRequest last = LastRequest(bytes);
  EXPECT_EQ(static_cast<ULONG>(kTestDiskHadSystemBuffer), last.flags);
  EXPECT_EQ(reinterpret_cast<ULONG64>(buffer), last.userBuffer);
  buffer[1] = 0;
  r = Read(bytes, buffer + 1, 1, 777);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(0xA5, buffer[1]);
  // Only what the device returned is copied back.
  memset(buffer, 0xEE, 16);
  r = Read(bytes, buffer, 16, (1 << 20) - 4);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(4u, r.information);
  EXPECT_EQ(0xEE, buffer[4]);
  process_->Close(bytes);
  EXPECT_EQ(0u, PoolBytesWithTag(kIoTag));
}

TEST_F(UserRequestTest, TransfersOfEverySizeUpToSixteenMegabytes) {
  HANDLE disk = OpenDisk();
  const ULONG sizes[] = {kSector, 64 << 10, 1 << 20, 16 << 20};
  UserMemory memory(2 * (16 << 20));
  uint8_t *out = memory.data();
  uint8_t *in = memory.data() + (16 << 20);
  LONGLONG offset = 0;
  for (ULONG size : sizes) {
    Fill(out, size, size);
    IoResult r = Write(disk, out, size, offset);
    ASSERT_STATUS(STATUS_SUCCESS, r.status) << size;
    EXPECT_EQ(size, r.information);
    memset(in, 0, size);
    r = Read(disk, in, size, offset);
    ASSERT_STATUS(STATUS_SUCCESS, r.status) << size;
    EXPECT_EQ(size, r.information);
    EXPECT_EQ(0, memcmp(out, in, size)) << size;
    offset += size;
  }
  HANDLE bytes = OpenDisk(u"BwTestBytes");
  out[0] = 0x3C;
  ASSERT_STATUS(STATUS_SUCCESS, Write(bytes, out, 1, 12345).status);
  in[0] = 0;
  EXPECT_EQ(1u, Read(bytes, in, 1, 12345).information);
  EXPECT_EQ(0x3C, in[0]);
}

TEST_F(UserRequestTest, TheDisksRulesComeBackUnchanged) {
  HANDLE disk = OpenDisk();
  UserMemory memory(8192);
  uint8_t *buffer = memory.data();
  const LONGLONG size = 32 << 20;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Write(disk, buffer, 100, 0).status);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(disk, buffer, kSector, 100).status);
  EXPECT_STATUS(STATUS_END_OF_FILE, Read(disk, buffer, kSector, size).status);
  EXPECT_STATUS(STATUS_END_OF_FILE, Read(disk, buffer, kSector, size + 4096).status);
  IoResult r = Read(disk, buffer, 4096, size - kSector);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(kSector, r.information);
  // A write that does not fit is refused whole.
  EXPECT_STATUS(STATUS_END_OF_FILE, Write(disk, buffer, 4096, size - kSector).status);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(disk, buffer, kSector, -LONGLONG{kSector}).status);
  EXPECT_STATUS(STATUS_SUCCESS, Read(disk, buffer, 0, 0).status);
  EXPECT_EQ(0u, LastRequest(disk).flags);  // nothing to describe for no bytes
}

TEST_F(UserRequestTest, SynchronousFilesMoveOnByWhatWasTransferred) {
  HANDLE disk = OpenDisk(u"BwTestDisk", kSynchronous);
  UserMemory memory(4 * kSector);
  uint8_t *buffer = memory.data();
  for (int i = 0; i < 3; ++i) {
    memset(buffer, 'a' + i, kSector);
    IoResult r = process_->NtWriteFile(*thread_, disk, buffer, kSector, nullptr);
    ASSERT_STATUS(STATUS_SUCCESS, r.status);
  }
  // The position is the file object's: reads at it continue where writes left.
  ASSERT_STATUS(STATUS_SUCCESS, Read(disk, buffer, kSector, kSector).status);
  EXPECT_EQ('b', buffer[0]);
  ASSERT_STATUS(STATUS_SUCCESS,
                process_->NtReadFile(*thread_, disk, buffer, kSector, nullptr).status);
  EXPECT_EQ('c', buffer[0]);
  LARGE_INTEGER current = At(0);
  current.HighPart = -1;
  current.LowPart = FILE_USE_FILE_POINTER_POSITION;
  ASSERT_STATUS(STATUS_SUCCESS,
                process_->NtReadFile(*thread_, disk, buffer, kSector, &current).status);
  EXPECT_EQ(0, buffer[0]);  // past what was written
  // Without a position of its own a file needs offsets.
  HANDLE plain = OpenDisk();
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                process_->NtReadFile(*thread_, plain, buffer, kSector, nullptr).status);
}

TEST_F(UserRequestTest, RequestsOnOneSynchronousFileTakeTurns) {
  // Two threads append sectors at the shared position: each sector is
  // written exactly once when the requests take turns.
  HANDLE disk = OpenDisk(u"BwTestDisk", kSynchronous);
  constexpr int kPerThread = 200;
  auto writer = [&](uint8_t mark) {
    auto thread = process_->CreateThread(10 + mark);
    UserMemory memory(kSector);
    memset(memory.data(), mark, kSector);
    for (int i = 0; i < kPerThread; ++i)
      EXPECT_STATUS(STATUS_SUCCESS,
                    process_->NtWriteFile(*thread, disk, memory.data(), kSector, nullptr).status);
  };
  std::thread first(writer, 1), second(writer, 2);
  first.join();
  second.join();
  UserMemory memory(2 * kPerThread * kSector);
  ASSERT_STATUS(STATUS_SUCCESS, Read(disk, memory.data(), 2 * kPerThread * kSector, 0).status);
  int marks[3] = {};
  for (int i = 0; i < 2 * kPerThread; ++i) marks[memory.data()[i * kSector] % 3]++;
  EXPECT_EQ(0, marks[0]);
  EXPECT_EQ(kPerThread, marks[1]);
  EXPECT_EQ(kPerThread, marks[2]);
}

TEST_F(UserRequestTest, FlushesReachTheDeviceForWritersOnly) {
  HANDLE reader = OpenDisk(u"BwTestDisk", 0, GENERIC_READ);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, process_->NtFlushBuffersFile(*thread_, reader).status);
  HANDLE writer = OpenDisk();
  EXPECT_STATUS(STATUS_SUCCESS, process_->NtFlushBuffersFile(*thread_, writer).status);
  TestDiskRequest last = LastRequest(writer);
  EXPECT_EQ(static_cast<ULONG>(IRP_MJ_FLUSH_BUFFERS), last.majorFunction);
  EXPECT_EQ(static_cast<ULONG>(UserMode), last.requestorMode);
  // Nor may a reader write, nor a writer read.
  UserMemory memory(kSector);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Write(reader, memory.data(), kSector, 0).status);
  HANDLE writeOnly = OpenDisk(u"BwTestDisk", 0, GENERIC_WRITE);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Read(writeOnly, memory.data(), kSector, 0).status);
}

TEST_F(UserRequestTest, ReadOnlyDevicesAreNotOpenedForWriting) {
  HANDLE handle = nullptr;
  const char16_t *path = u"\\??\\GLOBALROOT\\Device\\BwTestReadOnly";
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Open(path, GENERIC_WRITE, 0, &handle));
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Open(path, FILE_APPEND_DATA, 0, &handle));
  ASSERT_STATUS(STATUS_SUCCESS, Open(path, GENERIC_READ, 0, &handle));
  UserMemory memory(kSector);
  ASSERT_STATUS(STATUS_SUCCESS, Read(handle, memory.data(), kSector, kSector).status);
  EXPECT_EQ(static_cast<uint8_t>(kSector ^ 0x5A), memory.data()[0]);
  // Asking for the most there is gives read access only.
  HANDLE most = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(path, MAXIMUM_ALLOWED, 0, &most));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Write(most, memory.data(), kSector, 0).status);
  // Kernel callers are held to it as well.
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestReadOnly");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  HANDLE kernel = nullptr;
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED,
                ZwCreateFile(&kernel, GENERIC_READ | GENERIC_WRITE, &oa, &iosb, nullptr, 0,
                             FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0));
}

TEST_F(UserRequestTest, ADriverMayKeepUserModeOut) {
  HANDLE handle = nullptr;
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                Open(u"\\??\\GLOBALROOT\\Device\\BwTestPrivate", GENERIC_READ, 0, &handle));
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestPrivate");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS, ZwCreateFile(&handle, GENERIC_READ, &oa, &iosb, nullptr, 0,
                                             FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0));
  ZwClose(handle);
}

TEST_F(UserRequestTest, UserBuffersMustBeUserMemory) {
  HANDLE disk = OpenDisk();
  std::vector<uint8_t> system(kSector);  // host heap: system space to the kernel
  EXPECT_STATUS(STATUS_ACCESS_VIOLATION, Read(disk, system.data(), kSector, 0).status);
  EXPECT_STATUS(STATUS_ACCESS_VIOLATION, Write(disk, system.data(), kSector, 0).status);
  EXPECT_STATUS(STATUS_ACCESS_VIOLATION, Read(disk, nullptr, kSector, 0).status);
  HANDLE device = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\BwTest", GENERIC_READ, 0, &device));
  UserMemory memory(4096);
  EXPECT_STATUS(
      STATUS_ACCESS_VIOLATION,
      process_->NtDeviceIoControlFile(*thread_, device, kEcho, memory.data(), 4, system.data(), 4)
          .status);
  // METHOD_NEITHER leaves the probe to the driver, which refuses too.
  EXPECT_STATUS(STATUS_ACCESS_VIOLATION,
                process_
                    ->NtDeviceIoControlFile(*thread_, device, kReverseNeither, memory.data(), 4,
                                            system.data(), 4)
                    .status);
}

TEST_F(UserRequestTest, UnbufferedFilesTransferWholeSectorsFromAlignedBuffers) {
  HANDLE disk = OpenDisk(u"BwTestDisk", FILE_NO_INTERMEDIATE_BUFFERING);
  UserMemory memory(8192);
  ASSERT_STATUS(STATUS_SUCCESS, Write(disk, memory.data(), kSector, 0).status);
  // Refused by the I/O manager before the driver sees them.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Write(disk, memory.data() + 1, kSector, 0).status);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(disk, memory.data(), kSector + 1, 0).status);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(disk, memory.data(), kSector, 100).status);
  TestDiskRequest last = LastRequest(disk);
  EXPECT_EQ(static_cast<ULONG>(IRP_MJ_WRITE), last.majorFunction);
  EXPECT_EQ(reinterpret_cast<ULONG64>(memory.data()), last.userBuffer);
}

TEST_F(UserRequestTest, DeviceControlHonoursTheMethodOfTheCode) {
  HANDLE device = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\BwTest", GENERIC_READ, 0, &device));
  UserMemory memory(4096);
  uint8_t *input = memory.data();
  uint8_t *output = memory.data() + 2048;
  // Out-direct: the output is the caller's pages, written in place.
  memcpy(input, "abc", 3);
  IoResult r =
      process_->NtDeviceIoControlFile(*thread_, device, kFillOutDirect, input, 3, output, 10);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(10u, r.information);
  EXPECT_EQ(0, memcmp(output, "abcabcabca", 10));
  // In-direct: the "output" buffer is data for the device.
  const uint8_t data[] = {1, 2, 3, 250};
  memcpy(output, data, sizeof data);
  r = process_->NtDeviceIoControlFile(*thread_, device, kSumInDirect, nullptr, 0, output, 4);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(256u, r.information);
  // Neither: the driver works on the caller's addresses themselves.
  memcpy(input, "hello", 5);
  r = process_->NtDeviceIoControlFile(*thread_, device, kReverseNeither, input, 5, output, 5);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(0, memcmp(output, "olleh", 5));
  // Buffered: what the driver returned, copied into the caller's buffer.
  memset(output, 0, 16);
  r = process_->NtDeviceIoControlFile(*thread_, device, kEcho, input, 5, output, 16);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(5u, r.information);
  EXPECT_EQ(0, memcmp(output, "hello", 5));
  // The copying form reaches the same methods.
  r = process_->DeviceIoControl(*thread_, device, kFillOutDirect, "xy", 2, 5);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(std::vector<uint8_t>({'x', 'y', 'x', 'y', 'x'}), r.output);
  EXPECT_EQ(0u, PoolBytesWithTag(kIoTag));
}

}  // namespace
}  // namespace bw::test
