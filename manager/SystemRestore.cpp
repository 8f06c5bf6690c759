#include "SystemRestore.h"

#include <objbase.h>

#include <string>
#include <vector>

namespace Ramdeck {

namespace {

// A BSTR argument or result, freed with the holder.
struct Variant {
  VARIANT value;
  Variant() { VariantInit(&value); }
  explicit Variant(const char16_t *text) {
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
  }
  ~Variant() { VariantClear(&value); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
};

// object.name(arguments...) as a late-bound method call.
HRESULT CallMethod(IDispatch *object, const char16_t *name, std::vector<Variant *> arguments,
                   Variant *result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(status)) return status;
  // The last argument comes first.
  std::vector<VARIANT> reversed;
  for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) reversed.push_back((*it)->value);
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result->value,
                        nullptr, nullptr);
}

// The dispatch interface a call returned, referenced; null when it gave
// something else.
IDispatch *TakeDispatch(Variant &result) {
  if (result.value.vt != VT_DISPATCH || !result.value.pdispVal) return nullptr;
  IDispatch *object = result.value.pdispVal;
  object->AddRef();
  return object;
}

struct Released {
  IDispatch *object = nullptr;
  ~Released() {
    if (object) object->Release();
  }
};

bool Switch(QChar letter, bool enable) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(u"WbemScripting.SWbemLocator", &clsid))) return false;
  Released locator;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IID_IDispatch, reinterpret_cast<void **>(&locator.object))))
    return false;
  Variant server(u""), space(u"Root\\Default"), servicesResult;
  if (FAILED(CallMethod(locator.object, u"ConnectServer", {&server, &space}, &servicesResult)))
    return false;
  Released services{TakeDispatch(servicesResult)};
  if (!services.object) return false;
  Variant className(u"SystemRestore"), classResult;
  if (FAILED(CallMethod(services.object, u"Get", {&className}, &classResult))) return false;
  Released restore{TakeDispatch(classResult)};
  if (!restore.object) return false;
  char16_t root[] = {static_cast<char16_t>(letter.toUpper().unicode()), u':', u'\\', 0};
  Variant drive(root), answer;
  if (FAILED(CallMethod(restore.object, enable ? u"Enable" : u"Disable", {&drive}, &answer)))
    return false;
  switch (answer.value.vt) {
    case VT_I4:
      return answer.value.lVal >= 0;
    case VT_INT:
      return answer.value.intVal >= 0;
    case VT_I2:
      return answer.value.iVal >= 0;
    default:
      return false;
  }
}

}  // namespace

bool SetSystemRestore(QChar letter, bool enable) {
  HRESULT joined = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // A thread already in the other kind of apartment can still make the call.
  bool ok = Switch(letter, enable);
  if (SUCCEEDED(joined)) CoUninitialize();
  return ok;
}

}  // namespace Ramdeck
