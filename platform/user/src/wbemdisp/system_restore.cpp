#include "platform/user/src/wbemdisp/system_restore.h"

#include "platform/user/src/wbemdisp/dispatch_object.h"

#include <mutex>
#include <set>

namespace bw::user {

namespace {

constexpr LONG kInvalidDrive = static_cast<LONG>(0x8007000F);  // ERROR_INVALID_DRIVE as an HRESULT

std::mutex gLock;
std::set<char16_t> gUnmonitored;  // drives whose monitoring was disabled

class SystemRestoreClass final : public DispatchObject {
 protected:
  std::vector<std::u16string> Members() const override { return {u"Enable", u"Disable"}; }
  // Enable(Drive, WaitTillEnabled) and Disable(Drive).
  HRESULT Call(DISPID id, const std::vector<const VARIANT *> &arguments, VARIANT *result) override {
    bool enable = id == 1;
    if (arguments.empty() || arguments.size() > (enable ? 2u : 1u)) return DISP_E_BADPARAMCOUNT;
    std::u16string drive;
    if (!ArgumentText(arguments[0], &drive)) return DISP_E_TYPEMISMATCH;
    result->vt = VT_I4;
    result->lVal = Switch(drive, enable);
    return S_OK;
  }

 private:
  static LONG Switch(const std::u16string &drive, bool enable) {
    if (drive.size() != 3 || drive[1] != u':' || drive[2] != u'\\') return E_INVALIDARG;
    char16_t letter = drive[0] >= u'a' && drive[0] <= u'z' ? drive[0] - 32 : drive[0];
    if (letter < u'A' || letter > u'Z') return E_INVALIDARG;
    // The drive is there when its letter names a device for the caller.
    char16_t name[] = {letter, u':', 0};
    WCHAR target[1024];
    if (!QueryDosDeviceW(name, target, 1024) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return kInvalidDrive;
    std::lock_guard<std::mutex> guard(gLock);
    if (enable)
      gUnmonitored.erase(letter);
    else
      gUnmonitored.insert(letter);
    return 0;
  }
};

}  // namespace

IDispatch *NewSystemRestoreClass() {
  return new (std::nothrow) SystemRestoreClass;
}

}  // namespace bw::user
