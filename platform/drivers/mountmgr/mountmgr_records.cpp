// The mount manager's request records and its reply, and the names it
// deals in. A record locates its names by offset and length; nothing is
// read before both are known to lie inside the buffer.
#include "platform/drivers/mountmgr/mountmgr.h"

#include <cstring>

namespace mountmgr {

namespace {

// A piece of `length` bytes at `offset` of a buffer of `size` bytes.
bool Inside(ULONG size, ULONG64 offset, ULONG64 length) { return offset <= size && length <= size - offset; }

NTSTATUS TakeName(const UCHAR *base, ULONG size, ULONG64 offset, ULONG64 length, std::u16string *name) {
  name->clear();
  if (length == 0) return STATUS_SUCCESS;
  if (length % sizeof(WCHAR) || !Inside(size, offset, length)) return STATUS_INVALID_PARAMETER;
  name->resize(length / sizeof(WCHAR));
  memcpy(name->data(), base + offset, length);
  return STATUS_SUCCESS;
}

WCHAR Upper(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

bool StartsWithNoCase(const std::u16string &text, const std::u16string &prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upper(text[i]) != Upper(prefix[i])) return false;
  return true;
}

// The part after "\DosDevices\" or "\??\", or empty.
std::u16string DosName(const std::u16string &link) {
  for (const std::u16string prefix : {u"\\DosDevices\\", u"\\??\\"})
    if (StartsWithNoCase(link, prefix)) return link.substr(prefix.size());
  return {};
}

}  // namespace

NTSTATUS ParseTargetName(const void *input, ULONG length, std::u16string *device) {
  if (!input || length < sizeof(USHORT)) return STATUS_INVALID_PARAMETER;
  USHORT bytes;
  memcpy(&bytes, input, sizeof bytes);
  if (bytes == 0) return STATUS_INVALID_PARAMETER;
  return TakeName(static_cast<const UCHAR *>(input), length, FIELD_OFFSET(MOUNTMGR_TARGET_NAME, DeviceName), bytes,
                  device);
}

NTSTATUS ParseCreatePoint(const void *input, ULONG length, std::u16string *link, std::u16string *device) {
  if (!input || length < sizeof(MOUNTMGR_CREATE_POINT_INPUT)) return STATUS_INVALID_PARAMETER;
  MOUNTMGR_CREATE_POINT_INPUT record;
  memcpy(&record, input, sizeof record);
  if (!record.SymbolicLinkNameLength || !record.DeviceNameLength) return STATUS_INVALID_PARAMETER;
  auto *base = static_cast<const UCHAR *>(input);
  NTSTATUS status = TakeName(base, length, record.SymbolicLinkNameOffset, record.SymbolicLinkNameLength, link);
  if (NT_SUCCESS(status)) status = TakeName(base, length, record.DeviceNameOffset, record.DeviceNameLength, device);
  return status;
}

NTSTATUS ParseMountPoint(const void *input, ULONG length, PointFilter *filter) {
  *filter = PointFilter{};
  if (!input || length < sizeof(MOUNTMGR_MOUNT_POINT)) return STATUS_INVALID_PARAMETER;
  MOUNTMGR_MOUNT_POINT record;
  memcpy(&record, input, sizeof record);
  auto *base = static_cast<const UCHAR *>(input);
  NTSTATUS status =
      TakeName(base, length, record.SymbolicLinkNameOffset, record.SymbolicLinkNameLength, &filter->link);
  if (NT_SUCCESS(status))
    status = TakeName(base, length, record.DeviceNameOffset, record.DeviceNameLength, &filter->device);
  if (!NT_SUCCESS(status)) return status;
  if (record.UniqueIdLength) {
    if (!Inside(length, record.UniqueIdOffset, record.UniqueIdLength)) return STATUS_INVALID_PARAMETER;
    filter->uniqueId.assign(base + record.UniqueIdOffset, base + record.UniqueIdOffset + record.UniqueIdLength);
  }
  return STATUS_SUCCESS;
}

NTSTATUS WritePoints(const std::vector<Point> &points, void *output, ULONG length, ULONG_PTR *information) {
  *information = 0;
  if (!output || length < sizeof(MOUNTMGR_MOUNT_POINTS)) return STATUS_INVALID_PARAMETER;
  // The records, then each point's strings; a unique id of odd length is
  // padded so that the names after it stay aligned.
  ULONG64 size = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) + points.size() * sizeof(MOUNTMGR_MOUNT_POINT);
  for (const Point &p : points)
    size += p.link.size() * sizeof(WCHAR) + ((p.uniqueId.size() + 1) & ~size_t(1)) + p.device.size() * sizeof(WCHAR);
  auto *reply = static_cast<PMOUNTMGR_MOUNT_POINTS>(output);
  reply->Size = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(size);
  reply->NumberOfMountPoints = static_cast<ULONG>(points.size());
  if (size > length) {
    *information = sizeof(MOUNTMGR_MOUNT_POINTS);
    return STATUS_BUFFER_OVERFLOW;
  }
  auto *base = static_cast<UCHAR *>(output);
  ULONG at = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) + static_cast<ULONG>(points.size() * sizeof(MOUNTMGR_MOUNT_POINT));
  for (size_t i = 0; i < points.size(); ++i) {
    const Point &p = points[i];
    MOUNTMGR_MOUNT_POINT record{};
    record.SymbolicLinkNameOffset = at;
    record.SymbolicLinkNameLength = static_cast<USHORT>(p.link.size() * sizeof(WCHAR));
    memcpy(base + at, p.link.data(), record.SymbolicLinkNameLength);
    at += record.SymbolicLinkNameLength;
    record.UniqueIdOffset = at;
    record.UniqueIdLength = static_cast<USHORT>(p.uniqueId.size());
    memcpy(base + at, p.uniqueId.data(), p.uniqueId.size());
    at += (record.UniqueIdLength + 1) & ~1u;
    record.DeviceNameOffset = at;
    record.DeviceNameLength = static_cast<USHORT>(p.device.size() * sizeof(WCHAR));
    memcpy(base + at, p.device.data(), record.DeviceNameLength);
    at += record.DeviceNameLength;
    memcpy(&reply->MountPoints[0] + i, &record, sizeof record);
  }
  *information = at;
  return STATUS_SUCCESS;
}

bool EqualNoCase(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool IsDriveLetterLink(const std::u16string &link) {
  std::u16string name = DosName(link);
  return name.size() == 2 && Upper(name[0]) >= 'A' && Upper(name[0]) <= 'Z' && name[1] == ':';
}

bool IsVolumeNameLink(const std::u16string &link) {
  UNICODE_STRING view = View(link);
  return MOUNTMGR_IS_VOLUME_NAME(&view) && view.Length == 96;
}

std::u16string RecordedLinkName(const std::u16string &link) {
  if (!IsDriveLetterLink(link)) return link;
  std::u16string name = DosName(link);
  return std::u16string(u"\\DosDevices\\") + Upper(name[0]) + u":";
}

bool SameLink(const std::u16string &a, const std::u16string &b) {
  std::u16string da = DosName(a), db = DosName(b);
  if (!da.empty() && !db.empty()) return EqualNoCase(da, db);
  return EqualNoCase(a, b);
}

UNICODE_STRING View(const std::u16string &text) {
  UNICODE_STRING s;
  s.Buffer = const_cast<PWSTR>(text.data());
  s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s.MaximumLength = s.Length;
  return s;
}

}  // namespace mountmgr
