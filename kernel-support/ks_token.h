// Tokens and SIDs: whose request this is, and in which logon session.
#pragma once

#include "kernel-support/kernel.h"

// A referenced token: the thread's impersonation token when it has one,
// else the primary token of Process (null: the current process).
struct KS_TOKEN {
  PACCESS_TOKEN Token;
  BOOLEAN Impersonation;
};

// Thread may be null (no impersonation to look at).
NTSTATUS KsReferenceToken(PETHREAD Thread, PEPROCESS Process, KS_TOKEN *Token);
VOID KsReleaseToken(KS_TOKEN *Token);

// The token's user SID, copied into a pool block ("Xsid") freed with KsFree.
NTSTATUS KsQueryTokenUserSid(const KS_TOKEN *Token, PSID *Sid);
NTSTATUS KsQueryTokenLogonId(const KS_TOKEN *Token, PLUID LogonId);

// A copy of Sid ("Xsid"), freed with KsFree.
NTSTATUS KsCopySid(PSID Sid, PSID *Copy);
BOOLEAN KsEqualSid(PSID First, PSID Second);
