// Mutants (Win32 mutexes) for user processes: named ones live in the object
// namespace while a handle to them is open, under "\BaseNamedObjects" for
// "Global\" names and the caller's session directory otherwise.
#pragma once

#include "nt/security.h"
#include "ob/object.h"

#include <string_view>

struct _EPROCESS;
struct _KTHREAD;

namespace bw {

extern _OBJECT_TYPE MutantType;

// NtReleaseMutant by a thread that does not own the mutant; kernel32 makes
// it ERROR_NOT_OWNER.
constexpr NTSTATUS kStatusMutantNotOwned = static_cast<NTSTATUS>(0xC0000046);

// The namespace path of a Win32 object name as a process of session
// `sessionId` means it: "Global\X" is "\BaseNamedObjects\X"; "Local\X" and
// "X" are "\Sessions\<id>\BaseNamedObjects\X" (session 0 shares the global
// directory). A further backslash is STATUS_OBJECT_PATH_NOT_FOUND, an
// empty name STATUS_OBJECT_NAME_INVALID.
NTSTATUS NamedObjectPath(ULONG sessionId, std::u16string_view name, std::u16string *path);

// NtCreateMutant for `process` on behalf of `thread`: an existing mutant of
// that name is opened instead (STATUS_OBJECT_NAME_EXISTS, after an access
// check for MUTANT_ALL_ACCESS). `descriptor` is self-relative or null;
// without a DACL the token's default one (its user, SYSTEM and
// Administrators) applies; a null DACL lets anyone in. An empty name makes
// an unnamed mutant.
NTSTATUS CreateMutant(_EPROCESS *process, _KTHREAD *thread, std::u16string_view name,
                      bool initialOwner, PSECURITY_DESCRIPTOR descriptor, HANDLE *handle);
// NtOpenMutant: STATUS_OBJECT_NAME_NOT_FOUND, STATUS_ACCESS_DENIED,
// STATUS_OBJECT_TYPE_MISMATCH for another kind of object.
NTSTATUS OpenMutant(_EPROCESS *process, std::u16string_view name, ACCESS_MASK access,
                    HANDLE *handle);
// NtReleaseMutant: STATUS_MUTANT_NOT_OWNED unless `thread` owns it;
// *previousCount is the count before the release.
NTSTATUS ReleaseMutant(_EPROCESS *process, _KTHREAD *thread, HANDLE handle, LONG *previousCount);
// The last handle of a mutant closed: a named one leaves the namespace.
void OnLastMutantHandleClosed(PVOID object);

}  // namespace bw
