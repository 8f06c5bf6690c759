// Partition tables read and written by the kernel for a disk's driver, on
// the test driver's 32 MiB disk of 512-byte sectors.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntdddisk.h>
#include <wdm.h>

#include <cstring>
#include <vector>

namespace bw::test {
namespace {

using Sector = std::vector<UCHAR>;

void PutLe32(UCHAR *p, ULONG v) { memcpy(p, &v, 4); }
ULONG GetLe32(const UCHAR *p) {
  ULONG v;
  memcpy(&v, p, 4);
  return v;
}

// A table entry as a partitioning tool writes it.
void PutEntry(Sector &sector, int index, UCHAR type, ULONG start, ULONG count, bool boot = false) {
  UCHAR *p = sector.data() + 0x1BE + index * 16;
  memset(p, 0, 16);
  p[0] = boot ? 0x80 : 0;
  p[4] = type;
  PutLe32(p + 8, start);
  PutLe32(p + 12, count);
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

class PartitionTableTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(BW_BIN_DIR "/testdrv.sys", u"BwTest", &error)) << error;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestDisk");
    ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file_, &disk_));
    TakePoolBaseline();
  }
  void TearDown() override {
    if (file_) ObDereferenceObject(file_);
    KernelTest::TearDown();
  }

  NTSTATUS Transfer(bool write, ULONG64 lba, Sector *sector) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(lba * 512);
    PIRP irp = IoBuildSynchronousFsdRequest(write ? IRP_MJ_WRITE : IRP_MJ_READ, disk_, sector->data(), 512,
                                            &offset, &event, &iosb);
    NTSTATUS status = IoCallDriver(disk_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    return status;
  }
  void Write(ULONG64 lba, Sector sector) { ASSERT_STATUS(STATUS_SUCCESS, Transfer(true, lba, &sector)); }
  Sector Read(ULONG64 lba) {
    Sector sector(512);
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(false, lba, &sector));
    return sector;
  }

  // The layout as read, copied out of its pool block (which is freed).
  struct Layout {
    ULONG style = 0, signature = 0;
    std::vector<PARTITION_INFORMATION_EX> entries;
  };
  Layout ReadLayout(NTSTATUS expected = STATUS_SUCCESS) {
    PDRIVE_LAYOUT_INFORMATION_EX layout = nullptr;
    Layout result;
    EXPECT_STATUS(expected, IoReadPartitionTableEx(disk_, &layout));
    if (!layout) return result;
    result.style = layout->PartitionStyle;
    result.signature = layout->Mbr.Signature;
    result.entries.assign(layout->PartitionEntry, layout->PartitionEntry + layout->PartitionCount);
    ExFreePool(layout);
    return result;
  }

  // A layout to write: MBR style, `count` entries.
  static std::vector<UCHAR> NewLayout(ULONG count, ULONG signature) {
    std::vector<UCHAR> bytes(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                             count * sizeof(PARTITION_INFORMATION_EX));
    auto *layout = reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(bytes.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = count;
    layout->Mbr.Signature = signature;
    return bytes;
  }
  static PARTITION_INFORMATION_EX &Entry(std::vector<UCHAR> &bytes, ULONG i) {
    return reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(bytes.data())->PartitionEntry[i];
  }
  static void Set(std::vector<UCHAR> &bytes, ULONG i, UCHAR type, ULONG64 startLba, ULONG64 sectors) {
    PARTITION_INFORMATION_EX &p = Entry(bytes, i);
    p.PartitionStyle = PARTITION_STYLE_MBR;
    p.StartingOffset.QuadPart = static_cast<LONGLONG>(startLba * 512);
    p.PartitionLength.QuadPart = static_cast<LONGLONG>(sectors * 512);
    p.Mbr.PartitionType = type;
    p.RewritePartition = TRUE;
  }
  NTSTATUS WriteLayout(std::vector<UCHAR> &bytes) {
    return IoWritePartitionTableEx(disk_, reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(bytes.data()));
  }

  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT disk_ = nullptr;
};

TEST_F(PartitionTableTest, ASectorZeroWithoutBootSignatureIsARawDisk) {
  Layout layout = ReadLayout();
  EXPECT_EQ(PARTITION_STYLE_RAW, layout.style);
  EXPECT_TRUE(layout.entries.empty());
  // A signature without the 0x55AA marker is not a table either.
  Sector mbr(512);
  PutLe32(mbr.data() + 0x1B8, 0x12345678);
  PutEntry(mbr, 0, PARTITION_IFS, 2048, 4096);
  mbr[511] = 0;
  Write(0, mbr);
  EXPECT_EQ(PARTITION_STYLE_RAW, ReadLayout().style);
}

TEST_F(PartitionTableTest, PrimariesAndLogicalsAreNumberedInTableOrder) {
  Sector mbr(512);
  PutLe32(mbr.data() + 0x1B8, 0xCAFEF00D);
  PutEntry(mbr, 0, PARTITION_IFS, 2048, 8192, true);
  // Entry 1 unused: numbers count used entries only.
  PutEntry(mbr, 2, PARTITION_EXTENDED, 20480, 40960);
  PutEntry(mbr, 3, 0x83, 10240, 2048);  // not a type Windows mounts
  Write(0, mbr);
  Sector ebr1(512);
  PutEntry(ebr1, 0, PARTITION_FAT32, 63, 4000);             // from the record's own sector
  PutEntry(ebr1, 1, PARTITION_EXTENDED, 8192, 16384);       // from the extended partition's start
  Write(20480, ebr1);
  Sector ebr2(512);
  PutEntry(ebr2, 0, PARTITION_HUGE, 2048, 1000);
  Write(20480 + 8192, ebr2);

  Layout layout = ReadLayout();
  EXPECT_EQ(PARTITION_STYLE_MBR, layout.style);
  EXPECT_EQ(0xCAFEF00Du, layout.signature);
  ASSERT_EQ(12u, layout.entries.size());  // four per table
  const auto &e = layout.entries;
  EXPECT_EQ(1u, e[0].PartitionNumber);
  EXPECT_EQ(2048 * 512, e[0].StartingOffset.QuadPart);
  EXPECT_EQ(8192 * 512, e[0].PartitionLength.QuadPart);
  EXPECT_TRUE(e[0].Mbr.BootIndicator);
  EXPECT_TRUE(e[0].Mbr.RecognizedPartition);
  EXPECT_EQ(0u, e[1].PartitionNumber);
  EXPECT_EQ(PARTITION_ENTRY_UNUSED, e[1].Mbr.PartitionType);
  EXPECT_EQ(0u, e[2].PartitionNumber);  // containers get no number
  EXPECT_FALSE(e[2].Mbr.RecognizedPartition);
  EXPECT_EQ(2u, e[3].PartitionNumber);
  EXPECT_FALSE(e[3].Mbr.RecognizedPartition);
  EXPECT_EQ(3u, e[4].PartitionNumber);
  EXPECT_EQ((20480 + 63) * 512, e[4].StartingOffset.QuadPart);
  EXPECT_EQ(63u, e[4].Mbr.HiddenSectors);
  EXPECT_TRUE(e[4].Mbr.RecognizedPartition);
  EXPECT_EQ(0u, e[5].PartitionNumber);
  EXPECT_EQ((20480 + 8192) * 512, e[5].StartingOffset.QuadPart);
  EXPECT_EQ(4u, e[8].PartitionNumber);
  EXPECT_EQ((20480 + 8192 + 2048) * 512, e[8].StartingOffset.QuadPart);
  EXPECT_EQ(1000 * 512, e[8].PartitionLength.QuadPart);
}

TEST_F(PartitionTableTest, AChainOfRecordsThatLoopsEnds) {
  Sector mbr(512);
  PutEntry(mbr, 0, PARTITION_XINT13_EXTENDED, 100, 1000);
  Write(0, mbr);
  Sector first(512);
  PutEntry(first, 0, PARTITION_IFS, 10, 20);
  PutEntry(first, 1, PARTITION_EXTENDED, 200, 50);
  Write(100, first);
  Sector second(512);
  PutEntry(second, 0, PARTITION_IFS, 10, 20);
  PutEntry(second, 1, PARTITION_EXTENDED, 0, 50);  // back to the first record
  Write(300, second);
  Layout layout = ReadLayout();
  ASSERT_EQ(12u, layout.entries.size());
  EXPECT_EQ(2u, layout.entries[8].PartitionNumber);
  EXPECT_EQ(310 * 512, layout.entries[8].StartingOffset.QuadPart);
}

TEST_F(PartitionTableTest, AWrittenTableReadsBackAndKeepsTheBootCode) {
  Sector mbr(512);
  for (int i = 0; i < 0x1B8; ++i) mbr[i] = static_cast<UCHAR>(i * 7);
  Write(0, mbr);
  auto bytes = NewLayout(4, 0x0BADCAFE);
  Set(bytes, 0, PARTITION_IFS, 1, 65535);
  Entry(bytes, 0).Mbr.BootIndicator = TRUE;
  ASSERT_STATUS(STATUS_SUCCESS, WriteLayout(bytes));

  Sector written = Read(0);
  for (int i = 0; i < 0x1B8; ++i) ASSERT_EQ(static_cast<UCHAR>(i * 7), written[i]) << i;
  EXPECT_EQ(0x0BADCAFEu, GetLe32(written.data() + 0x1B8));
  EXPECT_EQ(0x80, written[0x1BE]);
  EXPECT_EQ(PARTITION_IFS, written[0x1BE + 4]);
  EXPECT_EQ(1u, GetLe32(written.data() + 0x1BE + 8));
  EXPECT_EQ(65535u, GetLe32(written.data() + 0x1BE + 12));
  EXPECT_EQ(0, written[0x1CE + 4]);
  EXPECT_EQ(0x55, written[510]);
  EXPECT_EQ(0xAA, written[511]);

  Layout layout = ReadLayout();
  EXPECT_EQ(0x0BADCAFEu, layout.signature);
  ASSERT_EQ(4u, layout.entries.size());
  EXPECT_EQ(512, layout.entries[0].StartingOffset.QuadPart);
  EXPECT_EQ(1u, layout.entries[0].PartitionNumber);
}

TEST_F(PartitionTableTest, ExtendedLayoutsAreWrittenAsAChainOfRecords) {
  auto bytes = NewLayout(12, 7);
  Set(bytes, 0, PARTITION_FAT_16, 2048, 2048);
  Set(bytes, 1, PARTITION_EXTENDED, 8192, 32768);
  Set(bytes, 4, PARTITION_IFS, 8192 + 63, 1000);
  Set(bytes, 5, PARTITION_EXTENDED, 8192 + 4096, 4096);
  Set(bytes, 8, PARTITION_FAT32, 8192 + 4096 + 63, 2000);
  ASSERT_STATUS(STATUS_SUCCESS, WriteLayout(bytes));

  Sector ebr2 = Read(8192 + 4096);
  EXPECT_EQ(63u, GetLe32(ebr2.data() + 0x1BE + 8));  // relative to its own record
  Sector ebr1 = Read(8192);
  EXPECT_EQ(4096u, GetLe32(ebr1.data() + 0x1CE + 8));  // relative to the extended partition

  Layout layout = ReadLayout();
  ASSERT_EQ(12u, layout.entries.size());
  for (ULONG i = 0; i < 12; ++i) {
    EXPECT_EQ(Entry(bytes, i).StartingOffset.QuadPart, layout.entries[i].StartingOffset.QuadPart) << i;
    EXPECT_EQ(Entry(bytes, i).PartitionLength.QuadPart, layout.entries[i].PartitionLength.QuadPart) << i;
    EXPECT_EQ(Entry(bytes, i).Mbr.PartitionType, layout.entries[i].Mbr.PartitionType) << i;
  }
  EXPECT_EQ(1u, layout.entries[0].PartitionNumber);
  EXPECT_EQ(2u, layout.entries[4].PartitionNumber);
  EXPECT_EQ(3u, layout.entries[8].PartitionNumber);
}

TEST_F(PartitionTableTest, ALayoutATableCannotHoldLeavesTheDiskAsItWas) {
  Sector before = Read(0);
  auto misaligned = NewLayout(4, 1);
  Set(misaligned, 0, PARTITION_IFS, 1, 100);
  Entry(misaligned, 0).StartingOffset.QuadPart += 1;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, WriteLayout(misaligned));
  auto tooFar = NewLayout(4, 1);
  Set(tooFar, 0, PARTITION_IFS, 0x100000000ull, 100);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, WriteLayout(tooFar));
  auto unchained = NewLayout(8, 1);  // logicals but no extended partition to hold them
  Set(unchained, 0, PARTITION_IFS, 1, 100);
  Set(unchained, 4, PARTITION_IFS, 200, 100);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, WriteLayout(unchained));
  auto ragged = NewLayout(6, 1);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, WriteLayout(ragged));
  auto gpt = NewLayout(4, 1);
  reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(gpt.data())->PartitionStyle = PARTITION_STYLE_GPT;
  EXPECT_STATUS(STATUS_NOT_SUPPORTED, WriteLayout(gpt));
  EXPECT_EQ(before, Read(0));
}

TEST_F(PartitionTableTest, ADeviceWithoutGeometryHasNoTable) {
  // The byte device's sectors are single bytes: no table fits in one.
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestBytes");
  PFILE_OBJECT file;
  PDEVICE_OBJECT bytes;
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &bytes));
  PDRIVE_LAYOUT_INFORMATION_EX layout = reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(1);
  EXPECT_NE(STATUS_SUCCESS, IoReadPartitionTableEx(bytes, &layout));
  EXPECT_EQ(nullptr, layout);
  ObDereferenceObject(file);
}

}  // namespace
}  // namespace bw::test
