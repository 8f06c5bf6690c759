// The automation stand-in: apartments, class lookup, BSTRs and variants,
// and the scripting objects' calls with what they answer for wrong input.
#include "platform/daemon/tests/daemon_harness.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Automation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new bw::test::Daemon();
    ASSERT_TRUE(daemon_->Start()) << daemon_->Output();
    setenv("BRIMWELL_ROOT", daemon_->Root().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete daemon_;
    daemon_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
  void TearDown() override { CoUninitialize(); }

  static IDispatch *Locator() {
    CLSID clsid;
    EXPECT_EQ(S_OK, CLSIDFromProgID(u"wbemscripting.swbemlocator", &clsid));
    IDispatch *locator = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     reinterpret_cast<void **>(&locator)));
    return locator;
  }
  // object.name(texts...) with string arguments; the call's HRESULT.
  static HRESULT Call(IDispatch *object, const char16_t *name, std::vector<std::u16string> texts,
                      VARIANT *result) {
    DISPID id;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(status)) return status;
    std::vector<VARIANT> args(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      VariantInit(&args[texts.size() - 1 - i]);
      args[texts.size() - 1 - i].vt = VT_BSTR;
      args[texts.size() - 1 - i].bstrVal = SysAllocString(texts[i].c_str());
    }
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VariantInit(result);
    status = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                            nullptr, nullptr);
    for (VARIANT &v : args) VariantClear(&v);
    return status;
  }
  static IDispatch *SystemRestore() {
    IDispatch *locator = Locator();
    VARIANT services, restore;
    EXPECT_EQ(S_OK, Call(locator, u"ConnectServer", {u"", u"Root\\Default"}, &services));
    locator->Release();
    EXPECT_EQ(VT_DISPATCH, services.vt);
    EXPECT_EQ(S_OK, Call(services.pdispVal, u"Get", {u"SystemRestore"}, &restore));
    VariantClear(&services);
    EXPECT_EQ(VT_DISPATCH, restore.vt);
    return restore.pdispVal;
  }
  static inline bw::test::Daemon *daemon_ = nullptr;
};

TEST(AutomationBasics, ApartmentsBstrsAndVariants) {
  CLSID clsid;
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"No.Such.Class", &clsid));
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"WbemScripting.SWbemLocator", &clsid));
  IDispatch *object = nullptr;
  // Outside an apartment nothing is made.
  EXPECT_EQ(CO_E_NOTINITIALIZED,
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void **>(&object)));
  EXPECT_EQ(nullptr, object);
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  CLSID unknown = clsid;
  unknown.Data1 ^= 1;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(unknown, nullptr, CLSCTX_ALL, IID_IDispatch,
                                                  reinterpret_cast<void **>(&object)));
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                                   reinterpret_cast<void **>(&object)));
  IDispatch *dispatch = nullptr;
  EXPECT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&dispatch)));
  EXPECT_EQ(1u, object->Release());
  EXPECT_EQ(0u, dispatch->Release());
  CoUninitialize();
  CoUninitialize();

  BSTR text = SysAllocString(u"Root\\Default");
  EXPECT_EQ(12u, SysStringLen(text));
  EXPECT_EQ(std::u16string(u"Root\\Default"), std::u16string(text));
  SysFreeString(text);
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  EXPECT_EQ(0u, SysStringLen(nullptr));
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(u"abc", 2);
  EXPECT_EQ(2u, SysStringLen(v.bstrVal));
  EXPECT_EQ(S_OK, VariantClear(&v));
  EXPECT_EQ(VT_EMPTY, v.vt);
  v.vt = 0x77;
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&v));
}

TEST_F(Automation, TheLocatorReachesOnlyThisMachinesNamespaces) {
  IDispatch *locator = Locator();
  ASSERT_NE(nullptr, locator);
  VARIANT result;
  EXPECT_EQ(static_cast<HRESULT>(0x8004100E),
            Call(locator, u"ConnectServer", {u"", u"root\\nowhere"}, &result));
  EXPECT_EQ(static_cast<HRESULT>(0x800706BA),
            Call(locator, u"ConnectServer", {u"elsewhere", u"root\\default"}, &result));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, Call(locator, u"Connect", {}, &result));
  ASSERT_EQ(S_OK, Call(locator, u"connectserver", {u".", u"root\\cimv2"}, &result));
  VARIANT missing;
  // The class lives in "root\default" only.
  EXPECT_EQ(static_cast<HRESULT>(0x80041002),
            Call(result.pdispVal, u"Get", {u"SystemRestore"}, &missing));
  VariantClear(&result);
  locator->Release();
}

TEST_F(Automation, SystemRestoreAnswersZeroForADriveThatIsThere) {
  IDispatch *restore = SystemRestore();
  ASSERT_NE(nullptr, restore);
  VARIANT answer;
  for (const char16_t *method : {u"Disable", u"Enable", u"Enable"}) {
    ASSERT_EQ(S_OK, Call(restore, method, {u"C:\\"}, &answer)) << static_cast<const void *>(method);
    EXPECT_EQ(VT_I4, answer.vt);
    EXPECT_EQ(0, answer.lVal);
  }
  // A drive that is not there, or a drive text of another form.
  ASSERT_EQ(S_OK, Call(restore, u"Enable", {u"Q:\\"}, &answer));
  EXPECT_EQ(static_cast<LONG>(0x8007000F), answer.lVal);
  ASSERT_EQ(S_OK, Call(restore, u"Disable", {u"C:"}, &answer));
  EXPECT_EQ(E_INVALIDARG, answer.lVal);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(restore, u"Disable", {}, &answer));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(restore, u"Disable", {u"C:\\", u"x"}, &answer));
  restore->Release();
}

}  // namespace
