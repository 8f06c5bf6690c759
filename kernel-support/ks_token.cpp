#include "kernel-support/ks_token.h"

#include "kernel-support/ks_alloc.h"

NTSTATUS KsReferenceToken(PETHREAD Thread, PEPROCESS Process, KS_TOKEN *Token) {
  if (!Token) return STATUS_INVALID_PARAMETER;
  BOOLEAN copyOnOpen = FALSE, effectiveOnly = FALSE;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  Token->Token = Thread ? PsReferenceImpersonationToken(Thread, &copyOnOpen, &effectiveOnly, &level) : nullptr;
  Token->Impersonation = Token->Token != nullptr;
  if (!Token->Token) Token->Token = PsReferencePrimaryToken(Process ? Process : PsGetCurrentProcess());
  return Token->Token ? STATUS_SUCCESS : STATUS_NO_TOKEN;
}

VOID KsReleaseToken(KS_TOKEN *Token) {
  if (!Token || !Token->Token) return;
  if (Token->Impersonation) {
    PsDereferenceImpersonationToken(Token->Token);
  } else {
    PsDereferencePrimaryToken(Token->Token);
  }
  Token->Token = nullptr;
}

NTSTATUS KsCopySid(PSID Sid, PSID *Copy) {
  if (!Sid || !Copy || !RtlValidSid(Sid)) return STATUS_INVALID_PARAMETER;
  ULONG length = RtlLengthSid(Sid);
  *Copy = KsAllocate(length, KS_TAG_SID, PagedPool);
  if (!*Copy) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = RtlCopySid(length, *Copy, Sid);
  if (!NT_SUCCESS(status)) KsFree(Copy);
  return status;
}

BOOLEAN KsEqualSid(PSID First, PSID Second) {
  if (!First || !Second) return FALSE;
  return RtlEqualSid(First, Second);
}

NTSTATUS KsQueryTokenUserSid(const KS_TOKEN *Token, PSID *Sid) {
  if (!Token || !Token->Token || !Sid) return STATUS_INVALID_PARAMETER;
  *Sid = nullptr;
  PTOKEN_USER user = nullptr;
  NTSTATUS status = SeQueryInformationToken(Token->Token, TokenUser, reinterpret_cast<PVOID *>(&user));
  if (!NT_SUCCESS(status)) return status;
  status = KsCopySid(user->User.Sid, Sid);
  ExFreePool(user);
  return status;
}

NTSTATUS KsQueryTokenLogonId(const KS_TOKEN *Token, PLUID LogonId) {
  if (!Token || !Token->Token || !LogonId) return STATUS_INVALID_PARAMETER;
  return SeQueryAuthenticationIdToken(Token->Token, LogonId);
}
