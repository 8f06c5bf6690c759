// The DOS device names a process sees: its logon session's DosDevices
// directory first, then the global one, as "\??" resolves them.
#include "bw/user_session.h"
#include "ob/object.h"
#include "se/logon_session.h"

#include <set>

namespace bw {

namespace {

bool HasSessionDirectory(LUID logonId) {
  LUID system = SYSTEM_LUID;
  if (!logonId.LowPart && !logonId.HighPart) return false;
  return logonId.LowPart != system.LowPart || logonId.HighPart != system.HighPart;
}

// Adds the names in directory `path` (none when it is not there).
void AddNames(std::u16string_view path, std::set<std::u16string, CaseInsensitiveLess> *names) {
  LookupResult result;
  if (!NT_SUCCESS(LookupObjectFor(path, true, nullptr, &result))) return;
  if (HeaderOf(result.object)->type == &DirectoryType) {
    auto *dir = static_cast<DirectoryBody *>(result.object);
    std::lock_guard<std::mutex> guard(dir->lock);
    for (auto &[name, object] : dir->entries) names->insert(name);
  }
  ObfDereferenceObject(result.object);
}

}  // namespace

NTSTATUS QueryDosDevice(LUID logonId, std::u16string_view name,
                        std::vector<std::u16string> *result) {
  if (!result) return STATUS_INVALID_PARAMETER;
  result->clear();
  if (name.empty()) {
    std::set<std::u16string, CaseInsensitiveLess> names;
    if (HasSessionDirectory(logonId)) AddNames(LogonSessionDirectory(logonId), &names);
    AddNames(u"\\GLOBAL??", &names);
    result->assign(names.begin(), names.end());
    return STATUS_SUCCESS;
  }
  if (name.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_NAME_INVALID;
  LookupResult found;
  NTSTATUS status =
      LookupObjectFor(u"\\??\\" + std::u16string(name), true,
                      HasSessionDirectory(logonId) ? &logonId : nullptr, &found);
  if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_NOT_FOUND;
  bool isLink = HeaderOf(found.object)->type == &SymbolicLinkType;
  if (isLink) result->push_back(static_cast<SymbolicLinkBody *>(found.object)->target);
  ObfDereferenceObject(found.object);
  return isLink ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace bw
