#include "kernel-support/ks_symlink.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_status.h"
#include "kernel-support/ks_string.h"

namespace {

constexpr ULONG kFirstQueryBytes = 256 * sizeof(WCHAR);
constexpr ULONG kRetryExtraBytes = 64 * sizeof(WCHAR);

NTSTATUS QueryTarget(HANDLE Link, ULONG Bytes, PUNICODE_STRING *Target, PULONG Needed) {
  PVOID buffer = KsAllocate(Bytes, KS_TAG_PATH, PagedPool);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING target;
  target.Buffer = static_cast<PWSTR>(buffer);
  target.Length = 0;
  target.MaximumLength = static_cast<USHORT>(Bytes);
  *Needed = 0;
  NTSTATUS status = ZwQuerySymbolicLinkObject(Link, &target, Needed);
  if (NT_SUCCESS(status)) status = KsDuplicateString(&target, Target);
  KsFree(&buffer);
  return status;
}

}  // namespace

NTSTATUS KsCreateSymbolicLink(PCUNICODE_STRING Link, PCUNICODE_STRING Target) {
  if (!Link || !Target) return STATUS_INVALID_PARAMETER;
  return IoCreateSymbolicLink(const_cast<PUNICODE_STRING>(Link), const_cast<PUNICODE_STRING>(Target));
}

NTSTATUS KsDeleteSymbolicLink(PCUNICODE_STRING Link) {
  if (!Link) return STATUS_INVALID_PARAMETER;
  return KsRemovalStatus(IoDeleteSymbolicLink(const_cast<PUNICODE_STRING>(Link)));
}

NTSTATUS KsQuerySymbolicLink(PCUNICODE_STRING Link, PUNICODE_STRING *Target) {
  if (!Link || !Target) return STATUS_INVALID_PARAMETER;
  *Target = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Link),
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE link;
  NTSTATUS status = ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes);
  if (!NT_SUCCESS(status)) return status;
  ULONG needed = 0;
  status = QueryTarget(link, kFirstQueryBytes, Target, &needed);
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
    // One retry: at least 64 characters more, or what the kernel said it needs.
    ULONG bytes = kFirstQueryBytes + kRetryExtraBytes;
    if (needed > bytes) bytes = needed;
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    status = QueryTarget(link, bytes, Target, &needed);
  }
  ZwClose(link);
  return status;
}
