// An NTFS volume on one of the test driver's disks: an image formatted on
// the host (by our own formatter, or by mkntfs) is written through the raw
// file system onto the blank disk, and the next open mounts it with the
// NTFS driver. The opens, transfers and requests by IRP are the FAT
// tests' (fat_fixture.h); this adds what NTFS has besides.
#pragma once

#include "platform/drivers/fat/tests/fat_fixture.h"

namespace bw::test {

constexpr ULONG64 kNtfsImageBytes = 24ull << 20;

class NtfsVolumeTest : public FatVolumeTest {
 protected:
  // Our formatter's NTFS volume, loaded onto the disk.
  void LoadFormatted(const char *label = "NTFSVOL") {
    LoadImage(MakeImage(kNtfsImageBytes, std::string(BW_BIN_DIR "/fmtimage --fs ntfs --label ") + label + " %s"));
  }

  static Reply Fsctl(HANDLE handle, ULONG code, const Bytes &input = {}, ULONG outputLength = 0) {
    IO_STATUS_BLOCK iosb{};
    Reply reply{STATUS_UNSUCCESSFUL, 0, Bytes(outputLength)};
    Bytes in = input;
    reply.status = ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, in.empty() ? nullptr : in.data(),
                                   static_cast<ULONG>(in.size()), outputLength ? reply.output.data() : nullptr,
                                   outputLength);
    reply.information = iosb.Information;
    return reply;
  }

  static NTSTATUS SetCompression(HANDLE handle, USHORT format) {
    Bytes in(sizeof format);
    memcpy(in.data(), &format, sizeof format);
    return Fsctl(handle, FSCTL_SET_COMPRESSION, in).status;
  }

  static ULONG Attributes(HANDLE handle) {
    FILE_BASIC_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(handle, &iosb, &info, sizeof info, FileBasicInformation));
    return info.FileAttributes;
  }

  static LONGLONG Size(HANDLE handle) {
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(handle, &iosb, &info, sizeof info, FileStandardInformation));
    return info.EndOfFile.QuadPart;
  }

  NTSTATUS OpenVolume(HANDLE *handle) { return Open(disk_, GENERIC_READ | GENERIC_WRITE, kShareAll, handle); }
};

}  // namespace bw::test
