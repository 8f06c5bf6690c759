// Run-time library: SIDs.
#include "nt/pool.h"
#include "nt/rtl.h"
#include "nt/security.h"
#include "se/security_internal.h"

#include <cstdio>
#include <cstring>

namespace {

// RtlFreeUnicodeString frees with the run-time library's string tag.
constexpr ULONG kStringTag = 0x6E727453;  // "Strn"

const SID *AsSid(const VOID *p) { return static_cast<const SID *>(p); }

}  // namespace

namespace bw::sec {

bool SidFits(const VOID *sid, ULONG available) {
  if (available < kSidHeaderLength) return false;
  const SID *s = AsSid(sid);
  if (s->Revision != SID_REVISION || s->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return false;
  return RtlLengthRequiredSid(s->SubAuthorityCount) <= available;
}

}  // namespace bw::sec

ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount) {
  return bw::sec::kSidHeaderLength + SubAuthorityCount * sizeof(ULONG);
}

ULONG NTAPI RtlLengthSid(PSID Sid) { return RtlLengthRequiredSid(AsSid(Sid)->SubAuthorityCount); }

BOOLEAN NTAPI RtlValidSid(PSID Sid) {
  if (!Sid) return FALSE;
  const SID *s = AsSid(Sid);
  return s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2) {
  const SID *a = AsSid(Sid1);
  const SID *b = AsSid(Sid2);
  if (a->Revision != b->Revision || a->SubAuthorityCount != b->SubAuthorityCount) return FALSE;
  return memcmp(a, b, RtlLengthSid(Sid1)) == 0;
}

NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid) {
  ULONG length = RtlLengthSid(SourceSid);
  if (DestinationSidLength < length) return STATUS_BUFFER_TOO_SMALL;
  memmove(DestinationSid, SourceSid, length);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                UCHAR SubAuthorityCount) {
  if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return STATUS_INVALID_PARAMETER;
  auto *s = static_cast<SID *>(Sid);
  s->Revision = SID_REVISION;
  s->SubAuthorityCount = SubAuthorityCount;
  s->IdentifierAuthority = *IdentifierAuthority;
  return STATUS_SUCCESS;
}

PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority) {
  return &static_cast<SID *>(Sid)->SubAuthority[SubAuthority];
}

PUCHAR NTAPI RtlSubAuthorityCountSid(PSID Sid) {
  return &static_cast<SID *>(Sid)->SubAuthorityCount;
}

PSID_IDENTIFIER_AUTHORITY NTAPI RtlIdentifierAuthoritySid(PSID Sid) {
  return &static_cast<SID *>(Sid)->IdentifierAuthority;
}

NTSTATUS NTAPI RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid,
                                            BOOLEAN AllocateDestinationString) {
  if (!RtlValidSid(Sid)) return STATUS_INVALID_SID;
  const SID *s = AsSid(Sid);
  // Longest form: "S-255-0x" + 12 hex digits + 15 * "-4294967295": under 200.
  char text[256];
  int n = snprintf(text, sizeof text, "S-%u-", s->Revision);
  const UCHAR *v = s->IdentifierAuthority.Value;
  if (v[0] || v[1]) {
    n += snprintf(text + n, sizeof text - n, "0x%02x%02x%02x%02x%02x%02x", v[0], v[1], v[2], v[3],
                  v[4], v[5]);
  } else {
    ULONG value = (ULONG(v[2]) << 24) | (ULONG(v[3]) << 16) | (ULONG(v[4]) << 8) | v[5];
    n += snprintf(text + n, sizeof text - n, "%u", value);
  }
  for (UCHAR i = 0; i < s->SubAuthorityCount; ++i)
    n += snprintf(text + n, sizeof text - n, "-%u", s->SubAuthority[i]);

  USHORT length = static_cast<USHORT>(n * sizeof(WCHAR));
  if (AllocateDestinationString) {
    auto *buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, length + sizeof(WCHAR), kStringTag));
    if (!buffer) return STATUS_NO_MEMORY;
    UnicodeString->Buffer = buffer;
    UnicodeString->MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
  } else if (length + sizeof(WCHAR) > UnicodeString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (int i = 0; i < n; ++i) UnicodeString->Buffer[i] = static_cast<WCHAR>(text[i]);
  UnicodeString->Buffer[n] = 0;
  UnicodeString->Length = length;
  return STATUS_SUCCESS;
}
