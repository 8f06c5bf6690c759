// SCSI commands a child answers from its record: INQUIRY, MODE SENSE(6) and
// READ CAPACITY (10 and 16).
#include "bus/bus.h"

#include <srb.h>

namespace {

constexpr ULONG kInquiryLength = 36;
constexpr ULONG kModeHeader = 4;
constexpr ULONG kBlockDescriptor = 8;
constexpr ULONG kCachingPage = 12;
constexpr ULONG kFormatPage = 24;
constexpr UCHAR kPageFormat = 0x03;
constexpr UCHAR kPageCaching = 0x08;
constexpr UCHAR kPageAll = 0x3F;

VOID PutBigEndian(PUCHAR Target, ULONG64 Value, ULONG Bytes) {
  for (ULONG i = 0; i < Bytes; ++i) Target[i] = static_cast<UCHAR>(Value >> (8 * (Bytes - 1 - i)));
}

ULONG64 BlockCount(const VirtualDisk *Disk) { return Disk->Size / Disk->SectorSize; }

}  // namespace

UCHAR BusScsiInquiry(VirtualDisk *Disk, PUCHAR Buffer, ULONG Length, ULONG *Produced) {
  if (Length < kInquiryLength) return SRB_STATUS_DATA_OVERRUN;
  RtlZeroMemory(Buffer, Length);
  Buffer[0] = 0x00;  // direct-access block device
  Buffer[1] = BusDiskRemovable(Disk) ? 0x80 : 0x00;
  Buffer[2] = 0x02;  // SCSI-2
  Buffer[3] = 0x02;  // response data format 2
  Buffer[6] = 0x02;
  Buffer[7] = 0x52;  // command queuing, synchronous transfer, 32-bit wide bus
  const char vendor[] = "BWR";
  RtlCopyMemory(Buffer + 8, vendor, 3);
  const char product[] = "Virtual Volume";
  RtlCopyMemory(Buffer + 16, product, sizeof(product) - 1);
  *Produced = kInquiryLength;
  return SRB_STATUS_SUCCESS;
}

UCHAR BusScsiModeSense(VirtualDisk *Disk, const UCHAR *Cdb, PUCHAR Buffer, ULONG Length, ULONG *Produced) {
  if (Length < kModeHeader) return SRB_STATUS_DATA_OVERRUN;
  RtlZeroMemory(Buffer, Length);
  ULONG total = kModeHeader;
  ULONG64 blocks = BlockCount(Disk);
  if (Length >= kModeHeader + kBlockDescriptor) {
    Buffer[3] = kBlockDescriptor;
    PutBigEndian(Buffer + total + 1, blocks > 0xFFFFFF ? 0xFFFFFF : blocks, 3);
    PutBigEndian(Buffer + total + 5, Disk->SectorSize, 3);
    total += kBlockDescriptor;
  }
  UCHAR page = Cdb[2] & 0x3F;
  if ((page == kPageCaching || page == kPageAll) && Length - total >= kCachingPage) {
    Buffer[total] = kPageCaching;
    Buffer[total + 1] = kCachingPage;
    Buffer[total + 2] = 0x04;  // write cache enabled, read cache not disabled
    total += kCachingPage;
  }
  if ((page == kPageFormat || page == kPageAll) && Length - total >= kFormatPage) {
    Buffer[total] = kPageFormat;
    Buffer[total + 1] = kFormatPage;
    PutBigEndian(Buffer + total + 10, blocks & 0xFFFF, 2);
    PutBigEndian(Buffer + total + 12, Disk->SectorSize, 2);
    Buffer[total + 20] = 0x80;  // soft-sectored
    total += kFormatPage;
  }
  Buffer[0] = static_cast<UCHAR>(total);
  *Produced = total;
  return SRB_STATUS_SUCCESS;
}

UCHAR BusScsiReadCapacity(VirtualDisk *Disk, BOOLEAN Long, PUCHAR Buffer, ULONG Length, ULONG *Produced) {
  ULONG needed = Long ? 12 : 8;
  if (Length < needed) return SRB_STATUS_DATA_OVERRUN;
  ULONG64 last = BlockCount(Disk) - 1;
  if (Long) {
    PutBigEndian(Buffer, last, 8);
    PutBigEndian(Buffer + 8, Disk->SectorSize, 4);
  } else {
    PutBigEndian(Buffer, last > 0xFFFFFFFEULL ? 0xFFFFFFFFULL : last, 4);
    PutBigEndian(Buffer + 4, Disk->SectorSize, 4);
  }
  *Produced = needed;
  return SRB_STATUS_SUCCESS;
}
