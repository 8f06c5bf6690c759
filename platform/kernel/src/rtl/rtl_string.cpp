// Run-time library: counted strings and formatting.
#include "nt/pool.h"
#include "nt/rtl.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr ULONG kStringTag = 0x6E727453;  // "Strn"

WCHAR Upcase(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 32);
  return c;
}

SIZE_T WideLength(PCWSTR s) {
  SIZE_T n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return Upcase(SourceCharacter); }

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString) {
    SIZE_T bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  if (SourceString) {
    SIZE_T bytes = strlen(SourceString);
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = SourceString->Length < DestinationString->MaximumLength
                 ? SourceString->Length
                 : DestinationString->MaximumLength;
  memmove(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Source || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer,
          Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  SIZE_T n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  SIZE_T n = n1 < n2 ? n1 : n2;
  for (SIZE_T i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive) {
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

// Code page conversions use Latin-1 (the system's ANSI code page here).
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  SIZE_T bytes = static_cast<SIZE_T>(SourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER_MIX;
  if (AllocateDestinationString) {
    DestinationString->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
  DestinationString->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  SIZE_T chars = SourceString->Length / sizeof(WCHAR);
  if (AllocateDestinationString) {
    DestinationString->Buffer =
        static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (SIZE_T i = 0; i < chars; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 256 ? static_cast<CHAR>(c) : '?';
  }
  DestinationString->Length = static_cast<USHORT>(chars);
  if (chars < DestinationString->MaximumLength) DestinationString->Buffer[chars] = 0;
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[40];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value);
  if (static_cast<SIZE_T>(n) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
  String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  if (String->Length + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

namespace {

// A small printf engine shared by the wide and narrow formatters. It knows
// the conversions driver code uses; %s in a wide format is a wide string and
// %S a narrow one, as in the kernel's wide routines (and the other way round
// in the narrow ones).
template <typename Char>
int FormatInto(Char *out, SIZE_T count, const Char *fmt, va_list args, bool wide) {
  std::u16string result;
  auto emitAscii = [&](const char *s) {
    while (*s) result.push_back(static_cast<unsigned char>(*s++));
  };
  for (const Char *p = fmt; *p; ++p) {
    if (*p != '%') {
      result.push_back(static_cast<char16_t>(*p));
      continue;
    }
    ++p;
    if (*p == '%') {
      result.push_back(u'%');
      continue;
    }
    std::string conversion = "%";
    while (*p == '-' || *p == '0' || *p == '+' || *p == ' ' || *p == '#') conversion += char(*p++);
    while (*p >= '0' && *p <= '9') conversion += char(*p++);
    if (*p == '.') {
      conversion += char(*p++);
      if (*p == '*') {
        conversion += std::to_string(va_arg(args, int));
        ++p;
      }
      while (*p >= '0' && *p <= '9') conversion += char(*p++);
    }
    int longness = 0;
    bool widePrefix = false, narrowPrefix = false;
    for (;;) {
      if (*p == 'l') {
        ++longness;
        ++p;
      } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
        longness = 2;
        p += 3;
      } else if (*p == 'w') {
        widePrefix = true;
        ++p;
      } else if (*p == 'h') {
        narrowPrefix = true;
        ++p;
      } else if (*p == 'z') {
        longness = 2;
        ++p;
      } else {
        break;
      }
    }
    Char conv = *p;
    if (conv == 0) break;
    char buf[128];
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        std::string f = conversion + (longness >= 2 ? "ll" : "") + char(conv);
        if (longness >= 2)
          snprintf(buf, sizeof buf, f.c_str(), va_arg(args, long long));
        else
          snprintf(buf, sizeof buf, f.c_str(), va_arg(args, int));
        emitAscii(buf);
        break;
      }
      case 'p':
        snprintf(buf, sizeof buf, "%016llX", (unsigned long long)(uintptr_t)va_arg(args, void *));
        emitAscii(buf);
        break;
      case 'c':
      case 'C': {
        bool wideChar = (conv == 'c') == wide ? !narrowPrefix : widePrefix;
        int c = va_arg(args, int);
        result.push_back(wideChar ? static_cast<char16_t>(c)
                                  : static_cast<char16_t>(static_cast<unsigned char>(c)));
        break;
      }
      case 'Z': {
        // %wZ: PUNICODE_STRING, %Z: PANSI_STRING
        if (widePrefix) {
          auto *s = va_arg(args, PCUNICODE_STRING);
          if (s && s->Buffer) result.append(s->Buffer, s->Length / sizeof(WCHAR));
        } else {
          auto *s = va_arg(args, PCANSI_STRING);
          if (s && s->Buffer)
            for (USHORT i = 0; i < s->Length; ++i)
              result.push_back(static_cast<unsigned char>(s->Buffer[i]));
        }
        break;
      }
      case 's':
      case 'S': {
        bool wideString = (conv == 's') == wide ? !narrowPrefix : widePrefix;
        long precision = -1;
        auto dot = conversion.find('.');
        if (dot != std::string::npos) precision = strtol(conversion.c_str() + dot + 1, nullptr, 10);
        if (wideString) {
          auto *s = va_arg(args, PCWSTR);
          if (!s) s = u"(null)";
          for (long i = 0; s[i] && (precision < 0 || i < precision); ++i) result.push_back(s[i]);
        } else {
          auto *s = va_arg(args, const char *);
          if (!s) s = "(null)";
          for (long i = 0; s[i] && (precision < 0 || i < precision); ++i)
            result.push_back(static_cast<unsigned char>(s[i]));
        }
        break;
      }
      default:
        result.push_back(static_cast<char16_t>(conv));
        break;
    }
  }
  // _vsnwprintf semantics: -1 when the text (without terminator) does not fit;
  // the terminator is written only when there is room for it.
  SIZE_T n = result.size();
  SIZE_T copy = n < count ? n : count;
  for (SIZE_T i = 0; i < copy; ++i) out[i] = static_cast<Char>(result[i]);
  if (n < count) out[n] = 0;
  return n <= count ? static_cast<int>(n) : -1;
}

}  // namespace

int BwFormatWide(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Args) {
  return FormatInto<WCHAR>(Buffer, Count, Format, Args, true);
}

int _vsnwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Args) {
  return FormatInto<WCHAR>(Buffer, Count, Format, Args, true);
}

int _snwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  int n = FormatInto<WCHAR>(Buffer, Count, Format, args, true);
  va_end(args);
  return n;
}

int _vsnprintf(PCHAR Buffer, SIZE_T Count, PCSTR Format, va_list Args) {
  return FormatInto<CHAR>(Buffer, Count, Format, Args, false);
}

int _snprintf(PCHAR Buffer, SIZE_T Count, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  int n = FormatInto<CHAR>(Buffer, Count, Format, args, false);
  va_end(args);
  return n;
}

ULONG DbgPrint(PCSTR Format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, Format);
  int n = FormatInto<CHAR>(buf, sizeof buf - 1, Format, args, false);
  va_end(args);
  buf[n < 0 ? sizeof buf - 1 : n] = 0;
  if (getenv("BW_DEBUG_PRINT")) fputs(buf, stderr);
  return 0;
}
