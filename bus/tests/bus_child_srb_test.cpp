// SCSI request blocks and plain reads and writes of a child disk.
#include "bus/tests/bus_fixture.h"
#include "tests/support/status_matchers.h"

#include <scsi.h>
#include <srb.h>

#include <gtest/gtest.h>

#include <cstring>

namespace bus_test {
namespace {

constexpr uint64_t kSize = 1 << 20;  // 2048 blocks of 512 bytes
constexpr uint64_t kBlocks = kSize / 512;
constexpr ULONG kBufferTag = 0x74737442;  // "Btst"

struct SrbResult {
  NTSTATUS status;
  UCHAR srbStatus;
  ULONG transferred;
  ULONG_PTR information;
};

// A nonpaged buffer with an MDL over it, as the disk class driver sends.
struct DataBuffer {
  explicit DataBuffer(ULONG length) : length(length) {
    data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length ? length : 1, kBufferTag));
    std::memset(data, 0xEE, length);
    mdl = IoAllocateMdl(data, length ? length : 1, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
  }
  ~DataBuffer() {
    IoFreeMdl(mdl);
    ExFreePoolWithTag(data, kBufferTag);
  }
  ULONG length;
  PUCHAR data;
  PMDL mdl;
};

class BusChildSrb : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    ASSERT_STATUS(STATUS_SUCCESS, AddDisk(DiskRequest(0x5A, kSize), &child_));
    std::lock_guard<std::mutex> lock(Engine().mutex);
    std::vector<uint8_t> &bytes = Engine().disks[0x5A];
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 512 + i);
  }

  // Sends an SRB; Cdb's size is the CDB length. DataTransferLength is
  // `length`; the MDL (when given) covers the whole buffer.
  SrbResult Send(UCHAR function, std::vector<UCHAR> cdb, ULONG length, DataBuffer *buffer, bool withMdl = true,
                 PVOID dataBuffer = nullptr, bool raised = false) {
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(srb);
    srb.Function = function;
    srb.CdbLength = static_cast<UCHAR>(cdb.size());
    if (!cdb.empty()) std::memcpy(srb.Cdb, cdb.data(), cdb.size());
    srb.DataTransferLength = length;
    srb.DataBuffer = dataBuffer ? dataBuffer : buffer ? buffer->data : nullptr;
    srb.ScsiStatus = 0xFF;
    PIRP irp = IoAllocateIrp(child_->StackSize, FALSE);
    irp->MdlAddress = buffer && withMdl ? buffer->mdl : nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = &srb;
    KIRQL old = PASSIVE_LEVEL;
    if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
      KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }, &done, TRUE, TRUE, TRUE);
    NTSTATUS returned = IoCallDriver(child_, irp);
    if (raised) KeLowerIrql(old);
    if (raised) {
      EXPECT_STATUS(STATUS_PENDING, returned);
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    SrbResult result{irp->IoStatus.Status, srb.SrbStatus, srb.DataTransferLength, irp->IoStatus.Information};
    EXPECT_EQ(0, srb.ScsiStatus);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    return result;
  }

  static std::vector<UCHAR> Rw10(UCHAR op, uint32_t lba, uint16_t blocks) {
    return {op, 0, UCHAR(lba >> 24), UCHAR(lba >> 16), UCHAR(lba >> 8), UCHAR(lba), 0, UCHAR(blocks >> 8), UCHAR(blocks), 0};
  }
  static std::vector<UCHAR> Rw16(UCHAR op, uint64_t lba, uint32_t blocks) {
    std::vector<UCHAR> cdb(16, 0);
    cdb[0] = op;
    for (int i = 0; i < 8; ++i) cdb[2 + i] = UCHAR(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) cdb[10 + i] = UCHAR(blocks >> (24 - 8 * i));
    return cdb;
  }

  PDEVICE_OBJECT child_ = nullptr;
};

uint64_t BigEndian(const UCHAR *bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

TEST_F(BusChildSrb, TransfersEndAtTheLastBlock) {
  DataBuffer buffer(8 * 512);
  SrbResult last = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw10(SCSIOP_READ, kBlocks - 1, 8), 8 * 512, &buffer);
  EXPECT_STATUS(STATUS_SUCCESS, last.status);
  EXPECT_EQ(SRB_STATUS_SUCCESS, last.srbStatus);
  EXPECT_EQ(512u, last.transferred);
  EXPECT_EQ(512u, last.information);
  EXPECT_EQ(0, std::memcmp(buffer.data, Engine().disks[0x5A].data() + kSize - 512, 512));

  SrbResult beyond = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw10(SCSIOP_READ, kBlocks, 1), 512, &buffer);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, beyond.status);
  EXPECT_EQ(SRB_STATUS_BAD_SRB_BLOCK_LENGTH, beyond.srbStatus);
  // An LBA whose byte offset wraps 64 bits is beyond the end too.
  SrbResult wrapped = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw16(SCSIOP_READ16, 1ull << 55, 1), 512, &buffer);
  EXPECT_EQ(SRB_STATUS_BAD_SRB_BLOCK_LENGTH, wrapped.srbStatus);
}

TEST_F(BusChildSrb, TransferLengthsMustMatchTheCdbAndTheMdl) {
  DataBuffer buffer(4 * 512);
  uint32_t readsBefore = Engine().reads;
  struct Case {
    const char *what;
    std::vector<UCHAR> cdb;
    ULONG length;
    PVOID dataBuffer;
    UCHAR srbStatus;
  } cases[] = {
      {"length differs", Rw10(SCSIOP_READ, 0, 2), 3 * 512, nullptr, SRB_STATUS_BAD_SRB_BLOCK_LENGTH},
      {"past the MDL", Rw10(SCSIOP_READ, 0, 2), 2 * 512, buffer.data + 3 * 512, SRB_STATUS_BAD_SRB_BLOCK_LENGTH},
      {"before the MDL", Rw10(SCSIOP_READ, 0, 1), 512, buffer.data - 512, SRB_STATUS_BAD_SRB_BLOCK_LENGTH},
      // 2^23 blocks of 512 bytes wrap a 32-bit byte count to 0.
      {"count wraps", Rw16(SCSIOP_READ16, 0, 1u << 23), 0, nullptr, SRB_STATUS_BAD_SRB_BLOCK_LENGTH},
      {"12-byte CDB", std::vector<UCHAR>(12, SCSIOP_READ), 512, nullptr, SRB_STATUS_BAD_FUNCTION},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SrbResult result = Send(SRB_FUNCTION_EXECUTE_SCSI, c.cdb, c.length, &buffer, true, c.dataBuffer);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, result.status);
    EXPECT_EQ(c.srbStatus, result.srbStatus);
  }
  SrbResult noMdl = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw10(SCSIOP_READ, 0, 1), 512, &buffer, false);
  EXPECT_EQ(SRB_STATUS_BAD_FUNCTION, noMdl.srbStatus);
  EXPECT_EQ(readsBefore, Engine().reads);
}

TEST_F(BusChildSrb, WritesLandAtTheirOffsetWithinTheMdl) {
  DataBuffer buffer(4 * 512);
  for (ULONG i = 0; i < buffer.length; ++i) buffer.data[i] = static_cast<UCHAR>(i * 3);
  // The second and third sectors of the buffer go to LBA 100.
  SrbResult write = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw16(SCSIOP_WRITE16, 100, 2), 1024, &buffer, true,
                         buffer.data + 512);
  ASSERT_STATUS(STATUS_SUCCESS, write.status);
  EXPECT_EQ(1024u, write.transferred);
  EXPECT_EQ(0, std::memcmp(Engine().disks[0x5A].data() + 100 * 512, buffer.data + 512, 1024));

  // The engine's failure passes through.
  Engine().transferResult = STATUS_MEDIA_WRITE_PROTECTED;
  SrbResult refused = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw10(SCSIOP_WRITE, 0, 1), 512, &buffer);
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, refused.status);
  EXPECT_EQ(SRB_STATUS_INTERNAL_ERROR, refused.srbStatus);
  EXPECT_EQ(0u, refused.transferred);
}

TEST_F(BusChildSrb, TransfersAboveApcLevelRunInAWorkItem) {
  DataBuffer buffer(2 * 512);
  SrbResult read = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw10(SCSIOP_READ, 10, 2), 1024, &buffer, true, nullptr, true);
  EXPECT_STATUS(STATUS_SUCCESS, read.status);
  EXPECT_EQ(1024u, read.transferred);
  EXPECT_EQ(0, std::memcmp(buffer.data, Engine().disks[0x5A].data() + 10 * 512, 1024));
}

TEST_F(BusChildSrb, CapacityAndInquiryData) {
  PDEVICE_OBJECT large = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, AddDisk(DiskRequest(0x1000, 1ull << 30, 512, BUS_REQUEST_REMOVABLE), &large));
  std::swap(child_, large);
  DataBuffer buffer(64);
  SrbResult capacity = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, &buffer);
  ASSERT_STATUS(STATUS_SUCCESS, capacity.status);
  EXPECT_EQ(8u, capacity.transferred);
  EXPECT_EQ(0x001FFFFFu, BigEndian(buffer.data, 4));
  EXPECT_EQ(0x200u, BigEndian(buffer.data + 4, 4));
  SrbResult shortCapacity = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 7, &buffer);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, shortCapacity.status);
  EXPECT_EQ(SRB_STATUS_DATA_OVERRUN, shortCapacity.srbStatus);

  std::vector<UCHAR> cdb16(16, 0);
  cdb16[0] = SCSIOP_SERVICE_ACTION_IN16;
  cdb16[1] = 0x10;
  SrbResult capacity16 = Send(SRB_FUNCTION_EXECUTE_SCSI, cdb16, 32, &buffer);
  ASSERT_STATUS(STATUS_SUCCESS, capacity16.status);
  EXPECT_EQ(12u, capacity16.transferred);
  EXPECT_EQ(0x1FFFFFu, BigEndian(buffer.data, 8));
  EXPECT_EQ(0x200u, BigEndian(buffer.data + 8, 4));

  std::vector<UCHAR> inquiry = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
  SrbResult tooShort = Send(SRB_FUNCTION_EXECUTE_SCSI, inquiry, 35, &buffer);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, tooShort.status);
  EXPECT_EQ(SRB_STATUS_DATA_OVERRUN, tooShort.srbStatus);
  SrbResult data = Send(SRB_FUNCTION_EXECUTE_SCSI, inquiry, 64, &buffer);
  ASSERT_STATUS(STATUS_SUCCESS, data.status);
  EXPECT_EQ(36u, data.transferred);
  EXPECT_EQ(36u, data.information);
  const UCHAR head[8] = {0x00, 0x80, 0x02, 0x02, 0x00, 0x00, 0x02, 0x52};
  EXPECT_EQ(0, std::memcmp(head, buffer.data, 8));
  EXPECT_EQ(0, std::memcmp("Virtual Volume\0\0", buffer.data + 16, 16));
  for (int i = 36; i < 64; ++i) EXPECT_EQ(0, buffer.data[i]) << i;
}

TEST_F(BusChildSrb, ModeSenseFitsPagesIntoTheAllocation) {
  DataBuffer buffer(255);
  SrbResult all = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_MODE_SENSE, 0, 0x3F, 0, 255, 0}, 255, &buffer);
  ASSERT_STATUS(STATUS_SUCCESS, all.status);
  EXPECT_EQ(48u, all.transferred);
  EXPECT_EQ(48u, all.information);
  EXPECT_EQ(48, buffer.data[0]);
  EXPECT_EQ(8, buffer.data[3]);
  EXPECT_EQ(kBlocks, BigEndian(buffer.data + 5, 3));
  EXPECT_EQ(512u, BigEndian(buffer.data + 9, 3));
  EXPECT_EQ(0x08, buffer.data[12]);  // caching page
  EXPECT_EQ(12, buffer.data[13]);
  EXPECT_EQ(0x04, buffer.data[14]);
  EXPECT_EQ(0x03, buffer.data[24]);  // format device page
  EXPECT_EQ(24, buffer.data[25]);
  EXPECT_EQ(kBlocks & 0xFFFF, BigEndian(buffer.data + 34, 2));
  EXPECT_EQ(512u, BigEndian(buffer.data + 36, 2));
  EXPECT_EQ(0x80, buffer.data[44]);

  SrbResult small = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_MODE_SENSE, 0, 0x3F, 0, 20, 0}, 20, &buffer);
  ASSERT_STATUS(STATUS_SUCCESS, small.status);
  EXPECT_EQ(12u, small.transferred);
  EXPECT_EQ(12, buffer.data[0]);

  SrbResult headerOnly = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_MODE_SENSE, 0, 0x08, 0, 11, 0}, 11, &buffer);
  EXPECT_EQ(4u, headerOnly.transferred);
  EXPECT_EQ(0, buffer.data[3]);
  SrbResult tiny = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_MODE_SENSE, 0, 0x3F, 0, 3, 0}, 3, &buffer);
  EXPECT_EQ(SRB_STATUS_DATA_OVERRUN, tiny.srbStatus);
}

TEST_F(BusChildSrb, FunctionsAndCommandsWithoutData) {
  DataBuffer buffer(16);
  for (UCHAR op : {SCSIOP_TEST_UNIT_READY, SCSIOP_MODE_SELECT, SCSIOP_MEDIUM_REMOVAL, SCSIOP_VERIFY,
                   SCSIOP_SYNCHRONIZE_CACHE, SCSIOP_VERIFY16}) {
    std::vector<UCHAR> cdb(op >= 0x80 ? 16 : 10, 0);
    cdb[0] = op;
    SrbResult result = Send(SRB_FUNCTION_EXECUTE_SCSI, cdb, 0, nullptr);
    EXPECT_EQ(SRB_STATUS_SUCCESS, result.srbStatus) << int(op);
  }
  EXPECT_EQ(SRB_STATUS_SUCCESS, Send(SRB_FUNCTION_EXECUTE_SCSI, {}, 0, nullptr).srbStatus);  // length 0: TEST UNIT READY
  SrbResult unknown = Send(SRB_FUNCTION_EXECUTE_SCSI, {0x03, 0, 0, 0, 18, 0}, 16, &buffer);
  EXPECT_EQ(SRB_STATUS_BAD_FUNCTION, unknown.srbStatus);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, unknown.status);

  // Eject only when LOEJ is set and START clear.
  Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_START_STOP_UNIT, 0, 0, 0, 0x03, 0}, 0, nullptr);
  EXPECT_EQ(0u, Engine().Count(BUS_EVENT_EJECT));
  Engine().eventResults[BUS_EVENT_EJECT] = STATUS_ACCESS_DENIED;
  SrbResult eject = Send(SRB_FUNCTION_EXECUTE_SCSI, {SCSIOP_START_STOP_UNIT, 0, 0, 0, 0x02, 0}, 0, nullptr);
  EXPECT_EQ(1u, Engine().Count(BUS_EVENT_EJECT));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, eject.status);
  EXPECT_EQ(SRB_STATUS_INTERNAL_ERROR, eject.srbStatus);

  SCSI_REQUEST_BLOCK claim{};
  claim.Function = SRB_FUNCTION_CLAIM_DEVICE;
  PIRP irp = IoAllocateIrp(child_->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SCSI;
  IoGetNextIrpStackLocation(irp)->Parameters.Scsi.Srb = &claim;
  EXPECT_STATUS(STATUS_SUCCESS, SendAndWait(child_, irp));
  EXPECT_EQ(child_, claim.DataBuffer);
  IoFreeIrp(irp);

  for (UCHAR function : {SRB_FUNCTION_IO_CONTROL, SRB_FUNCTION_RELEASE_DEVICE, SRB_FUNCTION_FLUSH})
    EXPECT_EQ(SRB_STATUS_SUCCESS, Send(function, {}, 0, nullptr).srbStatus) << int(function);
  EXPECT_EQ(SRB_STATUS_SUCCESS, Send(SRB_FUNCTION_SHUTDOWN, {}, 0, nullptr).srbStatus);
  EXPECT_EQ(1u, Engine().Count(BUS_EVENT_SCSI_SHUTDOWN));
  SrbResult bad = Send(SRB_FUNCTION_RESET_BUS, {}, 0, nullptr);
  EXPECT_EQ(SRB_STATUS_BAD_FUNCTION, bad.srbStatus);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, bad.status);

  // An internal request without an SRB.
  irp = IoAllocateIrp(child_->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SCSI;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SendAndWait(child_, irp));
  IoFreeIrp(irp);
}

TEST_F(BusChildSrb, PlainReadsWritesAndFlushesGoToTheEngine) {
  std::vector<UCHAR> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i ^ 0x5A);
  auto transfer = [&](ULONG major, ULONG64 offset, PVOID buffer, ULONG length, ULONG_PTR *information) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER start;
    start.QuadPart = static_cast<LONGLONG>(offset);
    PIRP irp = IoBuildSynchronousFsdRequest(major, child_, buffer, length, &start, &event, &iosb);
    NTSTATUS status = IoCallDriver(child_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    *information = iosb.Information;
    return status;
  };
  ULONG_PTR information = 0;
  ASSERT_STATUS(STATUS_SUCCESS, transfer(IRP_MJ_WRITE, 4096, data.data(), 1024, &information));
  EXPECT_EQ(1024u, information);
  std::vector<UCHAR> back(1024);
  ASSERT_STATUS(STATUS_SUCCESS, transfer(IRP_MJ_READ, 4096, back.data(), 1024, &information));
  EXPECT_EQ(data, back);
  // The engine's own answer at the end of the disk is passed on.
  EXPECT_STATUS(STATUS_END_OF_FILE, transfer(IRP_MJ_READ, kSize, back.data(), 512, &information));

  // Without an MDL there is no buffer to use.
  PIRP irp = IoAllocateIrp(child_->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = 512;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SendAndWait(child_, irp));
  IoFreeIrp(irp);

  Engine().eventResults[BUS_EVENT_FLUSH] = STATUS_DEVICE_NOT_READY;
  irp = IoAllocateIrp(child_->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  EXPECT_STATUS(STATUS_DEVICE_NOT_READY, SendAndWait(child_, irp));
  IoFreeIrp(irp);
}

// Once the engine took the disk away, nothing reaches the engine any more.
TEST_F(BusChildSrb, RemovedChildrenRefuseEngineCalls) {
  ObReferenceObject(child_);
  ASSERT_STATUS(STATUS_SUCCESS, RemoveDisk(0x5A));
  // The device may be deleted now but stays referenced: its requests fail.
  DataBuffer buffer(512);
  uint32_t reads = Engine().reads;
  SrbResult read = Send(SRB_FUNCTION_EXECUTE_SCSI, Rw10(SCSIOP_READ, 0, 1), 512, &buffer);
  EXPECT_NE(SRB_STATUS_SUCCESS, read.srbStatus);
  EXPECT_FALSE(NT_SUCCESS(read.status));
  EXPECT_EQ(reads, Engine().reads);
  ObDereferenceObject(child_);
}

}  // namespace
}  // namespace bus_test
