// Counted strings: one pool block holding the string header, the characters
// and a terminating zero ("Xsu " for UTF-16, "Xsa " for 8-bit text).
#pragma once

#include "kernel-support/kernel.h"

// Longest text a counted string holds: its capacity (text + terminator) must
// fit the 16-bit field.
constexpr SIZE_T KS_STRING_MAX_BYTES = 0xFFFC;
// Length argument meaning "up to the terminating zero".
constexpr SIZE_T KS_STRING_TERMINATED = static_cast<SIZE_T>(-1);

// A counted string from UTF-16 text of LengthBytes bytes (or zero-terminated).
NTSTATUS KsStringFromWide(PCWSTR Text, SIZE_T LengthBytes, PUNICODE_STRING *Result);
// A counted UTF-16 string from 8-bit text in the system's code page.
NTSTATUS KsStringFromAnsi(PCSTR Text, SIZE_T Length, PUNICODE_STRING *Result);
// A counted 8-bit string.
NTSTATUS KsAnsiStringFromBytes(PCSTR Text, SIZE_T Length, PANSI_STRING *Result);
NTSTATUS KsDuplicateString(PCUNICODE_STRING Source, PUNICODE_STRING *Result);
NTSTATUS KsConcatStrings(PCUNICODE_STRING First, PCUNICODE_STRING Second, PUNICODE_STRING *Result);
// Formats with the kernel's _vsnwprintf conventions (%s wide, %S 8-bit, %wZ).
NTSTATUS KsFormatString(PUNICODE_STRING *Result, PCWSTR Format, ...);
NTSTATUS KsFormatStringV(PUNICODE_STRING *Result, PCWSTR Format, va_list Args);

// Whether String begins with Prefix. When it does and RestBeginsWithBackslash
// is given, it tells whether the remainder starts with a backslash (so that
// "\Device\Disk" is a path prefix of "\Device\Disk\1" but not of "\Device\Disk1").
BOOLEAN KsStringHasPrefix(PCUNICODE_STRING Prefix, PCUNICODE_STRING String, BOOLEAN CaseInsensitive,
                          PBOOLEAN RestBeginsWithBackslash);
// The part of Path after its last backslash, as a view into Path. With
// IgnoreTrailingBackslashes, "\a\b\\" gives "b".
VOID KsLastPathComponent(PCUNICODE_STRING Path, BOOLEAN IgnoreTrailingBackslashes,
                         PUNICODE_STRING Component);
// Case-insensitive match with '*' (any run) and '?' (one character).
BOOLEAN KsMatchWildcard(PCUNICODE_STRING Pattern, PCUNICODE_STRING Name);
// The same for 8-bit text (process image names).
BOOLEAN KsMatchWildcardAnsi(PCSTR Pattern, PCSTR Name);

// Frees a counted string (and a separately allocated character buffer it
// owns) and nulls the pointer.
VOID KsFreeString(PUNICODE_STRING *String);
VOID KsFreeAnsiString(PANSI_STRING *String);
