// COM as programs see it on the host stand-in: apartments, class objects
// by ProgID and CLSID, IUnknown. Only the system's own classes are
// registered (ole32/class_table.cpp); no class of a program's own.
#pragma once

#include "guiddef.h"
#include "windows.h"

typedef LONG HRESULT;
typedef LONG SCODE;
typedef GUID IID, CLSID;
typedef const IID &REFIID;
typedef const CLSID &REFCLSID;
typedef CLSID *LPCLSID;
typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;

#define STDMETHODCALLTYPE
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000)))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)

typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_ALL \
  (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown *LPUNKNOWN;

extern "C" const IID IID_IUnknown;   // {00000000-0000-0000-C000-000000000046}
extern "C" const IID IID_IDispatch;  // {00020400-0000-0000-C000-000000000046}
extern "C" const IID IID_NULL;

// The calling thread joins an apartment: S_OK the first time, S_FALSE when
// it is in one of that kind already, RPC_E_CHANGED_MODE for the other kind.
// Each success is matched by one CoUninitialize.
WINBASEAPI HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINBASEAPI HRESULT WINAPI CoInitialize(LPVOID pvReserved);
WINBASEAPI VOID WINAPI CoUninitialize(VOID);
// CO_E_CLASSSTRING for a ProgID that names no registered class.
WINBASEAPI HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// CO_E_NOTINITIALIZED outside an apartment; REGDB_E_CLASSNOTREG for a class
// that is not registered.
WINBASEAPI HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                           REFIID riid, LPVOID *ppv);

#include "oleauto.h"
