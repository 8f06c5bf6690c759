// Drive-letter links in the caller's logon session or globally, and a
// logon-session termination routine that keeps what it was told.
#include "platform/kernel/tests/driver/testdrv_sessions.h"

namespace {

constexpr ULONG kMaxEnded = 64;
LUID gEnded[kMaxEnded];
LONG gEndedCount;

NTSTATUS OnSessionEnded(PLUID LogonId) {
  LONG slot = InterlockedIncrement(&gEndedCount) - 1;
  if (slot < static_cast<LONG>(kMaxEnded)) gEnded[slot] = *LogonId;
  return STATUS_SUCCESS;
}

NTSTATUS CallerLogonId(LUID *id) {
  PACCESS_TOKEN token = PsReferencePrimaryToken(PsGetCurrentProcess());
  if (!token) return STATUS_NO_TOKEN;
  NTSTATUS status = SeQueryAuthenticationIdToken(token, id);
  PsDereferencePrimaryToken(token);
  return status;
}

void PutHex(WCHAR *at, ULONG value) {
  for (int i = 7; i >= 0; --i, value >>= 4) {
    ULONG digit = value & 0xF;
    at[i] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
  }
}

// "\??\X:" or "\Sessions\0\DosDevices\HHHHHHHH-LLLLLLLL\X:" in `name`.
NTSTATUS LetterLink(WCHAR letter, WCHAR scope, WCHAR (&name)[64], UNICODE_STRING *link,
                    LUID *id) {
  static const WCHAR kGlobal[] = u"\\??\\";
  static const WCHAR kSession[] = u"\\Sessions\\0\\DosDevices\\";
  ULONG n = 0;
  NTSTATUS status = CallerLogonId(id);
  if (!NT_SUCCESS(status)) return status;
  if (scope == u'G') {
    for (const WCHAR *c = kGlobal; *c; ++c) name[n++] = *c;
  } else if (scope == u'S') {
    for (const WCHAR *c = kSession; *c; ++c) name[n++] = *c;
    PutHex(name + n, static_cast<ULONG>(id->HighPart));
    name[n + 8] = u'-';
    PutHex(name + n + 9, id->LowPart);
    n += 17;
    name[n++] = u'\\';
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  name[n++] = letter;
  name[n++] = u':';
  link->Buffer = name;
  link->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  link->MaximumLength = link->Length;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS StartTestSessions() {
  gEndedCount = 0;
  return SeRegisterLogonSessionTerminatedRoutine(OnSessionEnded);
}

void StopTestSessions() { SeUnregisterLogonSessionTerminatedRoutine(OnSessionEnded); }

bool TestSessionsControl(PIRP irp, NTSTATUS *status, ULONG_PTR *information) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto *buffer = static_cast<WCHAR *>(irp->AssociatedIrp.SystemBuffer);
  *information = 0;
  if (code == kTestEndedSessions) {
    LONG count = gEndedCount < static_cast<LONG>(kMaxEnded) ? gEndedCount : kMaxEnded;
    ULONG bytes = static_cast<ULONG>(count) * sizeof(LUID);
    if (out < bytes) {
      *status = STATUS_BUFFER_TOO_SMALL;
      return true;
    }
    if (bytes) RtlCopyMemory(buffer, gEnded, bytes);
    *information = bytes;
    *status = STATUS_SUCCESS;
    return true;
  }
  if (code != kTestMakeLetter && code != kTestDeleteLetter) return false;
  if (in < 2 * sizeof(WCHAR) || in % sizeof(WCHAR)) {
    *status = STATUS_INVALID_PARAMETER;
    return true;
  }
  WCHAR name[64];
  UNICODE_STRING link;
  LUID id{};
  *status = LetterLink(buffer[0], buffer[1], name, &link, &id);
  if (!NT_SUCCESS(*status)) return true;
  if (code == kTestDeleteLetter) {
    *status = IoDeleteSymbolicLink(&link);
    return true;
  }
  UNICODE_STRING target;
  target.Buffer = buffer + 2;
  target.Length = static_cast<USHORT>(in - 2 * sizeof(WCHAR));
  target.MaximumLength = target.Length;
  *status = IoCreateSymbolicLink(&link, &target);
  if (NT_SUCCESS(*status) && out >= sizeof(LUID)) {
    RtlCopyMemory(buffer, &id, sizeof id);
    *information = sizeof id;
  }
  return true;
}
