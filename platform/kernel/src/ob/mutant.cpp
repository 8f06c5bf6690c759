// Mutants of user processes (NtCreateMutant, NtOpenMutant,
// NtReleaseMutant). A named one is a temporary object: it leaves the
// namespace when its last handle closes.
#include "ob/mutant.h"

#include "internal.h"
#include "ps/process.h"
#include "se/token.h"

#include <mutex>

namespace bw {

namespace {

constexpr ACCESS_MASK kMutantQueryState = 0x0001;
constexpr ACCESS_MASK kMutantAllAccess = 0x1F0001;
constexpr GENERIC_MAPPING kMutantMapping{0x20001, 0x20000, 0x120000, kMutantAllAccess};
constexpr ULONG kTag = 0x6E74754D;  // "Mutn"

struct MutantBody {
  std::mutex lock;
  PKTHREAD owner = nullptr;  // not referenced: compared only
  LONG count = 0;            // recursive acquisitions by the owner
};

void DestroyMutant(void *body) {
  static_cast<MutantBody *>(body)->~MutantBody();
}

std::shared_ptr<Token> TokenOf(PEPROCESS process) {
  return process->Token ? process->Token : Token::System();
}

// The descriptor a new mutant gets, self-relative in the pool: the one
// given when it has a DACL (a null one included), else the owner's
// default: full access for the token's user, SYSTEM and Administrators.
NTSTATUS DescriptorFor(const Token &token, PSECURITY_DESCRIPTOR given, PVOID *out) {
  *out = nullptr;
  if (given && !RtlValidSecurityDescriptor(given)) return STATUS_INVALID_SECURITY_DESCR;
  if (given && (static_cast<PISECURITY_DESCRIPTOR>(given)->Control & SE_DACL_PRESENT)) {
    ULONG length = RtlLengthSecurityDescriptor(given);
    PVOID copy = ExAllocatePoolWithTag(PagedPool, length, kTag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    if (static_cast<PISECURITY_DESCRIPTOR>(given)->Control & SE_SELF_RELATIVE) {
      memcpy(copy, given, length);
    } else {
      NTSTATUS status = RtlAbsoluteToSelfRelativeSD(given, copy, &length);
      if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, kTag);
        return status;
      }
    }
    *out = copy;
    return STATUS_SUCCESS;
  }
  static SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UCHAR system[16], admins[16];
  RtlInitializeSid(system, &nt, 1);
  *RtlSubAuthoritySid(system, 0) = SECURITY_LOCAL_SYSTEM_RID;
  RtlInitializeSid(admins, &nt, 2);
  *RtlSubAuthoritySid(admins, 0) = SECURITY_BUILTIN_DOMAIN_RID;
  *RtlSubAuthoritySid(admins, 1) = DOMAIN_ALIAS_RID_ADMINS;
  UCHAR aclBytes[256];
  auto *acl = reinterpret_cast<PACL>(aclBytes);
  RtlCreateAcl(acl, sizeof aclBytes, ACL_REVISION);
  for (PSID sid : {token.User(), PSID(system), PSID(admins)})
    RtlAddAccessAllowedAce(acl, ACL_REVISION, kMutantAllAccess, sid);
  SECURITY_DESCRIPTOR absolute;
  RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
  RtlSetOwnerSecurityDescriptor(&absolute, token.User(), FALSE);
  RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
  ULONG length = 0;
  RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
  PVOID relative = ExAllocatePoolWithTag(PagedPool, length, kTag);
  if (!relative) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = RtlAbsoluteToSelfRelativeSD(&absolute, relative, &length);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(relative, kTag);
    return status;
  }
  *out = relative;
  return STATUS_SUCCESS;
}

// A handle in the process's table for a referenced mutant, after checking
// `access` against its descriptor.
NTSTATUS InsertHandle(PEPROCESS process, PVOID mutant, ACCESS_MASK access, HANDLE *handle) {
  ACCESS_MASK granted = access;
  NTSTATUS status = AccessCheck(HeaderOf(mutant)->securityDescriptor, *TokenOf(process), access,
                                kMutantMapping, &granted);
  if (!NT_SUCCESS(status)) return status;
  return process->Handles->Insert(mutant, granted, 0, handle);
}

// A named object that exists: referenced, or STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS FindMutant(const std::u16string &path, PVOID *mutant) {
  LookupResult found;
  NTSTATUS status = LookupObjectFor(path, true, nullptr, &found);
  if (!NT_SUCCESS(status)) return status;
  if (!found.remaining.empty() || HeaderOf(found.object)->type != &MutantType) {
    ObfDereferenceObject(found.object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  *mutant = found.object;
  return STATUS_SUCCESS;
}

std::mutex gCreateLock;  // a create and an open of one name see one object

}  // namespace

_OBJECT_TYPE MutantType{u"Mutant",
                        DestroyMutant,
                        kMutantMapping.GenericRead,
                        kMutantMapping.GenericWrite,
                        kMutantMapping.GenericExecute,
                        kMutantMapping.GenericAll};

NTSTATUS NamedObjectPath(ULONG sessionId, std::u16string_view name, std::u16string *path) {
  constexpr std::u16string_view kGlobal = u"Global\\", kLocal = u"Local\\";
  bool global = false;
  if (name.size() >= kGlobal.size() && EqualNoCase(name.substr(0, kGlobal.size()), kGlobal)) {
    name.remove_prefix(kGlobal.size());
    global = true;
  } else if (name.size() >= kLocal.size() && EqualNoCase(name.substr(0, kLocal.size()), kLocal)) {
    name.remove_prefix(kLocal.size());
  }
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (name.find(u'\\') != std::u16string_view::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
  if (global || sessionId == 0) {
    *path = u"\\BaseNamedObjects";
  } else {
    *path = u"\\Sessions\\" + ToU16(std::to_string(sessionId)) + u"\\BaseNamedObjects";
    NTSTATUS status = EnsureDirectory(*path);
    if (!NT_SUCCESS(status)) return status;
  }
  *path += u'\\';
  *path += name;
  return STATUS_SUCCESS;
}

NTSTATUS CreateMutant(PEPROCESS process, PKTHREAD thread, std::u16string_view name,
                      bool initialOwner, PSECURITY_DESCRIPTOR descriptor, HANDLE *handle) {
  *handle = nullptr;
  std::u16string path;
  if (!name.empty()) {
    NTSTATUS status = NamedObjectPath(process->SessionId, name, &path);
    if (!NT_SUCCESS(status)) return status;
  }
  std::lock_guard<std::mutex> guard(gCreateLock);
  if (!path.empty()) {
    PVOID existing = nullptr;
    NTSTATUS status = FindMutant(path, &existing);
    if (NT_SUCCESS(status)) {
      status = InsertHandle(process, existing, kMutantAllAccess, handle);
      ObfDereferenceObject(existing);
      return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_EXISTS : status;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
  }
  PVOID body = CreateObject(&MutantType, sizeof(MutantBody));
  auto *mutant = new (body) MutantBody;
  if (initialOwner) {
    mutant->owner = thread;
    mutant->count = 1;
  }
  NTSTATUS status =
      DescriptorFor(*TokenOf(process), descriptor, &HeaderOf(body)->securityDescriptor);
  if (NT_SUCCESS(status) && !path.empty()) status = InsertObject(path, body);
  if (NT_SUCCESS(status)) status = process->Handles->Insert(body, kMutantAllAccess, 0, handle);
  if (!NT_SUCCESS(status)) RemoveObject(body);
  ObfDereferenceObject(body);
  return status;
}

NTSTATUS OpenMutant(PEPROCESS process, std::u16string_view name, ACCESS_MASK access,
                    HANDLE *handle) {
  *handle = nullptr;
  std::u16string path;
  NTSTATUS status = NamedObjectPath(process->SessionId, name, &path);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> guard(gCreateLock);
  PVOID mutant = nullptr;
  status = FindMutant(path, &mutant);
  if (!NT_SUCCESS(status)) return status;
  status = InsertHandle(process, mutant, access, handle);
  ObfDereferenceObject(mutant);
  return status;
}

NTSTATUS ReleaseMutant(PEPROCESS process, PKTHREAD thread, HANDLE handle, LONG *previousCount) {
  HandleEntry entry;
  NTSTATUS status = process->Handles->Reference(handle, &entry);
  if (!NT_SUCCESS(status)) return status;
  if (HeaderOf(entry.object)->type != &MutantType) {
    ObfDereferenceObject(entry.object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  auto *mutant = static_cast<MutantBody *>(entry.object);
  {
    std::lock_guard<std::mutex> guard(mutant->lock);
    if (mutant->owner != thread || mutant->count == 0) {
      status = kStatusMutantNotOwned;
    } else {
      if (previousCount) *previousCount = mutant->count;
      if (--mutant->count == 0) mutant->owner = nullptr;
    }
  }
  ObfDereferenceObject(entry.object);
  return status;
}

// A named mutant lasts while a handle to it is open.
void OnLastMutantHandleClosed(PVOID object) {
  std::lock_guard<std::mutex> guard(gCreateLock);
  if (HeaderOf(object)->handleCount == 0) RemoveObject(object);
}

}  // namespace bw
