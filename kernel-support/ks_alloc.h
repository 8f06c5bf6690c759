// Pool allocation through the library's allocation slots.
#pragma once

#include "kernel-support/kernel.h"

// Pool tags are written as their four characters in the order pool tools
// show them; the first character is the lowest byte.
constexpr ULONG KsTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

// The library's own tags.
constexpr ULONG KS_TAG_GENERIC = KsTag("X   ");
constexpr ULONG KS_TAG_STRING_UNICODE = KsTag("Xsu ");
constexpr ULONG KS_TAG_STRING_ANSI = KsTag("Xsa ");
constexpr ULONG KS_TAG_FORMAT = KsTag("Xfmt");
constexpr ULONG KS_TAG_BUFFER = KsTag("Xbuf");
constexpr ULONG KS_TAG_PATH = KsTag("Xpa ");
constexpr ULONG KS_TAG_SD = KsTag("Xsd ");
constexpr ULONG KS_TAG_ACL = KsTag("Xacl");
constexpr ULONG KS_TAG_SID = KsTag("Xsid");
constexpr ULONG KS_TAG_ACE = KsTag("Xace");
constexpr ULONG KS_TAG_APC = KsTag("Xapc");
constexpr ULONG KS_TAG_APC_CONTEXT = KsTag("Xacc");
constexpr ULONG KS_TAG_TABLE_HEADER = KsTag("Xqlh");
constexpr ULONG KS_TAG_TABLE_ENTRY = KsTag("Xqle");
constexpr ULONG KS_TAG_TABLE_ARRAY = KsTag("Xqla");
constexpr ULONG KS_TAG_LIST_HEADER = KsTag("Xlhd");
constexpr ULONG KS_TAG_LIST_ELEMENT = KsTag("Xlel");
constexpr ULONG KS_TAG_SECURITY_CONTEXT = KsTag("Xsct");
constexpr ULONG KS_TAG_BITMAP_HEADER = KsTag("Xbmp");
constexpr ULONG KS_TAG_BITMAP_DATA = KsTag("Xbmd");
// Tag of object references the library takes.
constexpr ULONG KS_OBJECT_REFERENCE_TAG = 0x58202020;

typedef PVOID (*KS_ALLOCATE_ROUTINE)(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
typedef VOID (*KS_FREE_ROUTINE)(PVOID *Pointer);

// Allocates from the slot (non-paged by default). The memory is not zeroed:
// callers initialise what they allocate.
PVOID KsAllocate(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType = NonPagedPoolNx);
// Frees *Pointer if set and nulls it.
VOID KsFreeRaw(PVOID *Pointer);

template <typename T>
inline VOID KsFree(T **Pointer) {
  PVOID p = *Pointer;
  KsFreeRaw(&p);
  *Pointer = nullptr;
}

// Points the slots at the pool allocator (done by KsInitialize) or, in
// tests, at other routines.
VOID KsSetAllocator(KS_ALLOCATE_ROUTINE Allocate, KS_FREE_ROUTINE Free);
