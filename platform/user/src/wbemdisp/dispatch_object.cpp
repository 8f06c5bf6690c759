#include "platform/user/src/wbemdisp/dispatch_object.h"

namespace bw::user {

namespace {

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? c - 32 : c;
}

bool Omitted(const VARIANT *argument) {
  return argument->vt == VT_ERROR && argument->scode == static_cast<SCODE>(DISP_E_PARAMNOTFOUND);
}

}  // namespace

bool EqualNoCase(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool ArgumentText(const VARIANT *argument, std::u16string *text, const std::u16string &missing) {
  if (argument->vt == (VT_VARIANT | VT_BYREF) && argument->pvarVal) argument = argument->pvarVal;
  BSTR value;
  if (argument->vt == VT_BSTR)
    value = argument->bstrVal;
  else if (argument->vt == (VT_BSTR | VT_BYREF) && argument->pbstrVal)
    value = *argument->pbstrVal;
  else if (Omitted(argument)) {
    *text = missing;
    return true;
  } else {
    return false;
  }
  *text = value ? std::u16string(value, SysStringLen(value)) : std::u16string();
  return true;
}

HRESULT DispatchObject::QueryInterface(REFIID riid, void **object) {
  if (!object) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch)) {
    AddRef();
    *object = static_cast<IDispatch *>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef() {
  return ++references_;
}

ULONG DispatchObject::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT DispatchObject::GetTypeInfoCount(UINT *count) {
  if (!count) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo **info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID, DISPID *ids) {
  if (!IsEqualGUID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0) return E_INVALIDARG;
  std::vector<std::u16string> members = Members();
  HRESULT result = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    // Only the member's own name; these methods take no named arguments.
    if (i > 0 || !names[i]) {
      result = DISP_E_UNKNOWNNAME;
      continue;
    }
    for (size_t m = 0; m < members.size(); ++m)
      if (EqualNoCase(names[i], members[m])) ids[i] = static_cast<DISPID>(m + 1);
    if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

HRESULT DispatchObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS *params,
                               VARIANT *result, EXCEPINFO *, UINT *argumentError) {
  if (!IsEqualGUID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (id < 1 || static_cast<size_t>(id) > Members().size()) return DISP_E_MEMBERNOTFOUND;
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  if (!params || (params->cArgs && !params->rgvarg)) return E_INVALIDARG;
  if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
  std::vector<const VARIANT *> arguments;
  for (UINT i = params->cArgs; i > 0; --i) arguments.push_back(&params->rgvarg[i - 1]);
  VARIANT answer;
  VariantInit(&answer);
  HRESULT status = Call(id, arguments, &answer);
  if (status == DISP_E_TYPEMISMATCH && argumentError) *argumentError = 0;
  if (result)
    *result = answer;
  else
    VariantClear(&answer);
  return status;
}

}  // namespace bw::user
