// Object manager internals: typed, reference-counted objects with headers,
// the namespace of directories and symbolic links, and handle tables.
#pragma once

#include "nt/ob.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct _OBJECT_TYPE {
  const char16_t *Name;
  void (*Destroy)(void *body);  // runs when the last reference goes
  ACCESS_MASK GenericRead, GenericWrite, GenericExecute, GenericAll;
};

namespace bw {

struct CaseInsensitiveLess {
  bool operator()(const std::u16string &a, const std::u16string &b) const;
};
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string ToU16(const UNICODE_STRING *s);
std::u16string ToU16(std::string_view s);
std::string ToUtf8(std::u16string_view s);

// Precedes every object body.
struct ObjectHeader {
  uint64_t magic;
  std::atomic<int64_t> pointerCount;
  std::atomic<int64_t> handleCount;
  POBJECT_TYPE type;
  std::u16string name;      // full path while inserted in the namespace
  bool inNamespace = false;
  PVOID securityDescriptor = nullptr;  // self-relative, from the pool, owned
};

ObjectHeader *HeaderOf(PVOID body);
// Creates an object with a zeroed body of `bodySize` bytes and one reference.
PVOID CreateObject(POBJECT_TYPE type, size_t bodySize);
bool IsObject(PVOID body);
size_t LiveObjectCount();

// Object types the stand-in defines.
extern _OBJECT_TYPE DirectoryType, SymbolicLinkType, DeviceType, DriverType, FileType,
    ThreadType, ProcessType, EventType, KeyType, TokenType;

// Directories.
struct DirectoryBody {
  std::mutex lock;
  std::map<std::u16string, PVOID, CaseInsensitiveLess> entries;  // referenced
  bool deleted = false;  // taken out with its contents: nothing may be inserted any more
};
struct SymbolicLinkBody {
  std::u16string target;
};

void NamespaceInit();
void NamespaceShutdown();

// Inserts a new object under its full path; the namespace takes a reference.
NTSTATUS InsertObject(std::u16string_view path, PVOID body);
// Removes a named object from the namespace and drops that reference.
void RemoveObject(PVOID body);
// Creates the directory (and its parents) if missing.
NTSTATUS EnsureDirectory(std::u16string_view path);
// Takes a directory out of the namespace with everything in it (a logon
// session's DosDevices when the session ends). STATUS_OBJECT_NAME_NOT_FOUND
// when there is none.
NTSTATUS DeleteDirectoryTree(std::u16string_view path);

struct LookupResult {
  PVOID object = nullptr;      // referenced
  std::u16string remaining;    // path left after a device ("" or "\...")
};
// Resolves a full path, following symbolic links; stops at a device.
NTSTATUS LookupObject(std::u16string_view path, bool openLink, LookupResult *result);
// Lookup inside a process's DosDevices view ("\??" is per logon session first).
NTSTATUS LookupObjectFor(std::u16string_view path, bool openLink, const LUID *logonId,
                         LookupResult *result);

// Handle tables.
struct HandleEntry {
  PVOID object = nullptr;
  ACCESS_MASK granted = 0;
  ULONG attributes = 0;
};
class HandleTable {
 public:
  explicit HandleTable(bool kernel) : kernel_(kernel) {}
  ~HandleTable();
  NTSTATUS Insert(PVOID object, ACCESS_MASK granted, ULONG attributes, HANDLE *handle);
  // Returns the referenced object for a handle.
  NTSTATUS Reference(HANDLE handle, HandleEntry *entry);
  NTSTATUS Close(HANDLE handle);
  void CloseAll();
  size_t Count();

 private:
  std::mutex lock_;
  std::vector<HandleEntry> entries_;
  std::vector<size_t> free_;
  size_t count_ = 0;
  bool kernel_;
};

// Called when an object's handle count goes to zero (files: cleanup).
void OnLastHandleClosed(PVOID object);

HandleTable &KernelHandles();
// The table a new handle goes to: the kernel's for OBJ_KERNEL_HANDLE (or a
// caller in the system process), else the current process's.
HandleTable *TableForNewHandle(ULONG attributes);
bool IsKernelHandle(HANDLE handle);

}  // namespace bw
