// The only door from driver code into the kernel.
#pragma once

#include <ntifs.h>

// A wide string literal of the kernel's WCHAR: L"..." where WCHAR is the
// compiler's 16-bit wchar_t (Windows), KS_WSTR("...") where wchar_t is wider and
// WCHAR is char16_t (the host stand-in).
#if defined(_WIN32)
#define KS_WSTR(Text) L##Text
#else
#define KS_WSTR(Text) u##Text
#endif
