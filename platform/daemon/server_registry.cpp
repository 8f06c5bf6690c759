// The registry as user programs reach it through advapi32: keys opened by
// path below a predefined key or a key the process holds, their values and
// subkeys. Windows keeps an access list on every key; here two rules stand
// for the ones a default installation has: HKEY_LOCAL_MACHINE and other
// users' hives are read by everybody (another user's hive by
// administrators only) and changed by administrators only, and a user's own
// hive (HKEY_CURRENT_USER, "\Registry\User\<the user's SID>", made with its
// "Environment" and "SOFTWARE" keys on first use) is the user's.
#include "platform/daemon/server_internal.h"

#include <vector>

namespace bw {

namespace {

constexpr char16_t kMachine[] = u"\\Registry\\Machine";
constexpr char16_t kUsers[] = u"\\Registry\\User";
constexpr ACCESS_MASK kKeyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x20 /*KEY_CREATE_LINK*/ |
                                        DELETE | WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kKeyWow64Flags = 0x0100 | 0x0200;  // KEY_WOW64_64KEY, KEY_WOW64_32KEY: one view here

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; }

// `path` is `prefix` or lies below it.
bool Below(std::u16string_view path, std::u16string_view prefix) {
  if (path.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upper(path[i]) != Upper(prefix[i])) return false;
  return path.size() == prefix.size() || path[prefix.size()] == u'\\';
}

UNICODE_STRING Unicode(std::u16string_view text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<PWCHAR>(text.data())};
}

// Who asks: the caller's hive and whether the caller administers the system.
struct Caller {
  std::u16string hive;  // "\Registry\User\S-1-5-..."
  bool administrator = false;

  bool MayRead(std::u16string_view path) const {
    if (administrator || !Below(path, kUsers) || path.size() == std::size(kUsers) - 1) return true;
    return Below(path, hive);
  }
  bool MayWrite(std::u16string_view path) const { return administrator || Below(path, hive); }
};

std::u16string UserHive(UserProcess &process) {
  ULONG needed = 0;
  process.QueryToken(TokenUser, nullptr, 0, &needed);
  std::vector<uint64_t> buffer(needed / 8 + 2);
  if (!NT_SUCCESS(process.QueryToken(TokenUser, buffer.data(), static_cast<ULONG>(buffer.size() * 8),
                                     &needed)))
    return {};
  auto *user = reinterpret_cast<PTOKEN_USER>(buffer.data());
  WCHAR text[256];
  UNICODE_STRING sid{0, sizeof text, text};
  if (!NT_SUCCESS(RtlConvertSidToUnicodeString(&sid, user->User.Sid, FALSE))) return {};
  return std::u16string(kUsers) + u"\\" + std::u16string(text, sid.Length / 2);
}

// Rights as a key grants them: generic rights mapped, the view flags
// dropped, MAXIMUM_ALLOWED as much as the place allows.
ACCESS_MASK MapAccess(ACCESS_MASK access, bool writable) {
  access &= ~kKeyWow64Flags;
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_READ;
  if (access & GENERIC_ALL) access |= KEY_ALL_ACCESS;
  if (access & MAXIMUM_ALLOWED) access |= writable ? KEY_ALL_ACCESS : KEY_READ;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

NTSTATUS OpenPath(const std::u16string &path, HANDLE *handle) {
  UNICODE_STRING name = Unicode(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
}

// Creates each missing key of `path` below `from`, which exists.
NTSTATUS CreatePath(const std::u16string &path, size_t from, ULONG options, HANDLE *handle,
                    ULONG *disposition) {
  size_t at = from;
  for (;;) {
    size_t next = path.find(u'\\', at + 1);
    std::u16string part = path.substr(0, next);
    UNICODE_STRING name = Unicode(part);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE h = nullptr;
    NTSTATUS status = ZwCreateKey(&h, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
    if (!NT_SUCCESS(status)) return status;
    if (next == std::u16string::npos) {
      *handle = h;
      return STATUS_SUCCESS;
    }
    ZwClose(h);
    at = next;
  }
}

// The user's hive with the keys a new profile has.
NTSTATUS EnsureHive(const std::u16string &hive) {
  HANDLE h = nullptr;
  if (NT_SUCCESS(OpenPath(hive, &h))) {
    ZwClose(h);
    return STATUS_SUCCESS;
  }
  for (auto sub : {u"", u"\\Environment", u"\\SOFTWARE"}) {
    ULONG disposition = 0;
    NTSTATUS status = CreatePath(hive + sub, std::size(kUsers) - 1, 0, &h, &disposition);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(h);
  }
  return STATUS_SUCCESS;
}

// A subkey path made absolute below `base`: separators single, none at
// either end ("a\\b\" is "a\b"). False for a name Windows refuses.
bool JoinPath(const std::u16string &base, std::u16string_view name, std::u16string *path) {
  *path = base;
  size_t i = 0;
  while (i < name.size()) {
    size_t j = name.find(u'\\', i);
    if (j == std::u16string_view::npos) j = name.size();
    if (j > i) {
      if (j - i > 255) return false;  // a key name is at most 255 characters
      *path += u'\\';
      path->append(name.substr(i, j - i));
    }
    i = j + 1;
  }
  // A path may not start with a separator (ERROR_BAD_PATHNAME on Windows).
  return name.empty() || name[0] != u'\\';
}

}  // namespace

bool Server::ServeRegistry(Session &session, const Frame &frame) {
  wire::RegistryRequest request;
  PVOID input = nullptr, output = nullptr;
  if (!frame.Exactly(&request) || request.nameBytes % 2 ||
      uint64_t(request.nameBytes) > wire::kMaxPathBytes ||
      !session.BufferInWindow(request.input, uint64_t(request.nameBytes) + request.dataBytes, &input) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  std::u16string name(request.nameBytes / 2, u'\0');
  if (request.nameBytes) memcpy(name.data(), input, request.nameBytes);
  const uint8_t *data = static_cast<const uint8_t *>(input) + request.nameBytes;
  auto action = static_cast<wire::RegistryAction>(request.action);
  RegistryHandles &handles = session.process->registry;

  if (action == wire::RegistryAction::Close) {
    if (request.key >= wire::kRegistryCurrentUser && request.key <= wire::kRegistryUsers)
      return session.Reply(STATUS_SUCCESS);
    return session.Reply(handles.Remove(request.key) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE);
  }

  UserProcess &process = *session.process->process;
  Caller caller{UserHive(process), TokenIsAdministrator(process)};
  if (caller.hive.empty()) return session.Reply(STATUS_ACCESS_DENIED);

  // The key the request starts from.
  std::shared_ptr<RegistryHandle> base;
  if (request.key == wire::kRegistryCurrentUser || request.key == wire::kRegistryLocalMachine ||
      request.key == wire::kRegistryUsers) {
    base = std::make_shared<RegistryHandle>();
    if (request.key == wire::kRegistryCurrentUser) {
      base->path = caller.hive;
      NTSTATUS status = EnsureHive(base->path);
      if (!NT_SUCCESS(status)) return session.Reply(status);
    } else {
      base->path = request.key == wire::kRegistryLocalMachine ? kMachine : kUsers;
    }
    NTSTATUS status = OpenPath(base->path, &base->kernel);
    if (!NT_SUCCESS(status)) return session.Reply(status);
    base->access = MapAccess(MAXIMUM_ALLOWED, caller.MayWrite(base->path));
  } else {
    base = handles.Find(request.key);
    if (!base) return session.Reply(STATUS_INVALID_HANDLE);
  }

  switch (action) {
    case wire::RegistryAction::Open:
    case wire::RegistryAction::Create: {
      std::u16string path;
      if (!JoinPath(base->path, name, &path)) return session.Reply(STATUS_OBJECT_NAME_INVALID);
      bool writable = caller.MayWrite(path);
      ACCESS_MASK access = MapAccess(request.access, writable);
      if (!caller.MayRead(path) || ((access & kKeyWriteRights) && !writable))
        return session.Reply(STATUS_ACCESS_DENIED);
      auto key = std::make_shared<RegistryHandle>();
      key->path = path;
      key->access = access;
      ULONG disposition = REG_OPENED_EXISTING_KEY;
      NTSTATUS status = OpenPath(path, &key->kernel);
      if (action == wire::RegistryAction::Create &&
          (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND)) {
        // Creating new keys is a change of the key above them.
        if (!writable) return session.Reply(STATUS_ACCESS_DENIED);
        status = CreatePath(path, base->path.size(), request.options & REG_OPTION_VOLATILE,
                            &key->kernel, &disposition);
        disposition = REG_CREATED_NEW_KEY;
      }
      if (!NT_SUCCESS(status)) return session.Reply(status);
      uint64_t number = handles.Insert(std::move(key));
      return session.Reply(STATUS_SUCCESS, disposition, number);
    }
    case wire::RegistryAction::QueryValue: {
      if (!(base->access & KEY_QUERY_VALUE)) return session.Reply(STATUS_ACCESS_DENIED);
      UNICODE_STRING valueName = Unicode(name);
      ULONG needed = 0;
      NTSTATUS status = ZwQueryValueKey(base->kernel, &valueName, KeyValuePartialInformation,
                                        nullptr, 0, &needed);
      if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return session.Reply(NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status);
      std::vector<uint8_t> buffer(needed);
      status = ZwQueryValueKey(base->kernel, &valueName, KeyValuePartialInformation, buffer.data(),
                               needed, &needed);
      if (!NT_SUCCESS(status)) return session.Reply(status);
      auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
      if (info->DataLength > request.outputLength)
        return session.Reply(STATUS_BUFFER_TOO_SMALL, info->DataLength, info->Type);
      if (info->DataLength) memcpy(output, info->Data, info->DataLength);
      return session.Reply(STATUS_SUCCESS, info->DataLength, info->Type);
    }
    case wire::RegistryAction::SetValue: {
      if (!(base->access & KEY_SET_VALUE)) return session.Reply(STATUS_ACCESS_DENIED);
      UNICODE_STRING valueName = Unicode(name);
      return session.Reply(ZwSetValueKey(base->kernel, &valueName, 0, request.type,
                                         const_cast<uint8_t *>(data), request.dataBytes));
    }
    case wire::RegistryAction::DeleteValue: {
      if (!(base->access & KEY_SET_VALUE)) return session.Reply(STATUS_ACCESS_DENIED);
      UNICODE_STRING valueName = Unicode(name);
      return session.Reply(ZwDeleteValueKey(base->kernel, &valueName));
    }
    case wire::RegistryAction::DeleteKey: {
      std::u16string path;
      if (!JoinPath(base->path, name, &path)) return session.Reply(STATUS_OBJECT_NAME_INVALID);
      if (!caller.MayRead(path)) return session.Reply(STATUS_ACCESS_DENIED);
      HANDLE victim = nullptr;
      NTSTATUS status = OpenPath(path, &victim);
      if (!NT_SUCCESS(status)) return session.Reply(status);
      // The roots of the tree and of a user's hive stay.
      if (!caller.MayWrite(path) || path == caller.hive || path.size() <= std::size(kMachine) - 1) {
        ZwClose(victim);
        return session.Reply(STATUS_ACCESS_DENIED);
      }
      status = ZwDeleteKey(victim);
      ZwClose(victim);
      return session.Reply(status);
    }
    case wire::RegistryAction::EnumKey: {
      if (!(base->access & KEY_ENUMERATE_SUB_KEYS)) return session.Reply(STATUS_ACCESS_DENIED);
      ULONG needed = 0;
      NTSTATUS status = ZwEnumerateKey(base->kernel, request.index, KeyBasicInformation, nullptr, 0,
                                       &needed);
      if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return session.Reply(NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status);
      std::vector<uint64_t> buffer(needed / 8 + 1);
      status = ZwEnumerateKey(base->kernel, request.index, KeyBasicInformation, buffer.data(),
                              needed, &needed);
      if (!NT_SUCCESS(status)) return session.Reply(status);
      auto *info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
      uint64_t written = static_cast<uint64_t>(info->LastWriteTime.QuadPart);
      if (info->NameLength > request.outputLength)
        return session.Reply(STATUS_BUFFER_TOO_SMALL, info->NameLength, written);
      memcpy(output, info->Name, info->NameLength);
      return session.Reply(STATUS_SUCCESS, info->NameLength, written);
    }
    case wire::RegistryAction::EnumValue: {
      if (!(base->access & KEY_QUERY_VALUE)) return session.Reply(STATUS_ACCESS_DENIED);
      ULONG needed = 0;
      NTSTATUS status = ZwEnumerateValueKey(base->kernel, request.index, KeyValueFullInformation,
                                            nullptr, 0, &needed);
      if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return session.Reply(NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status);
      std::vector<uint64_t> buffer(needed / 8 + 1);
      status = ZwEnumerateValueKey(base->kernel, request.index, KeyValueFullInformation,
                                   buffer.data(), needed, &needed);
      if (!NT_SUCCESS(status)) return session.Reply(status);
      auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
      wire::RegistryValueRecord record{info->Type, info->NameLength, info->DataLength};
      uint64_t total = sizeof record + uint64_t(info->NameLength) + info->DataLength;
      if (total > request.outputLength) return session.Reply(STATUS_BUFFER_TOO_SMALL, total);
      auto *out = static_cast<uint8_t *>(output);
      memcpy(out, &record, sizeof record);
      memcpy(out + sizeof record, info->Name, info->NameLength);
      memcpy(out + sizeof record + info->NameLength,
             reinterpret_cast<const uint8_t *>(info) + info->DataOffset, info->DataLength);
      return session.Reply(STATUS_SUCCESS, total);
    }
    default:
      return false;
  }
}

}  // namespace bw
