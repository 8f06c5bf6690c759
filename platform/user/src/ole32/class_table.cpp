// CLSIDFromProgID and CoCreateInstance over the table of the system's
// classes.
#include "platform/user/src/ole32/class_table.h"

#include <string_view>

using namespace bw::user;

extern "C" {
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
}

namespace {

const RegisteredClass kClasses[] = {
    {u"WbemScripting.SWbemLocator",
     {0x76A64158, 0xCB41, 0x11D1, {0x8B, 0x02, 0x00, 0x60, 0x08, 0x06, 0xD9, 0xB6}},
     CreateWbemLocator},
};

bool SameProgId(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'a' && a[i] <= u'z' ? a[i] - 32 : a[i];
    char16_t y = b[i] >= u'a' && b[i] <= u'z' ? b[i] - 32 : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  for (const RegisteredClass &c : kClasses) {
    if (SameProgId(lpszProgID, c.progId)) {
      *lpclsid = c.clsid;
      return S_OK;
    }
  }
  memset(lpclsid, 0, sizeof *lpclsid);
  return CO_E_CLASSSTRING;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID *ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!InApartment()) return CO_E_NOTINITIALIZED;
  for (const RegisteredClass &c : kClasses) {
    if (!IsEqualGUID(rclsid, c.clsid)) continue;
    // The system's classes are in-process servers, and none aggregates.
    if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return c.create(riid, ppv);
  }
  return REGDB_E_CLASSNOTREG;
}
