// The late-bound objects of the scripting API: IDispatch over a table of
// member names, positional arguments only.
#pragma once

#include <oleauto.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

namespace bw::user {

#define WBEM_E_NOT_FOUND ((HRESULT)0x80041002L)
#define WBEM_E_INVALID_NAMESPACE ((HRESULT)0x8004100EL)

class DispatchObject : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **info) override;
  // Names match without regard to case; DISPIDs are positions + 1.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID,
                                          DISPID *ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS *params,
                                   VARIANT *result, EXCEPINFO *, UINT *argumentError) override;

 protected:
  virtual ~DispatchObject() = default;
  virtual std::vector<std::u16string> Members() const = 0;
  // `arguments` first argument first; a missing optional one is VT_ERROR
  // with DISP_E_PARAMNOTFOUND. *result is VT_EMPTY on entry.
  virtual HRESULT Call(DISPID id, const std::vector<const VARIANT *> &arguments,
                       VARIANT *result) = 0;

 private:
  std::atomic<ULONG> references_{1};
};

// The text of a string argument (by value or by reference). An omitted
// optional argument gives `missing`; false for any other type.
bool ArgumentText(const VARIANT *argument, std::u16string *text,
                  const std::u16string &missing = u"");
bool EqualNoCase(const std::u16string &a, const std::u16string &b);

}  // namespace bw::user
