// The session manager's file operations: renames and deletes that wait for
// the next start of the system (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT), kept as Windows keeps them in
// "Control\Session Manager\PendingFileRenameOperations": pairs of NT paths,
// source then target; an empty target deletes, a target starting with '!'
// replaces an existing file.
#pragma once

#include <wdm.h>

#include <string>

namespace bw {

NTSTATUS AddPendingFileOperation(const std::u16string &source, const std::u16string &target);
// Carries the operations out in order, at boot before drivers load, and
// removes the list; one that fails is logged and skipped.
void ApplyPendingFileOperations();

}  // namespace bw
