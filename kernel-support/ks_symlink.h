// Symbolic links in the object namespace.
#pragma once

#include "kernel-support/kernel.h"

NTSTATUS KsCreateSymbolicLink(PCUNICODE_STRING Link, PCUNICODE_STRING Target);
// A link that is not there counts as deleted.
NTSTATUS KsDeleteSymbolicLink(PCUNICODE_STRING Link);
// The link's target as a counted string the caller frees with KsFreeString.
NTSTATUS KsQuerySymbolicLink(PCUNICODE_STRING Link, PUNICODE_STRING *Target);
