// Status classes the helpers share.
#pragma once

#include "kernel-support/kernel.h"

// The "not there" statuses that removal operations (links, registry values
// and keys, mount points) count as success.
constexpr BOOLEAN KsIsNotThereStatus(NTSTATUS Status) {
  switch (static_cast<ULONG>(Status)) {
    case 0xC0000225:  // STATUS_NOT_FOUND
    case 0xC0000033:  // STATUS_OBJECT_NAME_INVALID
    case 0xC0000034:  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC0000039:  // STATUS_OBJECT_PATH_INVALID
    case 0xC000003A:  // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC000003B:  // STATUS_OBJECT_PATH_SYNTAX_BAD
    case 0xC00000BE:  // STATUS_BAD_NETWORK_PATH
      return TRUE;
    default:
      return FALSE;
  }
}

// A removal's result with "not there" counted as done.
constexpr NTSTATUS KsRemovalStatus(NTSTATUS Status) {
  return KsIsNotThereStatus(Status) ? STATUS_SUCCESS : Status;
}
