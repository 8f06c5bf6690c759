// The registry tree, its operations, and its file.
//
// File layout (text, one record per line, "\n" line ends):
//   BWREGISTRY <version> <tree bytes> <crc-32 of the tree, 8 hex digits>
//   K <path below \Registry> <last write time> <class>
//   V <name> <type> x<hex data>
// A V record belongs to the K record before it; a K record's parent comes
// before it. Strings are written between double quotes with every character
// outside printable ASCII, and '%', '"' and space, as %XXXX (one UTF-16 code
// unit), so any name survives. Volatile keys are never written.
#include "config/registry_store.h"

#include "hostfs/host_io.h"
#include "nt/rtl.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bw {

struct RegistryStore::Key {
  const RegistryStore *owner = nullptr;
  std::u16string name;
  std::u16string className;
  std::weak_ptr<Key> parent;
  std::map<std::u16string, KeyRef> children;  // by upcased name: Windows' order
  std::vector<Value> values;                  // insertion order
  int64_t lastWriteTime = 0;
  bool isVolatile = false;
  bool deleted = false;
};

struct RegistryStore::Resolved {
  KeyRef parent;               // for create: where the last component goes
  std::u16string_view last;    // for create: the last component
  KeyRef key;                  // the key itself when it exists
};

namespace {

using Key = RegistryStore::Key;
using KeyRef = RegistryStore::KeyRef;

constexpr std::string_view kMagic = "BWREGISTRY";
constexpr unsigned kFormatVersion = 1;

int64_t Now() {
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return t.QuadPart;
}

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (auto &c : out) c = RtlUpcaseUnicodeChar(c);
  return out;
}

KeyRef NewKey(const RegistryStore *owner, std::u16string_view name, const KeyRef &parent,
              bool isVolatile, std::u16string_view className, int64_t time) {
  auto key = std::make_shared<Key>();
  key->owner = owner;
  key->name = name;
  key->className = className;
  key->parent = parent;
  key->isVolatile = isVolatile;
  key->lastWriteTime = time;
  return key;
}

KeyRef FindChild(const Key &key, std::u16string_view name) {
  auto it = key.children.find(Fold(name));
  return it == key.children.end() ? nullptr : it->second;
}

// Creates a missing child (used for the keys every boot expects).
KeyRef EnsureChild(const RegistryStore *owner, const KeyRef &parent, std::u16string_view name,
                   bool *added) {
  if (auto child = FindChild(*parent, name)) return child;
  auto child = NewKey(owner, name, parent, false, {}, Now());
  parent->children.emplace(Fold(name), child);
  parent->lastWriteTime = child->lastWriteTime;
  *added = true;
  return child;
}

bool EnsureSystemKeys(const RegistryStore *owner, const KeyRef &root) {
  bool added = false;
  auto machine = EnsureChild(owner, root, u"Machine", &added);
  EnsureChild(owner, root, u"User", &added);
  auto system = EnsureChild(owner, machine, u"System", &added);
  auto ccs = EnsureChild(owner, system, u"CurrentControlSet", &added);
  EnsureChild(owner, ccs, u"Services", &added);
  EnsureChild(owner, system, u"Setup", &added);
  return added;
}

// Marks a whole tree deleted and breaks it up; held references see
// STATUS_KEY_DELETED.
void RetireTree(const KeyRef &root) {
  std::vector<KeyRef> pending{root};
  while (!pending.empty()) {
    KeyRef key = std::move(pending.back());
    pending.pop_back();
    key->deleted = true;
    for (auto &entry : key->children) pending.push_back(entry.second);
    key->children.clear();
    key->parent.reset();
  }
}

std::u16string FullPath(const Key &key) {
  std::vector<const Key *> chain;
  for (const Key *k = &key; k; ) {
    chain.push_back(k);
    auto parent = k->parent.lock();
    k = parent.get();  // the tree keeps every parent alive while the child is in it
  }
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

std::vector<RegistryStore::Value>::iterator FindValue(Key &key, std::u16string_view name) {
  return std::find_if(key.values.begin(), key.values.end(), [&](const RegistryStore::Value &v) {
    return RegistryStore::NamesEqual(v.name, name);
  });
}

// ---- encoding of the file ----

const char kHex[] = "0123456789abcdef";

void AppendString(std::string &out, std::u16string_view s) {
  out += '"';
  for (char16_t c : s) {
    if (c > 0x20 && c < 0x7F && c != '%' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    }
  }
  out += '"';
}

void AppendHex(std::string &out, const std::vector<uint8_t> &data) {
  out += 'x';
  size_t at = out.size();
  out.resize(at + data.size() * 2);
  for (uint8_t b : data) {
    out[at++] = kHex[b >> 4];
    out[at++] = kHex[b & 0xF];
  }
}

void SerializeKey(std::string &out, const Key &key, const std::u16string &path) {
  out += "K ";
  AppendString(out, path);
  out += ' ';
  out += std::to_string(key.lastWriteTime);
  out += ' ';
  AppendString(out, key.className);
  out += '\n';
  for (const auto &v : key.values) {
    out += "V ";
    AppendString(out, v.name);
    out += ' ';
    out += std::to_string(v.type);
    out += ' ';
    AppendHex(out, v.data);
    out += '\n';
  }
  for (const auto &entry : key.children) {
    const Key &child = *entry.second;
    if (child.isVolatile) continue;
    SerializeKey(out, child, path.empty() ? child.name : path + u'\\' + child.name);
  }
}

std::string Serialize(const Key &root) {
  std::string body;
  for (const auto &entry : root.children) {
    if (!entry.second->isVolatile) SerializeKey(body, *entry.second, entry.second->name);
  }
  char header[64];
  snprintf(header, sizeof header, "%.*s %u %zu %08x\n", static_cast<int>(kMagic.size()),
           kMagic.data(), kFormatVersion, body.size(),
           static_cast<unsigned>(RtlComputeCrc32(0, body.data(), static_cast<ULONG>(body.size()))));
  return header + body;
}

// ---- decoding of the file ----

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeString(std::string_view token, std::u16string *out) {
  if (token.size() < 2 || token.front() != '"' || token.back() != '"') return false;
  token = token.substr(1, token.size() - 2);
  out->clear();
  for (size_t i = 0; i < token.size();) {
    char c = token[i];
    if (c == '%') {
      if (i + 5 > token.size()) return false;
      unsigned v = 0;
      for (size_t j = 1; j <= 4; ++j) {
        int d = HexDigit(token[i + j]);
        if (d < 0) return false;
        v = v << 4 | static_cast<unsigned>(d);
      }
      out->push_back(static_cast<char16_t>(v));
      i += 5;
    } else if (c > 0x20 && c < 0x7F && c != '"') {
      out->push_back(static_cast<char16_t>(c));
      ++i;
    } else {
      return false;
    }
  }
  return true;
}

bool DecodeHex(std::string_view token, std::vector<uint8_t> *out) {
  if (token.empty() || token.front() != 'x' || token.size() % 2 != 1) return false;
  out->resize(token.size() / 2);
  for (size_t i = 0; i < out->size(); ++i) {
    int hi = HexDigit(token[1 + 2 * i]), lo = HexDigit(token[2 + 2 * i]);
    if (hi < 0 || lo < 0) return false;
    (*out)[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

template <typename T>
bool DecodeNumber(std::string_view token, T *out, int base = 10) {
  if (token.empty()) return false;
  auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), *out, base);
  return ec == std::errc() && end == token.data() + token.size();
}

std::vector<std::string_view> SplitTokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t start = 0;
  for (;;) {
    size_t space = line.find(' ', start);
    tokens.push_back(line.substr(start, space == line.npos ? line.npos : space - start));
    if (space == line.npos) break;
    start = space + 1;
  }
  return tokens;
}

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

// Builds a tree from the body of a file; on failure `*reason` says why.
bool ParseTree(const RegistryStore *owner, std::string_view body, const KeyRef &root,
               std::string *reason) {
  KeyRef current;
  size_t lineNo = 1;  // the header is line 1
  auto fail = [&](const std::string &why) {
    *reason = "bad structure at line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (!body.empty()) {
    ++lineNo;
    size_t nl = body.find('\n');
    if (nl == body.npos) return fail("line not terminated");
    std::string_view line = body.substr(0, nl);
    body.remove_prefix(nl + 1);
    auto tokens = SplitTokens(line);
    if (tokens[0] == "K") {
      std::u16string path, className;
      int64_t time = 0;
      if (tokens.size() != 4 || !DecodeString(tokens[1], &path) ||
          !DecodeNumber(tokens[2], &time) || !DecodeString(tokens[3], &className)) {
        return fail("malformed key record");
      }
      KeyRef parent = root;
      std::u16string_view rest = path;
      for (;;) {
        size_t sep = rest.find(u'\\');
        std::u16string_view name = rest.substr(0, sep);
        if (name.empty() || name.size() > kMaxKeyNameChars) {
          return fail("invalid key path \"" + Narrow(path) + "\"");
        }
        if (sep == rest.npos) {
          if (FindChild(*parent, name)) return fail("duplicate key \"" + Narrow(path) + "\"");
          current = NewKey(owner, name, parent, false, className, time);
          parent->children.emplace(Fold(name), current);
          break;
        }
        parent = FindChild(*parent, name);
        if (!parent) return fail("key \"" + Narrow(path) + "\" comes before its parent");
        rest.remove_prefix(sep + 1);
      }
    } else if (tokens[0] == "V") {
      RegistryStore::Value value;
      if (tokens.size() != 4 || !DecodeString(tokens[1], &value.name) ||
          !DecodeNumber(tokens[2], &value.type) || !DecodeHex(tokens[3], &value.data)) {
        return fail("malformed value record");
      }
      if (!current) return fail("value outside a key");
      if (value.name.size() > kMaxValueNameChars) return fail("value name too long");
      if (FindValue(*current, value.name) != current->values.end()) {
        return fail("duplicate value \"" + Narrow(value.name) + "\"");
      }
      current->values.push_back(std::move(value));
    } else {
      return fail("unknown record \"" + std::string(tokens[0].substr(0, 16)) + "\"");
    }
  }
  return true;
}

// Checks the header and checksum, then parses the tree.
bool ParseFile(const RegistryStore *owner, std::string_view data, const KeyRef &root,
               std::string *reason) {
  if (data.empty()) {
    *reason = "the file is empty";
    return false;
  }
  const std::string magic = std::string(kMagic) + ' ';
  if (data.substr(0, magic.size()) != magic) {
    *reason = std::string_view(magic).substr(0, data.size()) == data
                  ? "truncated in the header"
                  : "not a registry file (bad magic)";
    return false;
  }
  size_t nl = data.find('\n');
  if (nl == data.npos) {
    *reason = "truncated in the header";
    return false;
  }
  std::string_view header = data.substr(0, nl);
  auto tokens = SplitTokens(header);
  unsigned version = 0;
  if (!DecodeNumber(tokens[1], &version)) {
    *reason = "malformed header";
    return false;
  }
  if (version != kFormatVersion) {
    *reason = "unsupported format version " + std::to_string(version);
    return false;
  }
  uint64_t length = 0;
  uint32_t crc = 0;
  if (tokens.size() != 4 || !DecodeNumber(tokens[2], &length) || tokens[3].size() != 8 ||
      !DecodeNumber(tokens[3], &crc, 16)) {
    *reason = "malformed header";
    return false;
  }
  std::string_view body = data.substr(nl + 1);
  if (body.size() < length) {
    *reason = "truncated (" + std::to_string(body.size()) + " of " + std::to_string(length) +
              " bytes of the tree present)";
    return false;
  }
  if (body.size() > length) {
    *reason = "unexpected data after the tree";
    return false;
  }
  uint32_t actual = RtlComputeCrc32(0, body.data(), static_cast<ULONG>(body.size()));
  if (actual != crc) {
    char text[80];
    snprintf(text, sizeof text, "checksum mismatch (stored %08x, computed %08x)", crc, actual);
    *reason = text;
    return false;
  }
  return ParseTree(owner, body, root, reason);
}

NTSTATUS StatusFromErrno(int err) {
  return (err == ENOSPC || err == EDQUOT) ? STATUS_DISK_FULL : kStatusRegistryIoFailed;
}

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A save killed between creating its temporary file and the rename leaves
// "<file>.tmpXXXXXX" behind. Only one kernel owns a registry file, so at
// load time every such file is stale: remove them before they pile up.
void RemoveStaleTemporaryFiles(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp";
  constexpr size_t kUniqueLength = 6;  // the XXXXXX of mkostemp
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(FolderOf(path), error)) {
    std::string name = entry.path().filename().string();
    if (name.size() == prefix.size() + kUniqueLength && name.compare(0, prefix.size(), prefix) == 0 &&
        entry.is_regular_file(error)) {
      std::filesystem::remove(entry.path(), error);
    }
  }
}

}  // namespace

// ---- the store ----

RegistryStore::RegistryStore() {
  root_ = NewKey(this, u"Registry", nullptr, false, {}, Now());
  EnsureSystemKeys(this, root_);
}

RegistryStore::~RegistryStore() {
  std::lock_guard<std::mutex> guard(lock_);
  RetireTree(root_);
}

bool RegistryStore::NamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  }
  return true;
}

std::string RegistryStore::Path() const {
  std::lock_guard<std::mutex> guard(lock_);
  return path_;
}

std::string RegistryStore::LastSaveError() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lastSaveError_;
}

void RegistryStore::SetSaveFaultHook(SaveFaultHook hook) {
  std::lock_guard<std::mutex> guard(lock_);
  faultHook_ = std::move(hook);
}

NTSTATUS RegistryStore::Load(const std::string &path, std::string *error) {
  std::string scratch;
  if (!error) error = &scratch;
  error->clear();
  RemoveStaleTemporaryFiles(path);

  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // First start: the fresh tree becomes the file.
    std::lock_guard<std::mutex> guard(lock_);
    std::string previous = path_;
    path_ = path;
    NTSTATUS status = SaveLocked();
    if (!NT_SUCCESS(status)) {
      path_ = previous;
      *error = "cannot create registry file '" + path + "': " + lastSaveError_;
    }
    return status;
  }
  if (fd < 0) {
    int err = errno;
    *error = "cannot open registry file '" + path + "': " + strerror(err);
    return StatusFromErrno(err);
  }
  std::string data;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (uint64_t at = 0;;) {
    int err = 0;
    size_t n = HostReadAt(fd, buffer, sizeof buffer, at, &err);
    if (err) {
      close(fd);
      *error = "cannot read registry file '" + path + "': " + strerror(err);
      return StatusFromErrno(err);
    }
    data.append(buffer, n);
    at += n;
    if (n < sizeof buffer) break;
  }
  close(fd);

  auto root = NewKey(this, u"Registry", nullptr, false, {}, Now());
  std::string reason;
  if (!ParseFile(this, data, root, &reason)) {
    *error = "registry file '" + path + "' is damaged: " + reason;
    RetireTree(root);
    return STATUS_REGISTRY_CORRUPT;
  }
  bool added = EnsureSystemKeys(this, root);

  std::lock_guard<std::mutex> guard(lock_);
  std::string previous = path_;
  if (added) {
    path_ = path;
    NTSTATUS status = WriteFileLocked(Serialize(*root), nullptr);
    if (!NT_SUCCESS(status)) {
      path_ = previous;
      *error = "cannot write registry file '" + path + "': " + lastSaveError_;
      RetireTree(root);
      return status;
    }
  }
  RetireTree(root_);
  root_ = std::move(root);
  path_ = path;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::Save() {
  std::lock_guard<std::mutex> guard(lock_);
  return SaveLocked();
}

NTSTATUS RegistryStore::SaveLocked(bool *replaced) {
  if (replaced) *replaced = false;
  if (path_.empty()) return STATUS_SUCCESS;
  return WriteFileLocked(Serialize(*root_), replaced);
}

// Temp file in the same folder, fsync, rename over the old file, fsync the
// folder: a crash leaves either the old file or the new one, never a mix.
NTSTATUS RegistryStore::WriteFileLocked(const std::string &contents, bool *replaced) {
  if (replaced) *replaced = false;
  auto injected = [&](SaveStep step) { return faultHook_ && faultHook_(step); };
  auto failed = [&](const char *what, int err) {
    lastSaveError_ = std::string(what) + " '" + path_ + "': " + strerror(err);
    return StatusFromErrno(err);
  };

  std::string temp = path_ + ".tmpXXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return failed("cannot create a temporary file beside", errno);
  auto abandon = [&](const char *what, int err) {
    close(fd);
    unlink(temp.c_str());
    return failed(what, err);
  };

  size_t done = 0;
  const size_t half = contents.size() / 2;
  while (done < contents.size()) {
    size_t chunk = contents.size() - done;
    if (done < half) chunk = half - done;
    ssize_t n = write(fd, contents.data() + done, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return abandon("cannot write", errno);
    done += static_cast<size_t>(n);
    if (done == half && injected(SaveStep::WriteTemp)) return abandon("cannot write", EIO);
  }
  if (injected(SaveStep::SyncTemp)) return abandon("cannot sync", EIO);
  if (fsync(fd) != 0) return abandon("cannot sync", errno);
  if (close(fd) != 0) {
    int err = errno;
    unlink(temp.c_str());
    return failed("cannot write", err);
  }
  if (injected(SaveStep::Rename)) {
    unlink(temp.c_str());
    return failed("cannot replace", EIO);
  }
  if (rename(temp.c_str(), path_.c_str()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    return failed("cannot replace", err);
  }
  // The file is replaced now: memory must keep the change to match it, even
  // though a failed folder sync is still reported.
  if (replaced) *replaced = true;
  int dir = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return failed("cannot open the folder of", errno);
  int err = injected(SaveStep::SyncFolder) ? EIO : (fsync(dir) == 0 ? 0 : errno);
  close(dir);
  if (err != 0) return failed("cannot sync the folder of", err);
  lastSaveError_.clear();
  return STATUS_SUCCESS;
}

// Writes a persistent change; if that fails before the file is replaced the
// change is undone, so memory and file agree and the caller sees the failure.
NTSTATUS RegistryStore::CommitLocked(const std::function<void()> &undo) {
  bool replaced = false;
  NTSTATUS status = SaveLocked(&replaced);
  if (!NT_SUCCESS(status) && !replaced) undo();
  return status;
}

NTSTATUS RegistryStore::CheckKeyLocked(const KeyRef &key) const {
  if (!key || key->owner != this) return STATUS_INVALID_HANDLE;
  if (key->deleted) return STATUS_KEY_DELETED;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::ResolveLocked(const KeyRef &parent, std::u16string_view path,
                                      bool forCreate, Resolved *out) {
  KeyRef start;
  if (parent) {
    NTSTATUS status = CheckKeyLocked(parent);
    if (!NT_SUCCESS(status)) return status;
    if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    start = parent;
  } else {
    if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    path.remove_prefix(1);
    if (path.empty()) return STATUS_OBJECT_TYPE_MISMATCH;  // the namespace root is no key
  }
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);

  std::vector<std::u16string_view> parts;
  if (!path.empty() || !parent) {
    for (;;) {
      size_t sep = path.find(u'\\');
      std::u16string_view name = path.substr(0, sep);
      if (name.empty() || name.size() > kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
      parts.push_back(name);
      if (sep == path.npos) break;
      path.remove_prefix(sep + 1);
    }
  }
  size_t i = 0;
  if (!parent) {
    // Only "\Registry" lives in the namespace root as far as keys go.
    if (!NamesEqual(parts[0], u"Registry")) {
      if (parts.size() > 1) return STATUS_OBJECT_PATH_NOT_FOUND;
      return forCreate ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    start = root_;
    i = 1;
  }
  KeyRef key = start;
  for (; i + 1 < parts.size(); ++i) {
    key = FindChild(*key, parts[i]);
    if (!key) {
      // A create whose direct parent is missing fails like the open of that
      // parent would: the name is not found.
      bool parentOfCreate = forCreate && i + 2 == parts.size();
      return parentOfCreate ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
  }
  if (i < parts.size()) {
    KeyRef child = FindChild(*key, parts[i]);
    if (!child && !forCreate) return STATUS_OBJECT_NAME_NOT_FOUND;
    out->parent = key;
    out->last = parts[i];
    out->key = child;
  } else {
    out->key = key;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::OpenKey(const KeyRef &parent, std::u16string_view path, KeyRef *key) {
  if (!key) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  Resolved r;
  NTSTATUS status = ResolveLocked(parent, path, false, &r);
  if (NT_SUCCESS(status)) *key = r.key;
  return status;
}

NTSTATUS RegistryStore::CreateKey(const KeyRef &parent, std::u16string_view path,
                                  bool isVolatile, std::u16string_view className, KeyRef *key,
                                  ULONG *disposition) {
  if (!key) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  Resolved r;
  NTSTATUS status = ResolveLocked(parent, path, true, &r);
  if (!NT_SUCCESS(status)) return status;
  if (r.key) {
    *key = r.key;
    if (disposition) *disposition = kRegOpenedExistingKey;
    return STATUS_SUCCESS;
  }
  // Keys directly below \Registry are the fixed roots.
  if (r.parent == root_) return STATUS_ACCESS_DENIED;
  if (r.parent->isVolatile && !isVolatile) return kStatusChildMustBeVolatile;

  int64_t previousTime = r.parent->lastWriteTime;
  auto child = NewKey(this, r.last, r.parent, isVolatile, className, Now());
  std::u16string folded = Fold(r.last);
  r.parent->children.emplace(folded, child);
  r.parent->lastWriteTime = child->lastWriteTime;
  if (!isVolatile) {
    status = CommitLocked([&] {
      r.parent->children.erase(folded);
      r.parent->lastWriteTime = previousTime;
      child->deleted = true;
      child->parent.reset();
    });
    if (!NT_SUCCESS(status)) return status;
  }
  *key = child;
  if (disposition) *disposition = kRegCreatedNewKey;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::DeleteKey(const KeyRef &key) {
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  KeyRef parent = key->parent.lock();
  if (!parent || parent == root_) return STATUS_CANNOT_DELETE;  // fixed roots
  if (!key->children.empty()) return STATUS_CANNOT_DELETE;

  std::u16string folded = Fold(key->name);
  int64_t previousTime = parent->lastWriteTime;
  parent->children.erase(folded);
  parent->lastWriteTime = Now();
  key->deleted = true;
  key->parent.reset();
  if (!key->isVolatile) {
    return CommitLocked([&] {
      parent->children.emplace(folded, key);
      parent->lastWriteTime = previousTime;
      key->deleted = false;
      key->parent = parent;
    });
  }
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::SetValue(const KeyRef &key, std::u16string_view name, ULONG type,
                                 const void *data, size_t size) {
  if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
  if (size > 0xFFFFFFFFu || (size > 0 && !data)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  if (key == root_) return STATUS_ACCESS_DENIED;

  const auto *bytes = static_cast<const uint8_t *>(data);
  Value value{std::u16string(name), type, std::vector<uint8_t>(bytes, bytes + size)};
  int64_t previousTime = key->lastWriteTime;
  auto it = FindValue(*key, name);
  std::function<void()> undo;
  if (it != key->values.end()) {
    size_t index = static_cast<size_t>(it - key->values.begin());
    value.name = it->name;  // the first spelling stays
    Value old = std::exchange(*it, std::move(value));
    undo = [&key, index, previousTime, old = std::move(old)]() mutable {
      key->values[index] = std::move(old);
      key->lastWriteTime = previousTime;
    };
  } else {
    key->values.push_back(std::move(value));
    undo = [&key, previousTime] {
      key->values.pop_back();
      key->lastWriteTime = previousTime;
    };
  }
  key->lastWriteTime = Now();
  return key->isVolatile ? STATUS_SUCCESS : CommitLocked(undo);
}

NTSTATUS RegistryStore::QueryValue(const KeyRef &key, std::u16string_view name, Value *value) {
  if (!value) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  auto it = FindValue(*key, name);
  if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  *value = *it;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::DeleteValue(const KeyRef &key, std::u16string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  auto it = FindValue(*key, name);
  if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  size_t index = static_cast<size_t>(it - key->values.begin());
  Value old = std::move(*it);
  key->values.erase(it);
  int64_t previousTime = key->lastWriteTime;
  key->lastWriteTime = Now();
  if (key->isVolatile) return STATUS_SUCCESS;
  return CommitLocked([&] {
    key->values.insert(key->values.begin() + static_cast<ptrdiff_t>(index), std::move(old));
    key->lastWriteTime = previousTime;
  });
}

NTSTATUS RegistryStore::EnumerateValue(const KeyRef &key, ULONG index, Value *value) {
  if (!value) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  *value = key->values[index];
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::EnumerateKey(const KeyRef &key, ULONG index, KeyInfo *info) {
  if (!info) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  if (index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
  auto it = key->children.begin();
  std::advance(it, index);
  FillInfoLocked(*it->second, info);
  return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::QueryKey(const KeyRef &key, KeyInfo *info) {
  if (!info) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  NTSTATUS status = CheckKeyLocked(key);
  if (!NT_SUCCESS(status)) return status;
  FillInfoLocked(*key, info);
  return STATUS_SUCCESS;
}

void RegistryStore::FillInfoLocked(const Key &key, KeyInfo *info) const {
  KeyInfo out;
  out.name = key.name;
  out.fullPath = FullPath(key);
  out.className = key.className;
  out.lastWriteTime = key.lastWriteTime;
  out.isVolatile = key.isVolatile;
  out.subKeys = static_cast<ULONG>(key.children.size());
  for (const auto &entry : key.children) {
    out.maxNameLen = std::max<ULONG>(out.maxNameLen, entry.second->name.size() * sizeof(WCHAR));
    out.maxClassLen =
        std::max<ULONG>(out.maxClassLen, entry.second->className.size() * sizeof(WCHAR));
  }
  out.values = static_cast<ULONG>(key.values.size());
  for (const auto &v : key.values) {
    out.maxValueNameLen = std::max<ULONG>(out.maxValueNameLen, v.name.size() * sizeof(WCHAR));
    out.maxValueDataLen = std::max<ULONG>(out.maxValueDataLen, v.data.size());
  }
  *info = std::move(out);
}

}  // namespace bw
