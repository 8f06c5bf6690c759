// Pending file operations, as the session manager applies them at boot.
#include "platform/daemon/session_manager.h"

#include "platform/daemon/registry_key.h"

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

namespace bw {

namespace {

const std::u16string kSessionManager =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr std::u16string_view kPending = u"PendingFileRenameOperations";
std::mutex gPendingLock;

// The pairs of the value. Its sources are never empty, so an empty string
// where a source would be ends the list.
std::vector<std::pair<std::u16string, std::u16string>> ReadPairs(const RegistryKey &key) {
  ULONG type = 0;
  std::vector<uint8_t> data;
  std::vector<std::pair<std::u16string, std::u16string>> pairs;
  if (!key.Raw(kPending, &type, &data) || type != REG_MULTI_SZ) return pairs;
  std::u16string all(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
  size_t at = 0;
  auto next = [&] {
    size_t end = all.find(u'\0', at);
    if (end == std::u16string::npos) end = all.size();
    std::u16string s = all.substr(at, end - at);
    at = end + 1;
    return s;
  };
  while (at < all.size()) {
    std::u16string source = next();
    if (source.empty()) break;
    std::u16string target = at <= all.size() ? next() : std::u16string();
    pairs.emplace_back(std::move(source), std::move(target));
  }
  return pairs;
}

UNICODE_STRING Unicode(const std::u16string &text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<PWCHAR>(text.data())};
}

NTSTATUS Apply(const std::u16string &source, std::u16string target) {
  UNICODE_STRING name = Unicode(source);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = ZwCreateFile(&handle, DELETE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                                 nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  if (target.empty()) {
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    status = ZwSetInformationFile(handle, &iosb, &disposition, sizeof disposition,
                                  FileDispositionInformation);
  } else {
    bool replace = target[0] == u'!';
    if (replace) target.erase(0, 1);
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFORMATION) + target.size() * 2);
    auto *rename = reinterpret_cast<PFILE_RENAME_INFORMATION>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
    memcpy(rename->FileName, target.data(), target.size() * 2);
    status = ZwSetInformationFile(handle, &iosb, rename, static_cast<ULONG>(buffer.size()),
                                  FileRenameInformation);
  }
  ZwClose(handle);
  return status;
}

std::string Narrow(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

NTSTATUS AddPendingFileOperation(const std::u16string &source, const std::u16string &target) {
  std::lock_guard<std::mutex> guard(gPendingLock);
  RegistryKey key;
  NTSTATUS status = key.Create(kSessionManager);
  if (!NT_SUCCESS(status)) return status;
  std::u16string all;
  for (auto &[s, t] : ReadPairs(key)) all += s + u'\0' + t + u'\0';
  all += source + u'\0' + target + u'\0' + u'\0';
  UNICODE_STRING valueName{static_cast<USHORT>(kPending.size() * 2),
                           static_cast<USHORT>(kPending.size() * 2),
                           const_cast<PWCHAR>(kPending.data())};
  // Written as it is: a delete's target is an empty string, which a list
  // of names would end at.
  return key.SetRaw(valueName, REG_MULTI_SZ, all.data(), all.size() * 2);
}

void ApplyPendingFileOperations() {
  std::lock_guard<std::mutex> guard(gPendingLock);
  RegistryKey key;
  if (!NT_SUCCESS(key.Open(kSessionManager))) return;
  auto pairs = ReadPairs(key);
  for (auto &[source, target] : pairs) {
    NTSTATUS status = Apply(source, target);
    if (!NT_SUCCESS(status))
      fprintf(stderr, "ramvold: the pending %s of %s failed (0x%08X)\n",
              target.empty() ? "delete" : "rename", Narrow(source).c_str(),
              static_cast<unsigned>(status));
  }
  key.DeleteValue(kPending);
}

}  // namespace bw
