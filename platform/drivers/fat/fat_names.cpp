// Names and times as FAT keeps them: which long names are valid, how names
// compare and match wildcards, the short-name checksum of long-name slots,
// and local time in two-second steps.
#include "platform/drivers/fat/fat_core.h"

namespace {

WCHAR Up(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

constexpr WCHAR kDosStar = u'<';
constexpr WCHAR kDosQm = u'>';
constexpr WCHAR kDosDot = u'"';

BOOLEAN Match(const WCHAR *p, USHORT pn, const WCHAR *s, USHORT sn, ULONG depth) {
  if (depth > 256) return FALSE;  // bounded: patterns come from callers
  while (pn) {
    WCHAR c = *p;
    if (c == u'*') {
      for (USHORT skip = 0; skip <= sn; ++skip)
        if (Match(p + 1, pn - 1, s + skip, sn - skip, depth + 1)) return TRUE;
      return FALSE;
    }
    if (c == kDosStar) {
      // Any characters, but not past the name's last dot.
      USHORT lastDot = sn;
      for (USHORT i = 0; i < sn; ++i)
        if (s[i] == u'.') lastDot = i;
      for (USHORT skip = 0; skip <= sn; ++skip) {
        if (Match(p + 1, pn - 1, s + skip, sn - skip, depth + 1)) return TRUE;
        if (skip == lastDot) break;
      }
      return FALSE;
    }
    if (c == kDosQm) {
      // One character, or none at a dot or the end.
      if (sn == 0 || *s == u'.') {
        ++p, --pn;
        continue;
      }
      ++p, --pn, ++s, --sn;
      continue;
    }
    if (c == kDosDot) {
      if (sn && *s == u'.') {
        ++p, --pn, ++s, --sn;
        continue;
      }
      if (sn == 0) {
        ++p, --pn;
        continue;
      }
      return FALSE;
    }
    if (sn == 0) return FALSE;
    if (c != u'?' && Up(c) != Up(*s)) return FALSE;
    ++p, --pn, ++s, --sn;
  }
  return sn == 0;
}

}  // namespace

BOOLEAN FatIsValidName(const WCHAR *Name, USHORT Length) {
  if (Length == 0 || Length > kFatMaxName) return FALSE;
  if (Name[0] == u'.' && (Length == 1 || (Length == 2 && Name[1] == u'.'))) return FALSE;
  for (USHORT i = 0; i < Length; ++i) {
    WCHAR c = Name[i];
    if (c < 0x20) return FALSE;
    switch (c) {
      case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\': case u'|':
        return FALSE;
      default:
        break;
    }
  }
  // Trailing dots and blanks are not kept on disk: a name that ends in one
  // could never be found again under the same name.
  return Name[Length - 1] != u'.' && Name[Length - 1] != u' ';
}

BOOLEAN FatNamesEqual(const WCHAR *A, USHORT ALength, const WCHAR *B, USHORT BLength) {
  if (ALength != BLength) return FALSE;
  for (USHORT i = 0; i < ALength; ++i)
    if (Up(A[i]) != Up(B[i])) return FALSE;
  return TRUE;
}

BOOLEAN FatNameMatches(const WCHAR *Pattern, USHORT PatternLength, const WCHAR *Name, USHORT Length) {
  return Match(Pattern, PatternLength, Name, Length, 0);
}

UCHAR FatShortChecksum(const UCHAR Name[11]) {
  UCHAR sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<UCHAR>(((sum & 1) << 7) + (sum >> 1) + Name[i]);
  return sum;
}

VOID FatTimeFromSystem(LARGE_INTEGER Time, USHORT *Date, USHORT *Clock, UCHAR *Tenths) {
  LARGE_INTEGER local;
  ExSystemTimeToLocalTime(&Time, &local);
  TIME_FIELDS f;
  RtlTimeToTimeFields(&local, &f);
  if (f.Year < 1980) {
    f.Year = 1980, f.Month = 1, f.Day = 1, f.Hour = 0, f.Minute = 0, f.Second = 0, f.Milliseconds = 0;
  } else if (f.Year > 2107) {
    f.Year = 2107, f.Month = 12, f.Day = 31, f.Hour = 23, f.Minute = 59, f.Second = 58, f.Milliseconds = 0;
  }
  *Date = static_cast<USHORT>(((f.Year - 1980) << 9) | (f.Month << 5) | f.Day);
  *Clock = static_cast<USHORT>((f.Hour << 11) | (f.Minute << 5) | (f.Second / 2));
  if (Tenths) *Tenths = static_cast<UCHAR>((f.Second % 2) * 100 + f.Milliseconds / 10);
}

LARGE_INTEGER FatTimeToSystem(USHORT Date, USHORT Clock, UCHAR Tenths) {
  LARGE_INTEGER result;
  result.QuadPart = 0;
  if (Date == 0) return result;
  TIME_FIELDS f;
  f.Year = static_cast<CSHORT>(1980 + (Date >> 9));
  f.Month = static_cast<CSHORT>((Date >> 5) & 15);
  f.Day = static_cast<CSHORT>(Date & 31);
  f.Hour = static_cast<CSHORT>(Clock >> 11);
  f.Minute = static_cast<CSHORT>((Clock >> 5) & 63);
  f.Second = static_cast<CSHORT>((Clock & 31) * 2 + (Tenths >= 100 ? 1 : 0));
  f.Milliseconds = static_cast<CSHORT>((Tenths % 100) * 10);
  f.Weekday = 0;
  LARGE_INTEGER local;
  if (!RtlTimeFieldsToTime(&f, &local)) return result;
  ExLocalTimeToSystemTime(&local, &result);
  return result;
}

VOID FatStampNow(FatDirent *Dirent, BOOLEAN Create) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  FatTimeFromSystem(now, &Dirent->WriteDate, &Dirent->WriteTime, nullptr);
  Dirent->AccessDate = Dirent->WriteDate;
  if (Create) FatTimeFromSystem(now, &Dirent->CreationDate, &Dirent->CreationTime, &Dirent->CreationTenths);
}
