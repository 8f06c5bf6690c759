// Run-time library: memory, strings, lists, time, version, checksums.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlEqualMemory(a, b, n) (__builtin_memcmp((a), (b), (n)) == 0)

NTSYSAPI SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

// Counted strings.
NTSYSAPI VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                               PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                               PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
// Formats like the kernel's _vsnwprintf: %s/%S/%u/%X/%08X/%c/%C/%wZ/%Z/%I64u/%llu/%p.
NTSYSAPI int BwFormatWide(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Args);
NTSYSAPI int _vsnwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, va_list Args);
NTSYSAPI int _snwprintf(PWSTR Buffer, SIZE_T Count, PCWSTR Format, ...);
NTSYSAPI int _vsnprintf(PCHAR Buffer, SIZE_T Count, PCSTR Format, va_list Args);
NTSYSAPI int _snprintf(PCHAR Buffer, SIZE_T Count, PCSTR Format, ...);

// Doubly linked lists.
FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = Entry->Blink;
  PLIST_ENTRY Flink = Entry->Flink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  RemoveEntryList(Entry);
  return Entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Blink;
  RemoveEntryList(Entry);
  return Entry;
}
FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}
FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}

// Time: 100 ns units since 1601-01-01 UTC.
typedef struct _TIME_FIELDS {
  CSHORT Year;
  CSHORT Month;
  CSHORT Day;
  CSHORT Hour;
  CSHORT Minute;
  CSHORT Second;
  CSHORT Milliseconds;
  CSHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;

NTSYSAPI VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
NTSYSAPI BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time);
NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
NTKERNELAPI VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);
NTKERNELAPI ULONGLONG KeQueryInterruptTime(VOID);
NTKERNELAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
NTKERNELAPI VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
NTSYSAPI ULONG RtlRandomEx(PULONG Seed);

// System version.
typedef struct _OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
  USHORT wServicePackMajor;
  USHORT wServicePackMinor;
  USHORT wSuiteMask;
  UCHAR wProductType;
  UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;

#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

NTSYSAPI NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
NTKERNELAPI BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                 PUNICODE_STRING CSDVersion);

// Checksums the kernel exports.
NTSYSAPI ULONG RtlComputeCrc32(ULONG PartialCrc, const VOID *Buffer, ULONG Length);

// Debug output.
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);
#define KdPrint(x) DbgPrint x
#define ASSERT(e) ((void)0)
#define NT_ASSERT(e) ((void)0)

NTKERNELAPI VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                              ULONG_PTR P4);

// Bitmaps: SizeOfBitMap bits in ULONGs, bit i in ULONG i / 32 at position
// i % 32. The routines neither allocate nor lock; callers guard them.
typedef struct _RTL_BITMAP {
  ULONG SizeOfBitMap;
  PULONG Buffer;
} RTL_BITMAP, *PRTL_BITMAP;

NTSYSAPI VOID RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer, ULONG SizeOfBitMap);
NTSYSAPI VOID RtlClearAllBits(PRTL_BITMAP BitMapHeader);
NTSYSAPI VOID RtlSetAllBits(PRTL_BITMAP BitMapHeader);
NTSYSAPI VOID RtlSetBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToSet);
NTSYSAPI VOID RtlClearBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToClear);
NTSYSAPI BOOLEAN RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber);
NTSYSAPI BOOLEAN RtlAreBitsSet(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG Length);
NTSYSAPI BOOLEAN RtlAreBitsClear(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG Length);
// The first index of a run of NumberToFind set (clear) bits, searching from
// HintIndex to the end and then from the start; 0xFFFFFFFF when there is none.
NTSYSAPI ULONG RtlFindSetBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex);
NTSYSAPI ULONG RtlFindClearBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex);
// The length of the first run of clear bits at or after FromIndex, and its
// start; 0 when no clear bit follows.
NTSYSAPI ULONG RtlFindNextForwardRunClear(PRTL_BITMAP BitMapHeader, ULONG FromIndex, PULONG StartingRunIndex);
NTSYSAPI ULONG RtlNumberOfSetBits(PRTL_BITMAP BitMapHeader);
NTSYSAPI ULONG RtlNumberOfClearBits(PRTL_BITMAP BitMapHeader);
// The index of the lowest (highest) set bit of Set, -1 when Set is 0.
NTSYSAPI CCHAR RtlFindLeastSignificantBit(ULONGLONG Set);
NTSYSAPI CCHAR RtlFindMostSignificantBit(ULONGLONG Set);
NTSYSAPI UCHAR RtlNumberOfSetBitsUlongPtr(ULONG_PTR Target);
