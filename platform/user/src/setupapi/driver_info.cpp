// Driver lists: the drivers of the INF store whose models fit a device
// (compatible drivers) or its class (class drivers), and their details.
#include "platform/user/src/setupapi/device_client.h"
#include "platform/user/src/setupapi/device_sets.h"
#include "platform/user/src/setupapi/inf_models.h"
#include "platform/user/src/setupapi/inf_store.h"
#include "platform/user/src/setupapi/setup_paths.h"

#include <cstddef>
#include <cstdlib>

using namespace bw;
using namespace bw::setup;

namespace {

// "mm/dd/yyyy,a.b.c.d" from [Version] DriverVer.
void ReadDriverVer(const inf::InfFile &inf, DriverEntry *entry) {
  const inf::Section *version = inf.Find(u"Version");
  if (!version) return;
  for (const inf::Line &l : version->lines) {
    if (!l.hasKey || !inf::EqualNoCase(l.key, u"DriverVer") || l.fields.empty()) continue;
    std::string date(l.fields[0].begin(), l.fields[0].end());
    unsigned m = 0, d = 0, y = 0;
    if (sscanf(date.c_str(), "%u/%u/%u", &m, &d, &y) == 3 && m >= 1 && m <= 12 && d >= 1 && d <= 31 && y >= 1601) {
      // Days from 1601-01-01 by the civil calendar.
      auto daysFromCivil = [](int yy, unsigned mm, unsigned dd) {
        yy -= mm <= 2;
        const int era = (yy >= 0 ? yy : yy - 399) / 400;
        const unsigned yoe = static_cast<unsigned>(yy - era * 400);
        const unsigned doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
        const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + static_cast<int>(doe);
      };
      int64_t days = daysFromCivil(static_cast<int>(y), m, d) - daysFromCivil(1601, 1, 1);
      uint64_t ticks = static_cast<uint64_t>(days) * 864000000000ULL;
      entry->date.dwLowDateTime = static_cast<DWORD>(ticks);
      entry->date.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    }
    if (l.fields.size() > 1) {
      std::string v(l.fields[1].begin(), l.fields[1].end());
      unsigned a = 0, b = 0, c = 0, e = 0;
      sscanf(v.c_str(), "%u.%u.%u.%u", &a, &b, &c, &e);
      entry->version = (DWORDLONG(a & 0xFFFF) << 48) | (DWORDLONG(b & 0xFFFF) << 32) |
                       (DWORDLONG(c & 0xFFFF) << 16) | (e & 0xFFFF);
    }
  }
}

// The ids a device answers to: hardware ids, then compatible ids.
std::vector<std::u16string> DeviceIds(const DeviceElement &element) {
  std::vector<std::u16string> ids;
  for (const char16_t *name : {u"HardwareID", u"CompatibleIDs"}) {
    DWORD type;
    std::vector<uint8_t> data;
    if (element.registered) {
      if (!GetDeviceValue(element.instanceId, name, false, &type, &data)) continue;
    } else {
      auto it = element.pending.find(name);
      if (it == element.pending.end()) continue;
      data = it->second.second;
    }
    for (auto &id : MultiStrings(data.data(), data.size())) ids.push_back(id);
  }
  return ids;
}

std::vector<DriverEntry> StoreDrivers(const std::vector<std::u16string> *ids, const GUID *classGuid) {
  std::vector<DriverEntry> drivers;
  for (const auto &name : StoredInfs()) {
    std::u16string path = InfStoreFolder() + u"\\" + name;
    inf::InfFile inf;
    if (!inf::LoadInf(path.c_str(), &inf, nullptr) || !inf.IsWin4Style()) continue;
    if (classGuid) {
      const std::u16string *text = inf.Value(u"Version", u"ClassGUID");
      GUID guid;
      if (!text || !ParseGuid(*text, &guid) || !IsEqualGUID(guid, *classGuid)) continue;
    }
    const std::u16string *provider = inf.Value(u"Version", u"Provider");
    for (const Model &m : ModelsOf(inf)) {
      if (ids) {
        bool fits = false;
        for (const auto &id : *ids)
          if (ModelFor({m}, id)) fits = true;
        if (!fits) continue;
      }
      DriverEntry entry;
      entry.description = m.description;
      entry.manufacturer = m.manufacturer;
      entry.provider = provider ? *provider : u"";
      entry.infPath = path;
      entry.section = m.installSection;
      entry.ids = m.ids;
      ReadDriverVer(inf, &entry);
      drivers.push_back(std::move(entry));
    }
  }
  return drivers;
}

// The list a call names: the element's compatible drivers or the set's
// class drivers. Null with the last error set.
std::vector<DriverEntry> *ListOf(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD type,
                                 DeviceInfoSet **setOut = nullptr, DeviceElement **elementOut = nullptr) {
  setup::DeviceInfoSet *set = FindSet(handle);
  if (!set) return nullptr;
  if (type != SPDIT_CLASSDRIVER && type != SPDIT_COMPATDRIVER) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DeviceElement *element = nullptr;
  if (data) {
    element = FindElement(*set, data);
    if (!element) return nullptr;
  } else if (type == SPDIT_COMPATDRIVER) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (setOut) *setOut = set;
  if (elementOut) *elementOut = element;
  // A device's class drivers are kept with the set, as this system has one
  // class per set that asks for them.
  return type == SPDIT_COMPATDRIVER ? &element->compatDrivers : &set->classDrivers;
}

void CopyText(WCHAR *to, size_t capacity, const std::u16string &text) {
  size_t n = std::min(text.size(), capacity - 1);
  memcpy(to, text.data(), n * sizeof(WCHAR));
  to[n] = 0;
}

}  // namespace

extern "C" BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                 DWORD DriverType) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = nullptr;
  DeviceElement *element = nullptr;
  std::vector<DriverEntry> *list = ListOf(DeviceInfoSet, DeviceInfoData, DriverType, &set, &element);
  if (!list) return FALSE;
  if (DriverType == SPDIT_COMPATDRIVER) {
    std::vector<std::u16string> ids = DeviceIds(*element);
    *list = StoreDrivers(&ids, nullptr);
  } else {
    const GUID *guid = element ? &element->classGuid : set->hasClass ? &set->classGuid : nullptr;
    *list = StoreDrivers(nullptr, guid);
  }
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDriverInfoW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                             DWORD DriverType, DWORD MemberIndex,
                                             PSP_DRVINFO_DATA_W DriverInfoData) {
  std::lock_guard<std::mutex> guard(SetsLock());
  std::vector<DriverEntry> *list = ListOf(DeviceInfoSet, DeviceInfoData, DriverType);
  if (!list) return FALSE;
  constexpr DWORD kV1Size = offsetof(SP_DRVINFO_DATA_V2_W, DriverDate);
  if (!DriverInfoData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V2_W) && DriverInfoData->cbSize != kV1Size) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (MemberIndex >= list->size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const DriverEntry &d = (*list)[MemberIndex];
  DriverInfoData->DriverType = DriverType;
  DriverInfoData->Reserved = MemberIndex + 1;
  CopyText(DriverInfoData->Description, LINE_LEN, d.description);
  CopyText(DriverInfoData->MfgName, LINE_LEN, d.manufacturer);
  CopyText(DriverInfoData->ProviderName, LINE_LEN, d.provider);
  if (DriverInfoData->cbSize == sizeof(SP_DRVINFO_DATA_V2_W)) {
    DriverInfoData->DriverDate = d.date;
    DriverInfoData->DriverVersion = d.version;
  }
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDriverInfoDetailW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  PSP_DRVINFO_DATA_W DriverInfoData,
                                                  PSP_DRVINFO_DETAIL_DATA_W DriverInfoDetailData,
                                                  DWORD DriverInfoDetailDataSize, PDWORD RequiredSize) {
  std::lock_guard<std::mutex> guard(SetsLock());
  if (!DriverInfoData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<DriverEntry> *list = ListOf(DeviceInfoSet, DeviceInfoData, DriverInfoData->DriverType);
  if (!list) return FALSE;
  if (DriverInfoData->Reserved == 0 || DriverInfoData->Reserved > list->size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DriverEntry &d = (*list)[DriverInfoData->Reserved - 1];
  // The ids follow the record: the hardware id, then the compatible ids,
  // each terminated, and one terminator more.
  std::u16string ids;
  for (const auto &id : d.ids) ids += id + u'\0';
  ids += u'\0';
  constexpr DWORD kFixed = offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID);
  DWORD needed = kFixed + static_cast<DWORD>(ids.size() * sizeof(WCHAR));
  if (RequiredSize) *RequiredSize = needed;
  if (!DriverInfoDetailData) {
    SetLastError(DriverInfoDetailDataSize ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (DriverInfoDetailData->cbSize != sizeof(SP_DRVINFO_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (DriverInfoDetailDataSize < kFixed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DriverInfoDetailData->InfDate = d.date;
  CopyText(DriverInfoDetailData->SectionName, LINE_LEN, d.section);
  CopyText(DriverInfoDetailData->InfFileName, MAX_PATH, d.infPath);
  CopyText(DriverInfoDetailData->DrvDescription, LINE_LEN, d.description);
  DriverInfoDetailData->Reserved = 0;
  size_t first = d.ids.empty() ? 0 : d.ids[0].size() + 1;
  DriverInfoDetailData->CompatIDsOffset = d.ids.size() > 1 ? static_cast<DWORD>(first) : 0;
  DriverInfoDetailData->CompatIDsLength = d.ids.size() > 1 ? static_cast<DWORD>(ids.size() - first) : 0;
  // Whatever of the ids fits is copied; the record itself is complete.
  size_t room = (DriverInfoDetailDataSize - kFixed) / sizeof(WCHAR);
  memcpy(DriverInfoDetailData->HardwareID, ids.data(), std::min(room, ids.size()) * sizeof(WCHAR));
  if (DriverInfoDetailDataSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   DWORD DriverType) {
  std::lock_guard<std::mutex> guard(SetsLock());
  std::vector<DriverEntry> *list = ListOf(DeviceInfoSet, DeviceInfoData, DriverType);
  if (!list) return FALSE;
  list->clear();
  return TRUE;
}
