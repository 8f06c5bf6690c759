// The test driver's view of logon sessions: drive-letter links made in the
// caller's logon session (as the engine makes them) or globally, and the
// sessions whose end its termination routine heard of.
#pragma once

#include <ntddk.h>

// Input: the letter (one UTF-16 unit), a scope unit (u'S' the caller's logon
// session, u'G' global), then the target device's name in UTF-16. Output:
// the caller's logon-session id (8 bytes, low part first) when asked for.
constexpr ULONG kTestMakeLetter = CTL_CODE(0x22, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Input: the letter and the scope unit.
constexpr ULONG kTestDeleteLetter = CTL_CODE(0x22, 0x821, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Output: the ids of the ended logon sessions the driver was told of, in
// order, 8 bytes each (low part first).
constexpr ULONG kTestEndedSessions = CTL_CODE(0x22, 0x822, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS StartTestSessions();
void StopTestSessions();
// Serves the three requests above; false for any other code.
bool TestSessionsControl(PIRP irp, NTSTATUS *status, ULONG_PTR *information);
