// VARIANTs: initialising and clearing what they own.
#include <oleauto.h>

VOID WINAPI VariantInit(VARIANTARG *pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT WINAPI VariantClear(VARIANTARG *pvarg) {
  if (!pvarg) return E_INVALIDARG;
  // What a reference points at belongs to someone else.
  if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_EMPTY:
      case VT_NULL:
      case VT_I2:
      case VT_I4:
      case VT_ERROR:
      case VT_BOOL:
      case VT_UI4:
      case VT_INT:
      case VT_UINT:
        break;
      case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
      case VT_DISPATCH:
        if (pvarg->pdispVal) pvarg->pdispVal->Release();
        break;
      case VT_UNKNOWN:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  VariantInit(pvarg);
  pvarg->lVal = 0;
  return S_OK;
}
