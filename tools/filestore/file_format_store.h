// A FormatStore over a plain host file, for the image tool and the peer
// checks. The volume is the file from byte 0 over its length at opening.
#pragma once

#include "engine/format/format_store.h"

#include <cstdint>
#include <memory>
#include <string>

namespace bw {

class FileFormatStore final : public FormatStore {
 public:
  // Opens an existing file for reading and writing; null with a message in
  // *error when it cannot.
  static std::unique_ptr<FileFormatStore> Open(const std::string &path, std::string *error);
  ~FileFormatStore();
  FileFormatStore(const FileFormatStore &) = delete;
  FileFormatStore &operator=(const FileFormatStore &) = delete;

  ULONGLONG Size() const override { return size_; }
  USHORT SectorSize() const override { return 512; }
  BOOLEAN IsWriteProtected() const override { return writeProtected_; }
  VOID SetWriteProtected(BOOLEAN Protected) override { writeProtected_ = Protected != FALSE; }
  NTSTATUS Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset, ULONG InternalFlags,
                 PIO_STATUS_BLOCK IoStatus) override;
  NTSTATUS Read(VOID *Buffer, ULONG Length, ULONGLONG Offset, PIO_STATUS_BLOCK IoStatus) override;
  // Punches the range out of the file where the file system allows it,
  // else writes zeros only over the parts that hold data.
  NTSTATUS ZeroRange(ULONGLONG Offset, ULONGLONG Length) override;

  // Flushes the file to its device.
  NTSTATUS Flush();

 private:
  FileFormatStore(int fd, uint64_t size) : fd_(fd), size_(size) {}
  NTSTATUS WriteZeros(uint64_t offset, uint64_t length);

  int fd_;
  uint64_t size_;
  bool writeProtected_ = false;
};

}  // namespace bw
