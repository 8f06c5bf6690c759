#include "engine/format/tests/support/memory_format_store.h"

#include <algorithm>
#include <cstring>

namespace bw::test {

MemoryFormatStore::MemoryFormatStore(uint64_t size, USHORT sectorSize)
    : size_(size), sectorSize_(sectorSize) {}

MemoryFormatStore::~MemoryFormatStore() = default;

VOID MemoryFormatStore::SetWriteProtected(BOOLEAN Protected) {
  writeProtected_ = Protected != FALSE;
  protectChanges_.push_back(writeProtected_);
}

void MemoryFormatStore::FailWrite(uint32_t index, NTSTATUS status, bool inIoStatus) {
  failArmed_ = true;
  failAt_ = writeCount_ + index;
  failStatus_ = status;
  failInIoStatus_ = inIoStatus;
}

uint8_t *MemoryFormatStore::PageFor(uint64_t index, bool create) {
  auto it = pages_.find(index);
  if (it != pages_.end()) return it->second.get();
  if (!create) return nullptr;
  auto page = std::make_unique<uint8_t[]>(kPage);
  std::memset(page.get(), 0, kPage);
  uint8_t *raw = page.get();
  pages_.emplace(index, std::move(page));
  return raw;
}

const uint8_t *MemoryFormatStore::PageAt(uint64_t index) const {
  auto it = pages_.find(index);
  return it == pages_.end() ? nullptr : it->second.get();
}

void MemoryFormatStore::CopyIn(uint64_t offset, const uint8_t *data, uint64_t length) {
  while (length > 0) {
    uint64_t index = offset / kPage;
    uint64_t within = offset % kPage;
    uint64_t piece = std::min(length, kPage - within);
    bool allZero = std::all_of(data, data + piece, [](uint8_t b) { return b == 0; });
    // Zeros into a page nobody wrote need no page.
    uint8_t *page = PageFor(index, !allZero);
    if (page) std::memcpy(page + within, data, piece);
    offset += piece;
    data += piece;
    length -= piece;
  }
}

void MemoryFormatStore::CopyOut(uint64_t offset, uint8_t *data, uint64_t length) const {
  while (length > 0) {
    uint64_t index = offset / kPage;
    uint64_t within = offset % kPage;
    uint64_t piece = std::min(length, kPage - within);
    const uint8_t *page = PageAt(index);
    if (page)
      std::memcpy(data, page + within, piece);
    else
      std::memset(data, 0, piece);
    offset += piece;
    data += piece;
    length -= piece;
  }
}

NTSTATUS MemoryFormatStore::Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset,
                                  ULONG InternalFlags, PIO_STATUS_BLOCK IoStatus) {
  IO_STATUS_BLOCK local;
  if (!IoStatus) IoStatus = &local;
  IoStatus->Information = 0;
  writes_.push_back({Offset, Length, InternalFlags, writeProtected_});
  uint64_t index = writeCount_++;
  if (failArmed_ && index == failAt_) {
    failArmed_ = false;
    IoStatus->Status = failStatus_;
    return failInIoStatus_ ? STATUS_SUCCESS : failStatus_;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (!(InternalFlags & FORMAT_STORE_WRITE_INTERNAL) && writeProtected_)
    status = STATUS_MEDIA_WRITE_PROTECTED;
  else if (Length == 0)
    status = STATUS_SUCCESS;
  else if (!Buffer)
    status = STATUS_INVALID_PARAMETER;
  else if (Offset > size_ || Length > size_ - Offset)
    status = STATUS_END_OF_FILE;
  IoStatus->Status = status;
  if (!NT_SUCCESS(status) || Length == 0) return status;
  CopyIn(Offset, static_cast<const uint8_t *>(Buffer), Length);
  IoStatus->Information = Length;
  return STATUS_SUCCESS;
}

NTSTATUS MemoryFormatStore::Read(VOID *Buffer, ULONG Length, ULONGLONG Offset,
                                 PIO_STATUS_BLOCK IoStatus) {
  IO_STATUS_BLOCK local;
  if (!IoStatus) IoStatus = &local;
  IoStatus->Information = 0;
  NTSTATUS status = readFailure_;
  if (NT_SUCCESS(status)) {
    if (Offset >= size_)
      status = STATUS_END_OF_FILE;
    else if (!Buffer && Length)
      status = STATUS_INVALID_PARAMETER;
  }
  IoStatus->Status = status;
  if (!NT_SUCCESS(status)) return status;
  uint64_t bytes = std::min<uint64_t>(Length, size_ - Offset);
  CopyOut(Offset, static_cast<uint8_t *>(Buffer), bytes);
  IoStatus->Information = bytes;
  return STATUS_SUCCESS;
}

NTSTATUS MemoryFormatStore::ZeroRange(ULONGLONG Offset, ULONGLONG Length) {
  zeroCalls_.emplace_back(Offset, Length);
  if (!NT_SUCCESS(zeroFailure_)) return zeroFailure_;
  if (Offset > size_ || Length > size_ - Offset) return STATUS_END_OF_FILE;
  uint64_t end = Offset + Length;
  while (Offset < end) {
    uint64_t index = Offset / kPage;
    uint64_t within = Offset % kPage;
    uint64_t piece = std::min(end - Offset, kPage - within);
    if (piece == kPage) {
      pages_.erase(index);
    } else if (uint8_t *page = PageFor(index, false)) {
      std::memset(page + within, 0, piece);
    }
    Offset += piece;
  }
  return STATUS_SUCCESS;
}

std::vector<uint8_t> MemoryFormatStore::Bytes(uint64_t offset, uint64_t length) const {
  std::vector<uint8_t> out(length);
  CopyOut(offset, out.data(), length);
  return out;
}

void MemoryFormatStore::Fill(uint64_t offset, uint64_t length, uint8_t value) {
  std::vector<uint8_t> bytes(std::min<uint64_t>(length, kPage), value);
  while (length > 0) {
    uint64_t piece = std::min<uint64_t>(length, bytes.size());
    CopyIn(offset, bytes.data(), piece);
    offset += piece;
    length -= piece;
  }
}

void MemoryFormatStore::Put(uint64_t offset, const std::vector<uint8_t> &bytes) {
  CopyIn(offset, bytes.data(), bytes.size());
}

bool MemoryFormatStore::IsZero(uint64_t offset, uint64_t length) const {
  if (length == 0) return true;
  uint64_t end = offset + length;
  // Only pages that exist can hold anything but zeros.
  for (auto it = pages_.lower_bound(offset / kPage); it != pages_.end(); ++it) {
    uint64_t pageStart = it->first * kPage;
    if (pageStart >= end) break;
    uint64_t from = std::max(offset, pageStart) - pageStart;
    uint64_t to = std::min(end, pageStart + kPage) - pageStart;
    const uint8_t *p = it->second.get();
    if (!std::all_of(p + from, p + to, [](uint8_t b) { return b == 0; })) return false;
  }
  return true;
}

}  // namespace bw::test
