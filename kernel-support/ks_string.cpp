#include "kernel-support/ks_string.h"

#include "kernel-support/ks_alloc.h"

namespace {

SIZE_T WideLength(PCWSTR Text) {
  SIZE_T n = 0;
  while (Text[n]) ++n;
  return n * sizeof(WCHAR);
}

SIZE_T AnsiLength(PCSTR Text) {
  SIZE_T n = 0;
  while (Text[n]) ++n;
  return n;
}

// An empty counted string with room for Capacity bytes of text and the
// terminator, its buffer inside the same block.
NTSTATUS AllocateWide(SIZE_T Capacity, PUNICODE_STRING *Result) {
  if (Capacity > KS_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  auto *string = static_cast<PUNICODE_STRING>(
      KsAllocate(sizeof(UNICODE_STRING) + Capacity + sizeof(WCHAR), KS_TAG_STRING_UNICODE));
  if (!string) return STATUS_INSUFFICIENT_RESOURCES;
  string->Length = 0;
  string->MaximumLength = static_cast<USHORT>(Capacity + sizeof(WCHAR));
  string->Buffer = reinterpret_cast<PWSTR>(string + 1);
  string->Buffer[0] = 0;
  *Result = string;
  return STATUS_SUCCESS;
}

VOID Terminate(PUNICODE_STRING String) { String->Buffer[String->Length / sizeof(WCHAR)] = 0; }

WCHAR Upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

CHAR UpcaseAnsi(CHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<CHAR>(c - 'a' + 'A') : c; }

// Iterative wildcard match with one backtracking point for the last '*'.
template <typename Char, typename Fold>
BOOLEAN Match(const Char *pattern, SIZE_T patternLength, const Char *name, SIZE_T nameLength,
              Fold fold) {
  SIZE_T p = 0, n = 0;
  SIZE_T starP = static_cast<SIZE_T>(-1), starN = 0;
  while (n < nameLength) {
    if (p < patternLength && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < patternLength && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
      ++p;
      ++n;
    } else if (starP != static_cast<SIZE_T>(-1)) {
      p = starP + 1;
      n = ++starN;
    } else {
      return FALSE;
    }
  }
  while (p < patternLength && pattern[p] == '*') ++p;
  return p == patternLength;
}

}  // namespace

NTSTATUS KsStringFromWide(PCWSTR Text, SIZE_T LengthBytes, PUNICODE_STRING *Result) {
  if (!Result) return STATUS_INVALID_PARAMETER;
  *Result = nullptr;
  if (LengthBytes == KS_STRING_TERMINATED) {
    if (!Text) return STATUS_INVALID_PARAMETER;
    LengthBytes = WideLength(Text);
  }
  if ((LengthBytes && !Text) || LengthBytes % sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  PUNICODE_STRING string;
  NTSTATUS status = AllocateWide(LengthBytes, &string);
  if (!NT_SUCCESS(status)) return status;
  if (LengthBytes) RtlCopyMemory(string->Buffer, Text, LengthBytes);
  string->Length = static_cast<USHORT>(LengthBytes);
  Terminate(string);
  *Result = string;
  return STATUS_SUCCESS;
}

NTSTATUS KsStringFromAnsi(PCSTR Text, SIZE_T Length, PUNICODE_STRING *Result) {
  if (!Result) return STATUS_INVALID_PARAMETER;
  *Result = nullptr;
  if (Length == KS_STRING_TERMINATED) {
    if (!Text) return STATUS_INVALID_PARAMETER;
    Length = AnsiLength(Text);
  }
  if (Length && !Text) return STATUS_INVALID_PARAMETER;
  if (Length > KS_STRING_MAX_BYTES / sizeof(WCHAR)) return STATUS_NAME_TOO_LONG;
  PUNICODE_STRING string;
  NTSTATUS status = AllocateWide(Length * sizeof(WCHAR), &string);
  if (!NT_SUCCESS(status)) return status;
  ANSI_STRING source;
  source.Length = source.MaximumLength = static_cast<USHORT>(Length);
  source.Buffer = const_cast<PCHAR>(Text ? Text : "");
  status = RtlAnsiStringToUnicodeString(string, &source, FALSE);
  if (!NT_SUCCESS(status)) {
    KsFree(&string);
    return status;
  }
  Terminate(string);
  *Result = string;
  return STATUS_SUCCESS;
}

NTSTATUS KsAnsiStringFromBytes(PCSTR Text, SIZE_T Length, PANSI_STRING *Result) {
  if (!Result) return STATUS_INVALID_PARAMETER;
  *Result = nullptr;
  if (Length == KS_STRING_TERMINATED) {
    if (!Text) return STATUS_INVALID_PARAMETER;
    Length = AnsiLength(Text);
  }
  if (Length && !Text) return STATUS_INVALID_PARAMETER;
  if (Length > KS_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  auto *string = static_cast<PANSI_STRING>(
      KsAllocate(sizeof(ANSI_STRING) + Length + 1, KS_TAG_STRING_ANSI));
  if (!string) return STATUS_INSUFFICIENT_RESOURCES;
  string->Buffer = reinterpret_cast<PCHAR>(string + 1);
  string->Length = static_cast<USHORT>(Length);
  string->MaximumLength = static_cast<USHORT>(Length + 1);
  if (Length) RtlCopyMemory(string->Buffer, Text, Length);
  string->Buffer[Length] = 0;
  *Result = string;
  return STATUS_SUCCESS;
}

NTSTATUS KsDuplicateString(PCUNICODE_STRING Source, PUNICODE_STRING *Result) {
  if (!Source || !Result) return STATUS_INVALID_PARAMETER;
  return KsStringFromWide(Source->Buffer, Source->Length, Result);
}

NTSTATUS KsConcatStrings(PCUNICODE_STRING First, PCUNICODE_STRING Second, PUNICODE_STRING *Result) {
  if (!First || !Second || !Result) return STATUS_INVALID_PARAMETER;
  *Result = nullptr;
  SIZE_T length = static_cast<SIZE_T>(First->Length) + Second->Length;
  PUNICODE_STRING string;
  NTSTATUS status = AllocateWide(length, &string);
  if (!NT_SUCCESS(status)) return status;
  if (First->Length) RtlCopyMemory(string->Buffer, First->Buffer, First->Length);
  if (Second->Length)
    RtlCopyMemory(reinterpret_cast<PUCHAR>(string->Buffer) + First->Length, Second->Buffer,
                  Second->Length);
  string->Length = static_cast<USHORT>(length);
  Terminate(string);
  *Result = string;
  return STATUS_SUCCESS;
}

NTSTATUS KsFormatStringV(PUNICODE_STRING *Result, PCWSTR Format, va_list Args) {
  if (!Result || !Format) return STATUS_INVALID_PARAMETER;
  *Result = nullptr;
  // Start small and double; _vsnwprintf reports -1 while the text does not fit.
  for (SIZE_T characters = 128;; characters *= 2) {
    if (characters > KS_STRING_MAX_BYTES / sizeof(WCHAR)) characters = KS_STRING_MAX_BYTES / sizeof(WCHAR);
    PUNICODE_STRING string;
    NTSTATUS status = AllocateWide(characters * sizeof(WCHAR), &string);
    if (!NT_SUCCESS(status)) return status;
    va_list args;
    va_copy(args, Args);
    int written = _vsnwprintf(string->Buffer, characters, Format, args);
    va_end(args);
    if (written >= 0 && static_cast<SIZE_T>(written) <= characters) {
      string->Length = static_cast<USHORT>(written * sizeof(WCHAR));
      Terminate(string);
      *Result = string;
      return STATUS_SUCCESS;
    }
    KsFree(&string);
    if (characters == KS_STRING_MAX_BYTES / sizeof(WCHAR)) return STATUS_NAME_TOO_LONG;
  }
}

NTSTATUS KsFormatString(PUNICODE_STRING *Result, PCWSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  NTSTATUS status = KsFormatStringV(Result, Format, args);
  va_end(args);
  return status;
}

BOOLEAN KsStringHasPrefix(PCUNICODE_STRING Prefix, PCUNICODE_STRING String, BOOLEAN CaseInsensitive,
                          PBOOLEAN RestBeginsWithBackslash) {
  if (RestBeginsWithBackslash) *RestBeginsWithBackslash = FALSE;
  if (!Prefix || !String || Prefix->Length > String->Length) return FALSE;
  USHORT count = Prefix->Length / sizeof(WCHAR);
  for (USHORT i = 0; i < count; ++i) {
    WCHAR a = Prefix->Buffer[i], b = String->Buffer[i];
    if (CaseInsensitive ? Upcase(a) != Upcase(b) : a != b) return FALSE;
  }
  if (RestBeginsWithBackslash)
    *RestBeginsWithBackslash =
        String->Length > Prefix->Length && String->Buffer[count] == u'\\' ? TRUE : FALSE;
  return TRUE;
}

VOID KsLastPathComponent(PCUNICODE_STRING Path, BOOLEAN IgnoreTrailingBackslashes,
                         PUNICODE_STRING Component) {
  if (!Component) return;
  Component->Length = Component->MaximumLength = 0;
  Component->Buffer = nullptr;
  if (!Path || !Path->Buffer) return;
  USHORT end = Path->Length / sizeof(WCHAR);
  if (IgnoreTrailingBackslashes)
    while (end > 0 && Path->Buffer[end - 1] == u'\\') --end;
  USHORT start = end;
  while (start > 0 && Path->Buffer[start - 1] != u'\\') --start;
  Component->Buffer = Path->Buffer + start;
  Component->Length = Component->MaximumLength = static_cast<USHORT>((end - start) * sizeof(WCHAR));
}

BOOLEAN KsMatchWildcard(PCUNICODE_STRING Pattern, PCUNICODE_STRING Name) {
  if (!Pattern || !Name) return FALSE;
  return Match(Pattern->Buffer, Pattern->Length / sizeof(WCHAR), Name->Buffer,
               Name->Length / sizeof(WCHAR), Upcase);
}

BOOLEAN KsMatchWildcardAnsi(PCSTR Pattern, PCSTR Name) {
  if (!Pattern || !Name) return FALSE;
  return Match(Pattern, AnsiLength(Pattern), Name, AnsiLength(Name), UpcaseAnsi);
}

VOID KsFreeString(PUNICODE_STRING *String) {
  if (!String || !*String) return;
  PUNICODE_STRING string = *String;
  PVOID own = string + 1;
  if (string->Buffer && string->Buffer != own) KsFree(&string->Buffer);
  KsFree(String);
}

VOID KsFreeAnsiString(PANSI_STRING *String) {
  if (!String || !*String) return;
  PANSI_STRING string = *String;
  PVOID own = string + 1;
  if (string->Buffer && string->Buffer != own) KsFree(&string->Buffer);
  KsFree(String);
}
