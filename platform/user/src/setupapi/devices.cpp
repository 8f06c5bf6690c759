// Device information sets and elements: listing the system's devices by
// class, creating elements for new ones, and their registry properties.
#include "platform/user/src/setupapi/device_client.h"
#include "platform/user/src/setupapi/device_sets.h"
#include "platform/user/src/setupapi/inf_file.h"
#include "platform/user/src/setupapi/setup_paths.h"

using namespace bw;
using namespace bw::setup;

namespace {

struct PropertyInfo {
  DWORD property;
  const char16_t *value;
  DWORD type;
};
// The properties this system keeps, with the value each lives in.
constexpr PropertyInfo kProperties[] = {
    {SPDRP_DEVICEDESC, u"DeviceDesc", REG_SZ},   {SPDRP_HARDWAREID, u"HardwareID", REG_MULTI_SZ},
    {SPDRP_COMPATIBLEIDS, u"CompatibleIDs", REG_MULTI_SZ},
    {SPDRP_SERVICE, u"Service", REG_SZ},         {SPDRP_CLASS, u"Class", REG_SZ},
    {SPDRP_CLASSGUID, u"ClassGUID", REG_SZ},     {SPDRP_DRIVER, u"Driver", REG_SZ},
    {SPDRP_CONFIGFLAGS, u"ConfigFlags", REG_DWORD}, {SPDRP_MFG, u"Mfg", REG_SZ},
    {SPDRP_FRIENDLYNAME, u"FriendlyName", REG_SZ},
};

const PropertyInfo *PropertyOf(DWORD property) {
  for (const auto &p : kProperties)
    if (p.property == property) return &p;
  return nullptr;
}

// A string or list as the caller gave it, made whole: a list with a single
// terminator gets its second one, so that no reader runs past its end.
std::vector<uint8_t> Normalised(DWORD type, const BYTE *buffer, DWORD size) {
  std::vector<uint8_t> data(buffer, buffer + size);
  if (type == REG_SZ || type == REG_MULTI_SZ) {
    if (data.size() % 2) data.push_back(0);
    size_t terminators = type == REG_MULTI_SZ ? 2 : 1;
    size_t have = 0;
    for (size_t i = data.size(); i >= 2 && have < terminators && !data[i - 1] && !data[i - 2]; i -= 2) ++have;
    // An empty list is one terminator.
    if (type == REG_MULTI_SZ && data.size() == 2 && have == 1) return data;
    for (; have < terminators; ++have) data.insert(data.end(), {0, 0});
  }
  return data;
}

bool ClassOfDevice(const std::u16string &instanceId, GUID *guid) {
  DWORD type;
  std::vector<uint8_t> data;
  if (!GetDeviceValue(instanceId, u"ClassGUID", false, &type, &data)) return false;
  std::u16string text(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
  while (!text.empty() && !text.back()) text.pop_back();
  return ParseGuid(text, guid);
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent) {
  auto set = std::make_unique<DeviceInfoSet>();
  if (ClassGuid) {
    set->hasClass = true;
    set->classGuid = *ClassGuid;
  }
  std::lock_guard<std::mutex> guard(SetsLock());
  return RegisterSet(std::move(set));
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator,
                                               HWND hwndParent, DWORD Flags) {
  constexpr DWORD kKnown = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if (Flags & ~kKnown) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (Flags & DIGCF_DEVICEINTERFACE) {  // interface lists are not kept here
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  bool all = Flags & DIGCF_ALLCLASSES;
  if (!ClassGuid && !all) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<DeviceEntry> devices;
  if (!ListDevices(&devices)) return INVALID_HANDLE_VALUE;
  auto set = std::make_unique<DeviceInfoSet>();
  if (ClassGuid && !all) {
    set->hasClass = true;
    set->classGuid = *ClassGuid;
  }
  for (const DeviceEntry &d : devices) {
    if ((Flags & DIGCF_PRESENT) && !d.present) continue;
    if (Enumerator && *Enumerator) {
      std::u16string enumerator(Enumerator);
      if (d.instanceId.size() <= enumerator.size() ||
          !inf::EqualNoCase(d.instanceId.substr(0, enumerator.size()), enumerator) ||
          d.instanceId[enumerator.size()] != u'\\')
        continue;
    }
    GUID guid{};
    bool hasClass = ClassOfDevice(d.instanceId, &guid);
    if (!all && (!hasClass || !IsEqualGUID(guid, *ClassGuid))) continue;
    auto element = std::make_unique<DeviceElement>();
    element->devInst = NewDevInst();
    element->instanceId = d.instanceId;
    element->classGuid = guid;
    element->registered = true;
    set->elements.push_back(std::move(element));
  }
  std::lock_guard<std::mutex> guard(SetsLock());
  return RegisterSet(std::move(set));
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  std::lock_guard<std::mutex> guard(SetsLock());
  if (!ReleaseSet(DeviceInfoSet)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                            PSP_DEVINFO_DATA DeviceInfoData) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInfoData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (MemberIndex >= set->elements.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  Describe(*set->elements[MemberIndex], DeviceInfoData);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName,
                                               const GUID *ClassGuid, PCWSTR DeviceDescription,
                                               HWND hwndParent, DWORD CreationFlags,
                                               PSP_DEVINFO_DATA DeviceInfoData) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (CreationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return FALSE;
  }
  if (!DeviceName || !*DeviceName || !ClassGuid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (set->hasClass && !IsEqualGUID(set->classGuid, *ClassGuid)) {
    SetLastError(ERROR_CLASS_MISMATCH);
    return FALSE;
  }
  std::u16string name(DeviceName), id;
  if (CreationFlags & DICD_GENERATE_ID) {
    // The name becomes the device part of "ROOT\<NAME>\NNNN".
    if (name.find(u'\\') != std::u16string::npos) {
      SetLastError(ERROR_INVALID_DEVINST_NAME);
      return FALSE;
    }
    std::string input, answer;
    wire::PutText(&input, name);
    if (!DeviceCall(wire::DeviceAction::NewInstanceId, input, &answer)) return FALSE;
    std::string_view in(answer);
    if (!wire::TakeText(&in, &id)) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    // Elements of this set not registered yet hold their ids too.
    for (bool taken = true; taken;) {
      taken = false;
      for (auto &e : set->elements)
        if (!e->registered && inf::EqualNoCase(e->instanceId, id)) taken = true;
      if (taken) {
        unsigned n = std::stoul(std::string(id.end() - 4, id.end())) + 1;
        char digits[16];
        snprintf(digits, sizeof digits, "%04u", n % 10000);
        id = id.substr(0, id.size() - 4) + std::u16string(digits, digits + 4);
      }
    }
  } else {
    id = name;
    std::vector<DeviceEntry> devices;
    if (!ListDevices(&devices)) return FALSE;
    for (const auto &d : devices)
      if (inf::EqualNoCase(d.instanceId, id)) {
        SetLastError(ERROR_DEVINST_ALREADY_EXISTS);
        return FALSE;
      }
  }
  auto element = std::make_unique<DeviceElement>();
  element->devInst = NewDevInst();
  element->instanceId = id;
  element->classGuid = *ClassGuid;
  std::u16string guidText = FormatGuid(*ClassGuid) + u'\0';
  element->pending[u"ClassGUID"] = {REG_SZ, std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(guidText.data()),
                                                                reinterpret_cast<const uint8_t *>(guidText.data()) + guidText.size() * 2)};
  if (DeviceDescription) {
    std::u16string desc = std::u16string(DeviceDescription) + u'\0';
    element->pending[u"DeviceDesc"] = {REG_SZ, std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(desc.data()),
                                                                   reinterpret_cast<const uint8_t *>(desc.data()) + desc.size() * 2)};
  }
  if (DeviceInfoData) Describe(*element, DeviceInfoData);
  set->elements.push_back(std::move(element));
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  DeviceElement *element = FindElement(*set, DeviceInfoData);
  if (!element) return FALSE;
  // Only the set forgets it; a registered device stays in the system.
  for (auto it = set->elements.begin(); it != set->elements.end(); ++it)
    if (it->get() == element) {
      set->elements.erase(it);
      break;
    }
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                  PDWORD RequiredSize) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  DeviceElement *element = FindElement(*set, DeviceInfoData);
  if (!element) return FALSE;
  if (!DeviceInstanceId) {
    if (RequiredSize) *RequiredSize = static_cast<DWORD>(element->instanceId.size() + 1);
    SetLastError(DeviceInstanceIdSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return CopyOut(element->instanceId, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                        DWORD Property, PDWORD PropertyRegDataType,
                                                        PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                        PDWORD RequiredSize) {
  std::u16string instanceId;
  DWORD type = 0;
  std::vector<uint8_t> data;
  {
    std::lock_guard<std::mutex> guard(SetsLock());
    setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
    if (!set) return FALSE;
    DeviceElement *element = FindElement(*set, DeviceInfoData);
    if (!element) return FALSE;
    const PropertyInfo *info = PropertyOf(Property);
    if (!info) {
      SetLastError(ERROR_INVALID_REG_PROPERTY);
      return FALSE;
    }
    if (!PropertyBuffer && PropertyBufferSize) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (element->removed) {
      SetLastError(ERROR_NO_SUCH_DEVINST);
      return FALSE;
    }
    if (!element->registered) {
      auto it = element->pending.find(info->value);
      if (it == element->pending.end()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
      }
      type = it->second.first;
      data = it->second.second;
    } else {
      instanceId = element->instanceId;
    }
    if (!instanceId.empty() &&
        !GetDeviceValue(instanceId, info->value, false, &type, &data)) {
      // A property the device does not have is "invalid data", as setupapi says.
      if (GetLastError() == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
  }
  if (PropertyRegDataType) *PropertyRegDataType = type;
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(data.size());
  if (PropertyBufferSize < data.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!data.empty()) memcpy(PropertyBuffer, data.data(), data.size());
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                        DWORD Property, const BYTE *PropertyBuffer,
                                                        DWORD PropertyBufferSize) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  DeviceElement *element = FindElement(*set, DeviceInfoData);
  if (!element) return FALSE;
  const PropertyInfo *info = PropertyOf(Property);
  if (!info) {
    SetLastError(ERROR_INVALID_REG_PROPERTY);
    return FALSE;
  }
  // Deleting a property (no data) is not kept here.
  if (!PropertyBuffer || !PropertyBufferSize ||
      (info->type == REG_DWORD && PropertyBufferSize != sizeof(DWORD)) ||
      (info->type != REG_DWORD && PropertyBufferSize % 2)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (element->removed) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  std::vector<uint8_t> data = Normalised(info->type, PropertyBuffer, PropertyBufferSize);
  if (!element->registered) {
    element->pending[info->value] = {info->type, std::move(data)};
    return TRUE;
  }
  std::string input;
  wire::PutText(&input, element->instanceId);
  PutValue(&input, info->value, info->type, data.data(), data.size());
  return DeviceCall(wire::DeviceAction::SetValue, input);
}
