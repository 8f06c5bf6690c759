// The Win32 interface of path and string helpers (shlwapi), on the host stand-in.
#pragma once

#include "windows.h"

// Appends pszMore to pszPath (a buffer of MAX_PATH characters) with one
// backslash between; "." and ".." are resolved. FALSE when the result would
// not fit.
extern "C" BOOL WINAPI PathAppendW(LPWSTR pszPath, LPCWSTR pszMore);
// Joins pszDir and pszFile into pszDest (MAX_PATH characters) and resolves
// "." and ".."; NULL when the result would not fit or both are NULL.
extern "C" LPWSTR WINAPI PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile);
extern "C" LPWSTR WINAPI PathFindFileNameW(LPCWSTR pszPath);
extern "C" BOOL WINAPI PathFileExistsW(LPCWSTR pszPath);
extern "C" LPWSTR WINAPI StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSrch);
extern "C" int WINAPI StrCmpNIW(LPCWSTR psz1, LPCWSTR psz2, int nChar);
