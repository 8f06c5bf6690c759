// Object manager: objects, references, namespace and handle tables.
#include "ob/object.h"

#include "internal.h"
#include "ps/process.h"
#include "nt/io.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace bw {

namespace {

constexpr uint64_t kObjectMagic = 0x5443454A424F5742ULL;  // "BWOBJECT"
constexpr uint64_t kDeadMagic = 0x44414544DEADDEADULL;
constexpr size_t kHeaderSpace = (sizeof(ObjectHeader) + 15) & ~size_t(15);
std::atomic<size_t> gLiveObjects{0};

char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  return c;
}

PVOID gRoot = nullptr;

void DestroyDirectory(void *body) { static_cast<DirectoryBody *>(body)->~DirectoryBody(); }
void DestroySymlink(void *body) { static_cast<SymbolicLinkBody *>(body)->~SymbolicLinkBody(); }

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == u'\\') ++i;
    size_t j = i;
    while (j < path.size() && path[j] != u'\\') ++j;
    if (j > i) parts.emplace_back(path.substr(i, j - i));
    i = j;
  }
  return parts;
}

}  // namespace

_OBJECT_TYPE DirectoryType{u"Directory", DestroyDirectory, 0x20003, 0x2000C, 0x20003, 0xF000F};
_OBJECT_TYPE SymbolicLinkType{u"SymbolicLink", DestroySymlink, 0x20001, 0x20000, 0x20001,
                              0xF0001};

bool CaseInsensitiveLess::operator()(const std::u16string &a, const std::u16string &b) const {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

std::u16string ToU16(const UNICODE_STRING *s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string ToU16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c >> 5) == 6) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c >> 4) == 14) {
      cp = c & 0x0F;
      extra = 2;
    } else {
      cp = c & 0x07;
      extra = 3;
    }
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

ObjectHeader *HeaderOf(PVOID body) {
  return reinterpret_cast<ObjectHeader *>(static_cast<char *>(body) - kHeaderSpace);
}

bool IsObject(PVOID body) { return body && HeaderOf(body)->magic == kObjectMagic; }

PVOID CreateObject(POBJECT_TYPE type, size_t bodySize) {
  void *raw = aligned_alloc(16, (kHeaderSpace + bodySize + 15) & ~size_t(15));
  if (!raw) return nullptr;
  auto *header = new (raw) ObjectHeader;
  header->magic = kObjectMagic;
  header->pointerCount = 1;
  header->handleCount = 0;
  header->type = type;
  PVOID body = static_cast<char *>(raw) + kHeaderSpace;
  memset(body, 0, bodySize);
  gLiveObjects++;
  return body;
}

size_t LiveObjectCount() { return gLiveObjects.load(); }

void NamespaceInit() {
  gRoot = CreateObject(&DirectoryType, sizeof(DirectoryBody));
  new (gRoot) DirectoryBody;
  HeaderOf(gRoot)->name = u"\\";
  for (auto dir : {u"\\Device", u"\\Driver", u"\\GLOBAL??", u"\\Sessions",
                   u"\\Sessions\\0", u"\\Sessions\\0\\DosDevices", u"\\FileSystem",
                   u"\\BaseNamedObjects", u"\\KernelObjects", u"\\ObjectTypes"})
    EnsureDirectory(dir);
  // "\DosDevices" and "\GLOBAL??\GLOBALROOT" as on Windows.
  PVOID link = CreateObject(&SymbolicLinkType, sizeof(SymbolicLinkBody));
  new (link) SymbolicLinkBody{u"\\??"};
  InsertObject(u"\\DosDevices", link);
  ObfDereferenceObject(link);
  link = CreateObject(&SymbolicLinkType, sizeof(SymbolicLinkBody));
  new (link) SymbolicLinkBody{u""};
  InsertObject(u"\\GLOBAL??\\GLOBALROOT", link);
  ObfDereferenceObject(link);
}

namespace {

void EmptyDirectory(PVOID dir) {
  auto *d = static_cast<DirectoryBody *>(dir);
  std::map<std::u16string, PVOID, CaseInsensitiveLess> entries;
  {
    std::lock_guard<std::mutex> guard(d->lock);
    entries.swap(d->entries);
    d->deleted = true;
  }
  for (auto &[name, object] : entries) {
    HeaderOf(object)->inNamespace = false;
    if (HeaderOf(object)->type == &DirectoryType) EmptyDirectory(object);
    ObfDereferenceObject(object);
  }
}

}  // namespace

void NamespaceShutdown() {
  if (!gRoot) return;
  EmptyDirectory(gRoot);
  ObfDereferenceObject(gRoot);
  gRoot = nullptr;
}

namespace {

// Finds the directory for `parts[0..n)`, referenced.
NTSTATUS WalkDirectories(const std::vector<std::u16string> &parts, size_t n, PVOID *dir) {
  PVOID current = gRoot;
  if (!current) return STATUS_OBJECT_PATH_NOT_FOUND;
  ObfReferenceObject(current);
  for (size_t i = 0; i < n; ++i) {
    auto *d = static_cast<DirectoryBody *>(current);
    PVOID next = nullptr;
    {
      std::lock_guard<std::mutex> guard(d->lock);
      auto it = d->entries.find(parts[i]);
      if (it != d->entries.end()) next = it->second;
      if (next) ObfReferenceObject(next);
    }
    ObfDereferenceObject(current);
    if (!next) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (HeaderOf(next)->type != &DirectoryType) {
      ObfDereferenceObject(next);
      return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    current = next;
  }
  *dir = current;
  return STATUS_SUCCESS;
}

std::u16string JoinPath(const std::vector<std::u16string> &parts, size_t from, size_t to) {
  std::u16string s;
  for (size_t i = from; i < to; ++i) s += u"\\" + parts[i];
  return s;
}

}  // namespace

NTSTATUS EnsureDirectory(std::u16string_view path) {
  auto parts = SplitPath(path);
  for (size_t n = 1; n <= parts.size(); ++n) {
    PVOID dir = CreateObject(&DirectoryType, sizeof(DirectoryBody));
    if (!dir) return STATUS_INSUFFICIENT_RESOURCES;
    new (dir) DirectoryBody;
    NTSTATUS status = InsertObject(JoinPath(parts, 0, n), dir);
    ObfDereferenceObject(dir);
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS InsertObject(std::u16string_view path, PVOID body) {
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  auto parts = SplitPath(path);
  if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
  PVOID dir = nullptr;
  NTSTATUS status = WalkDirectories(parts, parts.size() - 1, &dir);
  if (!NT_SUCCESS(status)) return status;
  auto *d = static_cast<DirectoryBody *>(dir);
  {
    std::lock_guard<std::mutex> guard(d->lock);
    if (d->deleted) {
      status = STATUS_OBJECT_PATH_NOT_FOUND;
    } else if (d->entries.count(parts.back())) {
      status = STATUS_OBJECT_NAME_COLLISION;
    } else {
      d->entries.emplace(parts.back(), body);
      ObfReferenceObject(body);
      HeaderOf(body)->name = JoinPath(parts, 0, parts.size());
      HeaderOf(body)->inNamespace = true;
    }
  }
  ObfDereferenceObject(dir);
  return status;
}

NTSTATUS DeleteDirectoryTree(std::u16string_view path) {
  auto parts = SplitPath(path);
  if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
  PVOID dir = nullptr;
  NTSTATUS status = WalkDirectories(parts, parts.size(), &dir);
  if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_NOT_FOUND;
  // Out of the namespace first, so that no lookup finds it half emptied.
  RemoveObject(dir);
  EmptyDirectory(dir);
  ObfDereferenceObject(dir);
  return STATUS_SUCCESS;
}

void RemoveObject(PVOID body) {
  ObjectHeader *h = HeaderOf(body);
  if (!h->inNamespace) return;
  auto parts = SplitPath(h->name);
  PVOID dir = nullptr;
  if (parts.empty() || !NT_SUCCESS(WalkDirectories(parts, parts.size() - 1, &dir))) return;
  bool removed = false;
  {
    auto *d = static_cast<DirectoryBody *>(dir);
    std::lock_guard<std::mutex> guard(d->lock);
    auto it = d->entries.find(parts.back());
    if (it != d->entries.end() && it->second == body) {
      d->entries.erase(it);
      h->inNamespace = false;
      removed = true;
    }
  }
  ObfDereferenceObject(dir);
  if (removed) ObfDereferenceObject(body);
}

NTSTATUS LookupObjectFor(std::u16string_view path, bool openLink, const LUID *logonId,
                         LookupResult *result) {
  std::u16string current(path);
  for (int reparse = 0; reparse < 32; ++reparse) {
    if (current.empty() || current[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    // "\??" is the caller's logon-session DosDevices first, then the global one.
    if (current == u"\\??" || current.rfind(u"\\??\\", 0) == 0) {
      std::u16string rest = current.substr(3);
      if (logonId && (logonId->LowPart || logonId->HighPart)) {
        char16_t session[64];
        std::u16string local = u"\\Sessions\\0\\DosDevices\\";
        char buf[32];
        snprintf(buf, sizeof buf, "%08X-%08X", static_cast<unsigned>(logonId->HighPart),
                 static_cast<unsigned>(logonId->LowPart));
        (void)session;
        local += ToU16(buf);
        LookupResult r;
        NTSTATUS status = LookupObjectFor(local + rest, openLink, nullptr, &r);
        if (NT_SUCCESS(status)) {
          *result = std::move(r);
          return status;
        }
      }
      current = u"\\GLOBAL??" + rest;
    }
    auto parts = SplitPath(current);
    // A trailing backslash stays with the name that a device or link is
    // given: "\Device\Volume\" opens the root folder of the volume's file
    // system, "\Device\Volume" the volume itself.
    const std::u16string trailing = current.size() > 1 && current.back() == u'\\' ? u"\\" : u"";
    PVOID object = gRoot;
    if (!object) return STATUS_OBJECT_PATH_NOT_FOUND;
    ObfReferenceObject(object);
    bool restarted = false;
    for (size_t i = 0; i < parts.size(); ++i) {
      ObjectHeader *h = HeaderOf(object);
      if (h->type != &DirectoryType) {
        ObfDereferenceObject(object);
        return STATUS_OBJECT_PATH_NOT_FOUND;
      }
      auto *d = static_cast<DirectoryBody *>(object);
      PVOID next = nullptr;
      {
        std::lock_guard<std::mutex> guard(d->lock);
        auto it = d->entries.find(parts[i]);
        if (it != d->entries.end()) {
          next = it->second;
          ObfReferenceObject(next);
        }
      }
      ObfDereferenceObject(object);
      bool last = i + 1 == parts.size();
      if (!next) return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      ObjectHeader *nh = HeaderOf(next);
      if (nh->type == &SymbolicLinkType && !(last && openLink)) {
        std::u16string target = static_cast<SymbolicLinkBody *>(next)->target;
        ObfDereferenceObject(next);
        current = target + JoinPath(parts, i + 1, parts.size());
        if (!current.empty() && current.back() != u'\\') current += trailing;
        if (current.empty()) current = u"\\";
        restarted = true;
        break;
      }
      if (nh->type == &DeviceType) {
        result->object = next;
        result->remaining = JoinPath(parts, i + 1, parts.size()) + trailing;
        return STATUS_SUCCESS;
      }
      object = next;
    }
    if (restarted) continue;
    result->object = object;
    result->remaining.clear();
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS LookupObject(std::u16string_view path, bool openLink, LookupResult *result) {
  LUID logon{0, 0};
  CurrentLogonId(&logon);
  return LookupObjectFor(path, openLink, &logon, result);
}

// Handle tables.

HandleTable::~HandleTable() { CloseAll(); }

NTSTATUS HandleTable::Insert(PVOID object, ACCESS_MASK granted, ULONG attributes,
                             HANDLE *handle) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (entries_.size() >= (1u << 24)) return STATUS_INSUFFICIENT_RESOURCES;
    index = entries_.size();
    entries_.emplace_back();
  }
  ObfReferenceObject(object);
  HeaderOf(object)->handleCount++;
  entries_[index] = HandleEntry{object, granted, attributes};
  ++count_;
  uint64_t value = (index + 1) * 4;
  if (kernel_) value |= 0xFFFFFFFF80000000ULL;
  *handle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

namespace {
bool IndexOf(HANDLE handle, bool kernel, size_t *index) {
  uint64_t value = reinterpret_cast<uint64_t>(handle);
  if (kernel) {
    if ((value & 0xFFFFFFFF80000000ULL) != 0xFFFFFFFF80000000ULL) return false;
    value &= 0x7FFFFFFFULL;
  } else if (value >= 0x80000000ULL) {
    return false;
  }
  if (value == 0 || (value & 3)) return false;
  *index = value / 4 - 1;
  return true;
}
}  // namespace

NTSTATUS HandleTable::Reference(HANDLE handle, HandleEntry *entry) {
  size_t index;
  if (!IndexOf(handle, kernel_, &index)) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= entries_.size() || !entries_[index].object) return STATUS_INVALID_HANDLE;
  *entry = entries_[index];
  ObfReferenceObject(entry->object);
  return STATUS_SUCCESS;
}

NTSTATUS HandleTable::Close(HANDLE handle) {
  size_t index;
  if (!IndexOf(handle, kernel_, &index)) return STATUS_INVALID_HANDLE;
  PVOID object;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (index >= entries_.size() || !entries_[index].object) return STATUS_INVALID_HANDLE;
    object = entries_[index].object;
    entries_[index] = HandleEntry{};
    free_.push_back(index);
    --count_;
  }
  if (--HeaderOf(object)->handleCount == 0) OnLastHandleClosed(object);
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

void HandleTable::CloseAll() {
  for (;;) {
    HANDLE handle = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].object) {
          uint64_t value = (i + 1) * 4;
          if (kernel_) value |= 0xFFFFFFFF80000000ULL;
          handle = reinterpret_cast<HANDLE>(value);
          break;
        }
      }
    }
    if (!handle) return;
    Close(handle);
  }
}

size_t HandleTable::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return count_;
}

bool IsKernelHandle(HANDLE handle) {
  uint64_t value = reinterpret_cast<uint64_t>(handle);
  return (value & 0xFFFFFFFF80000000ULL) == 0xFFFFFFFF80000000ULL && value != ~0ULL &&
         value != ~1ULL;
}

}  // namespace bw

using namespace bw;

LONG_PTR ObfReferenceObject(PVOID Object) {
  ObjectHeader *h = HeaderOf(Object);
  if (h->magic != kObjectMagic) KernelFault("ObReferenceObject on something that is not an object");
  return ++h->pointerCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  ObjectHeader *h = HeaderOf(Object);
  if (h->magic != kObjectMagic)
    KernelFault("ObDereferenceObject on something that is not an object");
  int64_t n = --h->pointerCount;
  if (n < 0) KernelFault("object reference count went below zero");
  if (n == 0) {
    if (h->type && h->type->Destroy) h->type->Destroy(Object);
    if (h->securityDescriptor) ExFreePool(h->securityDescriptor);
    h->magic = kDeadMagic;
    h->~ObjectHeader();
    free(h);
    gLiveObjects--;
  }
  return n;
}

LONG_PTR ObfReferenceObjectWithTag(PVOID Object, ULONG) { return ObfReferenceObject(Object); }
LONG_PTR ObfDereferenceObjectWithTag(PVOID Object, ULONG) { return ObfDereferenceObject(Object); }

POBJECT_TYPE ObGetObjectType(PVOID Object) { return HeaderOf(Object)->type; }

VOID ObMakeTemporaryObject(PVOID Object) { RemoveObject(Object); }

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE) {
  if (ObjectType && HeaderOf(Object)->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  ObfReferenceObject(Object);
  return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength) {
  std::u16string name = HeaderOf(Object)->name;
  // A file is named by its device and its name on that device.
  if (HeaderOf(Object)->type == &FileType) {
    auto *file = static_cast<PFILE_OBJECT>(Object);
    name = HeaderOf(file->DeviceObject)->name + ToU16(&file->FileName);
  }
  ULONG needed = static_cast<ULONG>(sizeof(OBJECT_NAME_INFORMATION) +
                                    (name.size() + 1) * sizeof(WCHAR));
  if (ReturnLength) *ReturnLength = needed;
  if (Length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  auto *text = reinterpret_cast<PWSTR>(ObjectNameInfo + 1);
  memcpy(text, name.data(), name.size() * sizeof(WCHAR));
  text[name.size()] = 0;
  ObjectNameInfo->Name.Buffer = name.empty() ? nullptr : text;
  ObjectNameInfo->Name.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  ObjectNameInfo->Name.MaximumLength = static_cast<USHORT>((name.size() + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}
