// Basic NT types as the Windows Driver Kit names them, for LP64 hosts.
#pragma once

#include <cstddef>
#include <cstdarg>
// As the WDK does, the kernel headers bring the C library's memory routines
// (memcpy, memset, memcmp, memmove) that the Rtl...Memory macros expand to.
#include <cstring>
#include <cstdint>

#if defined(BW_KERNEL_BUILDING)
#define NTKERNELAPI extern "C" __attribute__((visibility("default")))
#else
#define NTKERNELAPI extern "C"
#endif
#define NTSYSAPI NTKERNELAPI

#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define NTAPI
#define WINAPI
#define FORCEINLINE inline __attribute__((always_inline))
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define ANYSIZE_ARRAY 1

typedef void VOID, *PVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char *PCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD;
typedef int32_t LONG, *PLONG, INT;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, UINT;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, LONG_PTR;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, DWORD64, ULONG_PTR, *PULONG_PTR, DWORD_PTR;
typedef uint64_t SIZE_T, *PSIZE_T;
typedef int64_t SSIZE_T;
typedef char16_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const char16_t *PCWSTR, *LPCWSTR;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef char CCHAR;
typedef LONG KPRIORITY;
typedef ULONG LOGICAL;
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
typedef ULONG DEVICE_TYPE;
typedef ULONG SECURITY_INFORMATION;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LUID {
  ULONG LowPart;
  LONG HighPart;
} LUID, *PLUID;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID *LPCGUID;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING *PCANSI_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
  ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }

// Processor modes.
typedef CHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

// IRQLs that matter to driver code.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
