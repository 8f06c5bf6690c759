// GUIDs as Win32 programs see them, on the host stand-in.
#pragma once

#include <cstdint>
#include <cstring>

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif
typedef GUID *LPGUID;
typedef const GUID *LPCGUID;
#ifndef IsEqualGUID
inline bool IsEqualGUID(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
#endif
