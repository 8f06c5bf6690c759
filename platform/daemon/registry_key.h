// A registry key as the daemon's system services use it (the service
// control manager, the session manager's boot work): the kernel's Zw calls
// behind a small owner of the handle.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace bw {

class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;
  RegistryKey(RegistryKey &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  ~RegistryKey();

  // "\Registry\Machine\..." paths. Create makes every missing key of the path.
  NTSTATUS Open(const std::u16string &path);
  NTSTATUS Create(const std::u16string &path);
  bool IsOpen() const { return handle_ != nullptr; }

  NTSTATUS SetDword(std::u16string_view name, ULONG value);
  NTSTATUS SetString(std::u16string_view name, const std::u16string &value, ULONG type = REG_SZ);
  NTSTATUS SetMultiString(std::u16string_view name, const std::vector<std::u16string> &values);
  NTSTATUS DeleteValue(std::u16string_view name);
  NTSTATUS SetRaw(UNICODE_STRING &name, ULONG type, const void *data, size_t bytes);
  // False when the value is missing or of another type.
  bool Dword(std::u16string_view name, ULONG *value) const;
  bool String(std::u16string_view name, std::u16string *value) const;
  bool MultiString(std::u16string_view name, std::vector<std::u16string> *values) const;
  // Names of the subkeys.
  std::vector<std::u16string> Subkeys() const;
  // Deletes the key with everything below it; the object stays closed.
  NTSTATUS DeleteTree();
  // A value as it is stored.
  bool Raw(std::u16string_view name, ULONG *type, std::vector<uint8_t> *data) const;

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace bw
