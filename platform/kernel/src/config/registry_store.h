// The registry behind the Zw...Key calls: a tree of keys with typed values,
// kept in memory and saved to one file under the machine root.
//
// Failure contract:
// - Every operation returns the NTSTATUS Windows would give for it.
// - A key reference (`KeyRef`) stays valid while held; once its key is
//   deleted (or the tree is replaced by Load) every call on it fails with
//   STATUS_KEY_DELETED.
// - With a file attached (Load), each change that persists is written to the
//   file before the call returns. If that write fails, the change is undone in
//   memory, the old file stays as it was, and the call fails with
//   kStatusRegistryIoFailed (or STATUS_DISK_FULL when the disk is full). Only
//   when the new file is already in place and syncing its folder fails does
//   the change stay (memory matches the file) while the call still fails.
// - Load never resets a damaged file: it fails with a message naming the file
//   and the damage, and leaves the store detached from that file.
//
// Thread safety: one mutex guards the tree and the file; all calls may be made
// from any thread.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// Value types the system knows by name; any other type is kept as given.
inline constexpr ULONG kRegNone = 0;
inline constexpr ULONG kRegSz = 1;
inline constexpr ULONG kRegExpandSz = 2;
inline constexpr ULONG kRegBinary = 3;
inline constexpr ULONG kRegDword = 4;
inline constexpr ULONG kRegMultiSz = 7;
inline constexpr ULONG kRegQword = 11;

// Create dispositions.
inline constexpr ULONG kRegCreatedNewKey = 1;
inline constexpr ULONG kRegOpenedExistingKey = 2;

// Statuses the registry returns that the common status list lacks.
inline constexpr NTSTATUS kStatusRegistryIoFailed = static_cast<NTSTATUS>(0xC000014Du);
inline constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181u);

// Windows' limits: 255 characters per key name, 16383 per value name.
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;

class [[gnu::visibility("default")]] RegistryStore {
 public:
  struct Key;  // a node of the tree; opaque to callers
  using KeyRef = std::shared_ptr<Key>;

  struct Value {
    std::u16string name;  // as created
    ULONG type = kRegNone;
    std::vector<uint8_t> data;
  };

  // What ZwQueryKey and ZwEnumerateKey report about a key. Lengths are in
  // bytes, as in the KEY_*_INFORMATION records.
  struct KeyInfo {
    std::u16string name;      // last component, as created
    std::u16string fullPath;  // "\Registry\Machine\..."
    std::u16string className;
    int64_t lastWriteTime = 0;  // 100 ns since 1601, UTC
    bool isVolatile = false;
    ULONG subKeys = 0;
    ULONG maxNameLen = 0;       // longest subkey name
    ULONG maxClassLen = 0;      // longest subkey class
    ULONG values = 0;
    ULONG maxValueNameLen = 0;  // longest value name
    ULONG maxValueDataLen = 0;  // largest value data
  };

  // Steps of a save, for fault injection in tests.
  enum class SaveStep { WriteTemp, SyncTemp, Rename, SyncFolder };
  // Returns true to make the save fail at that step (WriteTemp fails after
  // half the file is written).
  using SaveFaultHook = std::function<bool(SaveStep)>;

  // An in-memory store holding "\Registry\Machine", "\Registry\User" and the
  // system keys every boot expects; no file attached.
  RegistryStore();
  ~RegistryStore();
  RegistryStore(const RegistryStore &) = delete;
  RegistryStore &operator=(const RegistryStore &) = delete;

  // Reads the tree from `path` and attaches the store to it: later changes are
  // saved there. A missing file is a first start: the store keeps its fresh
  // tree and writes it out. A damaged or unreadable file fails with
  // STATUS_REGISTRY_CORRUPT (or an I/O status) and `*error` set; the store is
  // then unchanged and not attached. Keys referenced before a successful Load
  // count as deleted afterwards.
  NTSTATUS Load(const std::string &path, std::string *error);
  // Writes the whole non-volatile tree now (no-op without a file).
  NTSTATUS Save();
  std::string Path() const;
  // The reason of the last failed save, for the daemon's log.
  std::string LastSaveError() const;
  void SetSaveFaultHook(SaveFaultHook hook);

  // Opens `path`: absolute ("\Registry\...") when `parent` is null, else
  // relative to `parent` (an empty relative path reopens `parent`). A missing
  // last component is STATUS_OBJECT_NAME_NOT_FOUND, a missing one before it
  // STATUS_OBJECT_PATH_NOT_FOUND.
  NTSTATUS OpenKey(const KeyRef &parent, std::u16string_view path, KeyRef *key);
  // Opens or creates the last component of `path`; its parent must exist
  // (STATUS_OBJECT_NAME_NOT_FOUND when it does not, STATUS_OBJECT_PATH_NOT_FOUND
  // when a component above it is missing).
  // `disposition` (optional) receives kRegCreatedNewKey or kRegOpenedExistingKey.
  // `isVolatile` and `className` apply only to a new key.
  NTSTATUS CreateKey(const KeyRef &parent, std::u16string_view path, bool isVolatile,
                     std::u16string_view className, KeyRef *key, ULONG *disposition);
  NTSTATUS CreateKey(const KeyRef &parent, std::u16string_view path, KeyRef *key,
                     ULONG *disposition = nullptr) {
    return CreateKey(parent, path, false, {}, key, disposition);
  }
  // Deletes a key without subkeys; references to it then see STATUS_KEY_DELETED.
  NTSTATUS DeleteKey(const KeyRef &key);

  // Sets (creates or replaces) a value; a replaced value keeps its index.
  NTSTATUS SetValue(const KeyRef &key, std::u16string_view name, ULONG type, const void *data,
                    size_t size);
  NTSTATUS QueryValue(const KeyRef &key, std::u16string_view name, Value *value);
  // Removes a value; later values move down one index.
  NTSTATUS DeleteValue(const KeyRef &key, std::u16string_view name);
  // Values in insertion order; STATUS_NO_MORE_ENTRIES past the end.
  NTSTATUS EnumerateValue(const KeyRef &key, ULONG index, Value *value);
  // Subkeys in case-insensitive name order; STATUS_NO_MORE_ENTRIES past the end.
  NTSTATUS EnumerateKey(const KeyRef &key, ULONG index, KeyInfo *info);
  NTSTATUS QueryKey(const KeyRef &key, KeyInfo *info);

  // Case-insensitive name comparison as the registry does it (upcased).
  static bool NamesEqual(std::u16string_view a, std::u16string_view b);

 private:
  struct Resolved;
  NTSTATUS ResolveLocked(const KeyRef &parent, std::u16string_view path, bool forCreate,
                         Resolved *out);
  NTSTATUS CheckKeyLocked(const KeyRef &key) const;
  NTSTATUS CommitLocked(const std::function<void()> &undo);
  NTSTATUS SaveLocked(bool *replaced = nullptr);
  NTSTATUS WriteFileLocked(const std::string &contents, bool *replaced);
  void FillInfoLocked(const Key &key, KeyInfo *info) const;

  mutable std::mutex lock_;
  KeyRef root_;
  std::string path_;
  std::string lastSaveError_;
  SaveFaultHook faultHook_;
};

}  // namespace bw
