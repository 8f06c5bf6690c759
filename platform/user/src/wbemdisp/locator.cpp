// The scripting locator and the services of a namespace: ConnectServer
// reaches this machine's namespaces "root\default" and "root\cimv2"; Get
// there gives a class object by name. The one class is "SystemRestore" in
// "root\default" (wbemdisp/system_restore.cpp).
#include "platform/user/src/ole32/class_table.h"
#include "platform/user/src/wbemdisp/dispatch_object.h"
#include "platform/user/src/wbemdisp/system_restore.h"

namespace bw::user {

namespace {

#define RPC_S_SERVER_UNAVAILABLE_HRESULT ((HRESULT)0x800706BAL)

class Services final : public DispatchObject {
 public:
  explicit Services(std::u16string space) : namespace_(std::move(space)) {}

 protected:
  std::vector<std::u16string> Members() const override { return {u"Get"}; }
  HRESULT Call(DISPID, const std::vector<const VARIANT *> &arguments, VARIANT *result) override {
    if (arguments.empty() || arguments.size() > 3) return DISP_E_BADPARAMCOUNT;
    std::u16string path;
    if (!ArgumentText(arguments[0], &path)) return DISP_E_TYPEMISMATCH;
    if (!EqualNoCase(namespace_, u"root\\default") || !EqualNoCase(path, u"SystemRestore"))
      return WBEM_E_NOT_FOUND;
    result->vt = VT_DISPATCH;
    result->pdispVal = NewSystemRestoreClass();
    return result->pdispVal ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::u16string namespace_;
};

class Locator final : public DispatchObject {
 protected:
  std::vector<std::u16string> Members() const override { return {u"ConnectServer"}; }
  // ConnectServer(server, namespace, user, password, locale, authority,
  // flags, context), every one optional.
  HRESULT Call(DISPID, const std::vector<const VARIANT *> &arguments, VARIANT *result) override {
    if (arguments.size() > 8) return DISP_E_BADPARAMCOUNT;
    std::u16string server, space = u"root\\cimv2";
    if (!arguments.empty() && !ArgumentText(arguments[0], &server)) return DISP_E_TYPEMISMATCH;
    if (arguments.size() > 1 && !ArgumentText(arguments[1], &space, space))
      return DISP_E_TYPEMISMATCH;
    // Only this machine answers.
    if (!server.empty() && server != u"." && !EqualNoCase(server, u"localhost"))
      return RPC_S_SERVER_UNAVAILABLE_HRESULT;
    if (space.empty()) space = u"root\\cimv2";
    if (space.rfind(u"\\\\.\\", 0) == 0) space = space.substr(4);
    if (!EqualNoCase(space, u"root\\default") && !EqualNoCase(space, u"root\\cimv2"))
      return WBEM_E_INVALID_NAMESPACE;
    auto *services = new (std::nothrow) Services(space);
    if (!services) return E_OUTOFMEMORY;
    result->vt = VT_DISPATCH;
    result->pdispVal = services;
    return S_OK;
  }
};

}  // namespace

HRESULT CreateWbemLocator(REFIID riid, void **object) {
  auto *locator = new (std::nothrow) Locator;
  if (!locator) return E_OUTOFMEMORY;
  HRESULT status = locator->QueryInterface(riid, object);
  locator->Release();
  return status;
}

}  // namespace bw::user
