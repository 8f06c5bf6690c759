// IoQueryFileDosDeviceName: a file's name with the drive letter of its
// volume ("Z:\tmp\a.img"). Windows asks the mount manager for the letter;
// here the global letter links say the same, and they also cover the host
// root, which no mount manager announces.
#include "internal.h"
#include "io/io_internal.h"

#include <string>

namespace {

// The target of "\GLOBAL??\X:", or empty.
std::u16string LetterTarget(char16_t letter) {
  std::u16string name = u"\\GLOBAL??\\";
  name += letter;
  name += u':';
  UNICODE_STRING path{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                      name.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE link;
  if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes))) return {};
  char16_t buffer[512];
  UNICODE_STRING target{0, sizeof(buffer), buffer};
  ULONG needed = 0;
  NTSTATUS status = ZwQuerySymbolicLinkObject(link, &target, &needed);
  ZwClose(link);
  if (!NT_SUCCESS(status)) return {};
  return std::u16string(buffer, target.Length / 2);
}

// The object name of the file's device.
std::u16string DeviceName(PDEVICE_OBJECT device) {
  alignas(8) unsigned char buffer[sizeof(OBJECT_NAME_INFORMATION) + 1024];
  auto *info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
  ULONG needed = 0;
  if (!NT_SUCCESS(ObQueryNameString(device, info, sizeof(buffer), &needed))) return {};
  return std::u16string(info->Name.Buffer, info->Name.Length / 2);
}

bool SameName(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  return true;
}

}  // namespace

NTSTATUS IoQueryFileDosDeviceName(PFILE_OBJECT FileObject, POBJECT_NAME_INFORMATION *ObjectNameInformation) {
  if (!FileObject || !ObjectNameInformation || !FileObject->DeviceObject) return STATUS_INVALID_PARAMETER;
  *ObjectNameInformation = nullptr;
  std::u16string device = DeviceName(FileObject->DeviceObject);
  if (device.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
    if (!SameName(LetterTarget(letter), device)) continue;
    std::u16string name;
    name += letter;
    name += u':';
    name.append(FileObject->FileName.Buffer ? FileObject->FileName.Buffer : u"",
                FileObject->FileName.Length / 2);
    if (name.size() == 2) name += u'\\';
    size_t bytes = name.size() * 2;
    if (bytes > 0xFFFC) return STATUS_NAME_TOO_LONG;
    auto *info = static_cast<POBJECT_NAME_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, sizeof(OBJECT_NAME_INFORMATION) + bytes + 2, 0x496F446E /* "nDoI" */));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    auto *chars = reinterpret_cast<PWCHAR>(info + 1);
    memcpy(chars, name.data(), bytes);
    chars[name.size()] = 0;
    info->Name.Buffer = chars;
    info->Name.Length = static_cast<USHORT>(bytes);
    info->Name.MaximumLength = static_cast<USHORT>(bytes + 2);
    *ObjectNameInformation = info;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}
