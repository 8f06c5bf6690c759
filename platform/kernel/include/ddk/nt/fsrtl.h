// The file-system run-time library routines file systems share: matching
// names against search expressions.
#pragma once

#include "nt/types.h"

// The wildcards of search expressions: '*' and '?', and the DOS forms a
// Win32 pattern is turned into (DOS_STAR '<', DOS_QM '>', DOS_DOT '"').
#define DOS_STAR ((WCHAR)'<')
#define DOS_QM ((WCHAR)'>')
#define DOS_DOT ((WCHAR)'"')

// Whether `Name` matches `Expression`. With IgnoreCase, both are compared
// upper-cased (UpcaseTable is not used).
NTKERNELAPI BOOLEAN FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                            BOOLEAN IgnoreCase, PWSTR UpcaseTable);
NTKERNELAPI BOOLEAN FsRtlDoesNameContainWildCards(PUNICODE_STRING Name);
