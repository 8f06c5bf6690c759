// A FormatStore over sparse memory, for tests: volumes up to terabytes cost
// only the pages that hold data. Records every write and can fail chosen
// requests.
#pragma once

#include "engine/format/format_store.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace bw::test {

class MemoryFormatStore final : public FormatStore {
 public:
  struct WriteRecord {
    uint64_t offset;
    uint32_t length;
    ULONG flags;
    bool writeProtected;  // the store's flag when the write arrived
  };

  explicit MemoryFormatStore(uint64_t size, USHORT sectorSize = 512);
  ~MemoryFormatStore();

  ULONGLONG Size() const override { return size_; }
  USHORT SectorSize() const override { return sectorSize_; }
  BOOLEAN IsWriteProtected() const override { return writeProtected_; }
  VOID SetWriteProtected(BOOLEAN Protected) override;
  NTSTATUS Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset, ULONG InternalFlags,
                 PIO_STATUS_BLOCK IoStatus) override;
  NTSTATUS Read(VOID *Buffer, ULONG Length, ULONGLONG Offset, PIO_STATUS_BLOCK IoStatus) override;
  NTSTATUS ZeroRange(ULONGLONG Offset, ULONGLONG Length) override;

  // Failure injection. The write with the given index (0 = the first write
  // from now on) fails with `status`, either as the call's result or, with
  // `inIoStatus`, only in the I/O status block of a call that succeeded.
  void FailWrite(uint32_t index, NTSTATUS status, bool inIoStatus = false);
  void FailReads(NTSTATUS status) { readFailure_ = status; }
  void FailZeroRange(NTSTATUS status) { zeroFailure_ = status; }

  // Direct access for checks and set-up, not recorded.
  std::vector<uint8_t> Bytes(uint64_t offset, uint64_t length) const;
  std::vector<uint8_t> Sector(uint64_t index) const { return Bytes(index * 512, 512); }
  void Fill(uint64_t offset, uint64_t length, uint8_t value);
  void Put(uint64_t offset, const std::vector<uint8_t> &bytes);
  bool IsZero(uint64_t offset, uint64_t length) const;

  const std::vector<WriteRecord> &Writes() const { return writes_; }
  void ClearLog() { writes_.clear(); zeroCalls_.clear(); protectChanges_.clear(); }
  // ZeroRange calls as (offset, length).
  const std::vector<std::pair<uint64_t, uint64_t>> &ZeroCalls() const { return zeroCalls_; }
  // Every SetWriteProtected call, in order.
  const std::vector<bool> &ProtectChanges() const { return protectChanges_; }
  size_t PagesHeld() const { return pages_.size(); }

 private:
  static constexpr uint64_t kPage = 64 * 1024;
  uint8_t *PageFor(uint64_t index, bool create);
  const uint8_t *PageAt(uint64_t index) const;
  void CopyIn(uint64_t offset, const uint8_t *data, uint64_t length);
  void CopyOut(uint64_t offset, uint8_t *data, uint64_t length) const;

  uint64_t size_;
  USHORT sectorSize_;
  bool writeProtected_ = false;
  std::map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;
  std::vector<WriteRecord> writes_;
  std::vector<std::pair<uint64_t, uint64_t>> zeroCalls_;
  std::vector<bool> protectChanges_;
  uint64_t writeCount_ = 0;
  bool failArmed_ = false;
  uint64_t failAt_ = 0;
  NTSTATUS failStatus_ = STATUS_SUCCESS;
  bool failInIoStatus_ = false;
  NTSTATUS readFailure_ = STATUS_SUCCESS;
  NTSTATUS zeroFailure_ = STATUS_SUCCESS;
};

}  // namespace bw::test
