// Talking to a volume: opened by its name for one exchange only (a direct
// device open, which mounts no file system), asked with the MOUNTDEV
// requests, closed again. And the symbolic links the mount manager owns.
#include "platform/drivers/mountmgr/mountmgr.h"

#include <cstring>
#include <random>

namespace mountmgr {

namespace {

class VolumeConnection {
 public:
  VolumeConnection() = default;
  VolumeConnection(const VolumeConnection &) = delete;
  VolumeConnection &operator=(const VolumeConnection &) = delete;
  ~VolumeConnection() {
    if (file_) ObDereferenceObject(file_);
  }

  NTSTATUS Open(const std::u16string &name) {
    UNICODE_STRING view = View(name);
    return IoGetDeviceObjectPointer(&view, FILE_READ_ATTRIBUTES, &file_, &device_);
  }

  NTSTATUS Control(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength,
                   ULONG_PTR *information) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device_, const_cast<void *>(input), inputLength, output,
                                             outputLength, FALSE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file_;
    NTSTATUS status = IoCallDriver(device_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    if (information) *information = iosb.Information;
    return status;
  }

  // A reply of a header and a counted piece (its USHORT length at
  // `lengthAt`, its bytes at `dataAt`), asked again with room for the
  // piece when the first reply says it did not fit.
  NTSTATUS QueryCounted(ULONG code, ULONG headerSize, ULONG lengthAt, ULONG dataAt, Bytes *piece) {
    std::vector<UCHAR> buffer(headerSize);
    for (int attempt = 0; attempt < 3; ++attempt) {
      ULONG_PTR information = 0;
      NTSTATUS status =
          Control(code, nullptr, 0, buffer.data(), static_cast<ULONG>(buffer.size()), &information);
      if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status)) return status;
      if (information < lengthAt + sizeof(USHORT)) return STATUS_INVALID_PARAMETER;
      USHORT length;
      memcpy(&length, buffer.data() + lengthAt, sizeof length);
      if (status == STATUS_BUFFER_OVERFLOW) {
        if (headerSize + length <= buffer.size()) return STATUS_INVALID_PARAMETER;
        buffer.resize(headerSize + length);
        continue;
      }
      // The answer must hold what it claims.
      if (dataAt + length > information) return STATUS_INVALID_PARAMETER;
      piece->assign(buffer.data() + dataAt, buffer.data() + dataAt + length);
      return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
  }

 private:
  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

bool ToName(const Bytes &bytes, std::u16string *name) {
  if (bytes.empty() || bytes.size() % sizeof(WCHAR)) return false;
  name->resize(bytes.size() / sizeof(WCHAR));
  memcpy(name->data(), bytes.data(), bytes.size());
  return true;
}

// "\DosDevices\X:" and "\??\Volume{...}" live in the global directory.
std::u16string GlobalPath(const std::u16string &link) {
  for (const std::u16string prefix : {u"\\DosDevices\\", u"\\??\\"})
    if (link.size() > prefix.size() && EqualNoCase(link.substr(0, prefix.size()), prefix))
      return u"\\GLOBAL??\\" + link.substr(prefix.size());
  return link;
}

}  // namespace

NTSTATUS QueryVolume(const std::u16string &device, VolumeFacts *facts) {
  *facts = VolumeFacts{};
  VolumeConnection volume;
  NTSTATUS status = volume.Open(device);
  if (!NT_SUCCESS(status)) return status;
  Bytes bytes;
  status = volume.QueryCounted(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, sizeof(MOUNTDEV_NAME),
                               FIELD_OFFSET(MOUNTDEV_NAME, NameLength), FIELD_OFFSET(MOUNTDEV_NAME, Name), &bytes);
  if (!NT_SUCCESS(status)) return status;
  if (!ToName(bytes, &facts->device)) return STATUS_INVALID_PARAMETER;
  status = volume.QueryCounted(IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, sizeof(MOUNTDEV_UNIQUE_ID),
                               FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueIdLength),
                               FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId), &facts->uniqueId);
  if (!NT_SUCCESS(status)) return status;
  if (facts->uniqueId.empty()) return STATUS_INVALID_PARAMETER;
  // The suggested link is a wish: a volume without one, or with a broken
  // answer, simply has none.
  if (NT_SUCCESS(volume.QueryCounted(IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, sizeof(MOUNTDEV_SUGGESTED_LINK_NAME),
                                     FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, NameLength),
                                     FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, Name), &bytes)))
    ToName(bytes, &facts->suggested);
  return STATUS_SUCCESS;
}

void TellVolume(const std::u16string &device, ULONG code, const std::u16string &link) {
  VolumeConnection volume;
  if (!NT_SUCCESS(volume.Open(device))) return;
  Bytes input(FIELD_OFFSET(MOUNTDEV_NAME, Name) + link.size() * sizeof(WCHAR));
  USHORT length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  memcpy(input.data(), &length, sizeof length);
  memcpy(input.data() + FIELD_OFFSET(MOUNTDEV_NAME, Name), link.data(), length);
  volume.Control(code, input.data(), static_cast<ULONG>(input.size()), nullptr, 0, nullptr);
}

NTSTATUS CreateLink(const std::u16string &link, const std::u16string &device) {
  std::u16string global = GlobalPath(link);
  UNICODE_STRING name = View(global), target = View(device);
  return IoCreateSymbolicLink(&name, &target);
}

NTSTATUS DeleteLink(const std::u16string &link) {
  std::u16string global = GlobalPath(link);
  UNICODE_STRING name = View(global);
  return IoDeleteSymbolicLink(&name);
}

NTSTATUS LinkTarget(const std::u16string &link, std::u16string *target) {
  target->clear();
  std::u16string global = GlobalPath(link);
  UNICODE_STRING name = View(global);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  NTSTATUS status = ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes);
  if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string buffer(1024, u'\0');
  UNICODE_STRING text{0, static_cast<USHORT>(buffer.size() * sizeof(WCHAR)), buffer.data()};
  ULONG length = 0;
  status = ZwQuerySymbolicLinkObject(handle, &text, &length);
  ZwClose(handle);
  if (NT_SUCCESS(status)) target->assign(buffer.data(), text.Length / sizeof(WCHAR));
  return status;
}

std::u16string NewVolumeName() {
  static std::mt19937_64 random{std::random_device{}()};
  UCHAR bytes[16];
  for (int i = 0; i < 16; i += 8) {
    ULONG64 value = random();
    memcpy(bytes + i, &value, 8);
  }
  bytes[6] = static_cast<UCHAR>((bytes[6] & 0x0F) | 0x40);  // a random GUID
  bytes[8] = static_cast<UCHAR>((bytes[8] & 0x3F) | 0x80);
  static const char16_t hex[] = u"0123456789abcdef";
  std::u16string name = u"\\??\\Volume{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name += u'-';
    name += hex[bytes[i] >> 4];
    name += hex[bytes[i] & 15];
  }
  return name + u"}";
}

}  // namespace mountmgr
