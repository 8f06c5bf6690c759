// Automation: BSTRs, VARIANTs and IDispatch, for late-bound calls to the
// system's scripting objects.
#pragma once

#include "objbase.h"

typedef OLECHAR *BSTR;
typedef uint16_t VARTYPE;
typedef int16_t SHORT, VARIANT_BOOL;
typedef LONG DISPID;
typedef DWORD LCID;
typedef double DOUBLE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define DISPID_UNKNOWN (-1)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI4 = 19,
  VT_INT = 22,
  VT_UINT = 23,
  VT_BYREF = 0x4000,
};

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4

#define DISP_E_UNKNOWNINTERFACE ((HRESULT)0x80020001L)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003L)
#define DISP_E_PARAMNOTFOUND ((HRESULT)0x80020004L)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006L)
#define DISP_E_NONAMEDARGS ((HRESULT)0x80020007L)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009L)
#define DISP_E_BADPARAMCOUNT ((HRESULT)0x8002000EL)

struct IDispatch;
struct ITypeInfo;

typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    SHORT iVal;
    ULONG ulVal;
    int intVal;
    UINT uintVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DOUBLE dblVal;
    BSTR bstrVal;
    IUnknown *punkVal;
    IDispatch *pdispVal;
    BSTR *pbstrVal;
    struct tagVARIANT *pvarVal;
    PVOID byref;
    struct {
      PVOID pvRecord;
      PVOID pRecInfo;
    } brecVal;
  };
} VARIANT, VARIANTARG, *LPVARIANT, *LPVARIANTARG;

typedef struct tagDISPPARAMS {
  VARIANTARG *rgvarg;  // the last argument first
  DISPID *rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  PVOID pfnDeferredFillIn;
  SCODE scode;
} EXCEPINFO;

struct IDispatch : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames,
                                                  LCID lcid, DISPID *rgDispId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                           DISPPARAMS *pDispParams, VARIANT *pVarResult,
                                           EXCEPINFO *pExcepInfo, UINT *puArgErr) = 0;
};

// A BSTR's length (in characters) lies before its text; the text ends with
// a zero. SysAllocString(NULL) is NULL; SysFreeString(NULL) does nothing.
WINBASEAPI BSTR WINAPI SysAllocString(const OLECHAR *psz);
WINBASEAPI BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui);
WINBASEAPI VOID WINAPI SysFreeString(BSTR bstrString);
WINBASEAPI UINT WINAPI SysStringLen(BSTR pbstr);
WINBASEAPI VOID WINAPI VariantInit(VARIANTARG *pvarg);
// Frees what the variant owns (a BSTR, a reference to an interface) and
// leaves it VT_EMPTY; DISP_E_BADVARTYPE for a type it does not know.
WINBASEAPI HRESULT WINAPI VariantClear(VARIANTARG *pvarg);
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
