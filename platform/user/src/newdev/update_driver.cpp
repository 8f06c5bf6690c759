// UpdateDriverForPlugAndPlayDevicesW: installs the driver an INF has for a
// hardware id on every device that answers to that id, and starts them.
// The INF goes into the store, the files of the model's install section to
// their folders, the service of its .Services section into the registry as
// the service control manager writes it; then each device is given its
// service, class and driver key and started afresh.
#include "newdev.h"

#include "platform/user/src/setupapi/device_client.h"
#include "platform/user/src/setupapi/inf_handles.h"
#include "platform/user/src/setupapi/inf_models.h"
#include "platform/user/src/setupapi/inf_store.h"
#include "platform/user/src/setupapi/setup_paths.h"

#include <cstdlib>

using namespace bw;
using namespace bw::setup;
using inf::EqualNoCase;

namespace {

struct ServiceInstall {
  std::u16string name;
  bool associated = false;
  DWORD type = 0, start = 0, errorControl = 0;
  std::u16string binary, group, displayName;
};

std::u16string Text(const std::vector<uint8_t> &data) {
  std::u16string text(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
  while (!text.empty() && !text.back()) text.pop_back();
  return text;
}

bool Number(const std::u16string &text, DWORD *value) {
  std::string ascii(text.begin(), text.end());
  char *end = nullptr;
  unsigned long n = strtoul(ascii.c_str(), &end, 0);
  if (ascii.empty() || *end) return false;
  *value = static_cast<DWORD>(n);
  return true;
}

// "%12%\ramenum.sys": DIRIDs in a path become their folders.
std::u16string ExpandDirIds(const std::u16string &text, const std::u16string &infFolder) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t end = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string::npos;
    DWORD id;
    std::u16string folder;
    if (end != std::u16string::npos && Number(text.substr(i + 1, end - i - 1), &id) &&
        DirIdFolder(id, infFolder, &folder)) {
      out += folder;
      i = end;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A driver in the Windows folder is named from \SystemRoot, as setup
// writes a kernel service's ImagePath.
std::u16string ImagePathOf(const std::u16string &path) {
  std::u16string windows = WindowsFolder();
  if (path.size() > windows.size() && EqualNoCase(path.substr(0, windows.size()), windows) &&
      path[windows.size()] == u'\\')
    return u"\\SystemRoot" + path.substr(windows.size());
  return u"\\??\\" + path;
}

bool ReadServices(const inf::InfFile &inf, const std::u16string &section, const std::u16string &infFolder,
                  std::vector<ServiceInstall> *services) {
  const inf::Section *list = inf.Find(section + u".Services");
  if (!list) return true;
  for (const inf::Line &line : list->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, u"AddService")) continue;
    ServiceInstall s;
    DWORD flags = 0;
    if (line.fields.size() < 3 || line.fields[0].empty() ||
        (!line.fields[1].empty() && !Number(line.fields[1], &flags))) {
      SetLastError(ERROR_BAD_SERVICE_INSTALLSECT);
      return false;
    }
    s.name = line.fields[0];
    s.associated = flags & SPSVCINST_ASSOCSERVICE;
    const inf::Section *install = inf.Find(line.fields[2]);
    if (!install) {
      SetLastError(ERROR_SECTION_NOT_FOUND);
      return false;
    }
    const std::u16string *type = inf.Value(install->name, u"ServiceType");
    const std::u16string *start = inf.Value(install->name, u"StartType");
    const std::u16string *error = inf.Value(install->name, u"ErrorControl");
    const std::u16string *binary = inf.Value(install->name, u"ServiceBinary");
    if (!type || !start || !error || !binary || !Number(*type, &s.type) || !Number(*start, &s.start) ||
        !Number(*error, &s.errorControl)) {
      SetLastError(ERROR_BAD_SERVICE_INSTALLSECT);
      return false;
    }
    s.binary = ImagePathOf(ExpandDirIds(*binary, infFolder));
    if (const std::u16string *group = inf.Value(install->name, u"LoadOrderGroup")) s.group = *group;
    const std::u16string *display = inf.Value(install->name, u"DisplayName");
    s.displayName = display ? *display : s.name;
    services->push_back(std::move(s));
  }
  return true;
}

// The source of a file the INF copies: the INF's folder, with the disk's
// path and the file's subfolder when [SourceDisksNames] and
// [SourceDisksFiles] give them.
std::u16string SourceOf(const OpenInf &open, const std::u16string &file) {
  std::u16string folder = open.folder;
  for (std::u16string section : {u"SourceDisksFiles.amd64", u"SourceDisksFiles"}) {
    const inf::Section *files = open.inf.Find(section);
    if (!files) continue;
    for (const inf::Line &l : files->lines) {
      if (!l.hasKey || !EqualNoCase(l.key, file)) continue;
      if (!l.fields.empty()) {
        for (std::u16string disks : {u"SourceDisksNames.amd64", u"SourceDisksNames"}) {
          const inf::Section *names = open.inf.Find(disks);
          if (!names) continue;
          for (const inf::Line &d : names->lines)
            if (d.hasKey && d.key == l.fields[0] && d.fields.size() > 3 && !d.fields[3].empty())
              folder += u"\\" + d.fields[3];
        }
      }
      if (l.fields.size() > 1 && !l.fields[1].empty()) folder += u"\\" + l.fields[1];
      return folder + u"\\" + file;
    }
  }
  return folder + u"\\" + file;
}

bool CopyInstallFiles(const OpenInf &open, const std::u16string &section) {
  const inf::Section *install = open.inf.Find(section);
  for (const inf::Line &line : install->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, u"CopyFiles")) continue;
    for (const std::u16string &entry : line.fields) {
      if (entry.empty()) continue;
      std::vector<std::pair<std::u16string, std::u16string>> files;  // target, source
      std::u16string folder;
      if (entry[0] == u'@') {
        files.emplace_back(entry.substr(1), entry.substr(1));
        if (!TargetFolder(open, u"", &folder)) return false;
      } else {
        const inf::Section *list = open.inf.Find(entry);
        if (!list) {
          SetLastError(ERROR_SECTION_NOT_FOUND);
          return false;
        }
        if (!TargetFolder(open, list->name, &folder)) return false;
        for (const inf::Line &f : list->lines) {
          if (f.fields.empty() || f.fields[0].empty()) continue;
          std::u16string target = f.hasKey ? f.key : f.fields[0];
          std::u16string source = f.hasKey ? f.fields[0] : (f.fields.size() > 1 && !f.fields[1].empty() ? f.fields[1] : f.fields[0]);
          files.emplace_back(target, source);
        }
      }
      for (const auto &[target, source] : files)
        if (!ReplaceFile(SourceOf(open, source), folder + u"\\" + target)) return false;
    }
  }
  return true;
}

bool WriteService(const ServiceInstall &s) {
  std::string input;
  wire::PutText(&input, s.name);
  PutDwordValue(&input, u"Type", s.type);
  PutDwordValue(&input, u"Start", s.start);
  PutDwordValue(&input, u"ErrorControl", s.errorControl);
  std::u16string image = s.binary + u'\0';
  PutValue(&input, u"ImagePath", REG_EXPAND_SZ, image.data(), image.size() * 2);
  if (!s.group.empty()) PutTextValue(&input, u"Group", s.group);
  PutTextValue(&input, u"DisplayName", s.displayName);
  return DeviceCall(wire::DeviceAction::WriteService, input);
}

bool SetValue(const std::u16string &device, std::u16string_view name, std::u16string_view text) {
  std::string input;
  wire::PutText(&input, device);
  PutTextValue(&input, name, text);
  return DeviceCall(wire::DeviceAction::SetValue, input);
}

std::vector<std::u16string> IdsOf(const std::u16string &device) {
  std::vector<std::u16string> ids;
  for (const char16_t *name : {u"HardwareID", u"CompatibleIDs"}) {
    DWORD type;
    std::vector<uint8_t> data;
    if (GetDeviceValue(device, name, false, &type, &data))
      for (auto &id : MultiStrings(data.data(), data.size())) ids.push_back(id);
  }
  return ids;
}

}  // namespace

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId,
                                                         LPCWSTR FullInfPath, DWORD InstallFlags,
                                                         PBOOL bRebootRequired) {
  if (bRebootRequired) *bRebootRequired = FALSE;
  if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (InstallFlags & ~INSTALLFLAG_BITS) {
    SetLastError(ERROR_INVALID_FLAGS);
    return FALSE;
  }
  OpenInf open;
  if (!inf::LoadInf(FullInfPath, &open.inf, nullptr)) return FALSE;
  if (!open.inf.IsWin4Style()) {
    SetLastError(ERROR_WRONG_INF_STYLE);
    return FALSE;
  }
  open.path = FullInfPath;
  open.folder = FolderOf(FullInfPath);

  // Every registered device that answers to the id.
  std::vector<DeviceEntry> all;
  if (!ListDevices(&all)) return FALSE;
  std::vector<std::u16string> devices;
  for (const auto &d : all)
    for (const auto &id : IdsOf(d.instanceId))
      if (EqualNoCase(id, HardwareId)) {
        devices.push_back(d.instanceId);
        break;
      }
  if (devices.empty()) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  std::vector<Model> models = ModelsOf(open.inf);
  const Model *model = ModelFor(models, HardwareId);
  if (!model) {
    SetLastError(ERROR_NO_COMPAT_DRIVERS);
    return FALSE;
  }
  std::u16string section = DecoratedSection(open.inf, model->installSection);
  if (section.empty()) {
    SetLastError(ERROR_SECTION_NOT_FOUND);
    return FALSE;
  }
  const std::u16string *className = open.inf.Value(u"Version", u"Class");
  const std::u16string *classGuid = open.inf.Value(u"Version", u"ClassGUID");
  GUID guid;
  if (!className || !classGuid || !ParseGuid(*classGuid, &guid)) {
    SetLastError(ERROR_INVALID_CLASS);
    return FALSE;
  }
  std::vector<ServiceInstall> services;
  if (!ReadServices(open.inf, section, open.folder, &services)) return FALSE;

  // Without INSTALLFLAG_FORCE, devices that already run this very INF are
  // left as they are.
  std::u16string stored;
  if (!PlaceInStore(FullInfPath, &stored)) return FALSE;
  if (!(InstallFlags & INSTALLFLAG_FORCE)) {
    bool anyOther = false;
    for (const auto &d : devices) {
      DWORD type;
      std::vector<uint8_t> data;
      if (!GetDeviceValue(d, u"InfPath", true, &type, &data) || !EqualNoCase(Text(data), stored))
        anyOther = true;
    }
    if (!anyOther) {
      SetLastError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
  }
  if (!CopyInstallFiles(open, section)) return FALSE;
  std::u16string associated;
  for (const auto &s : services) {
    if (!WriteService(s)) return FALSE;
    if (s.associated) associated = s.name;
  }
  const std::u16string *provider = open.inf.Value(u"Version", u"Provider");
  const std::u16string *driverVer = open.inf.Value(u"Version", u"DriverVer");
  bool reboot = false;
  for (const auto &device : devices) {
    std::string input, answer;
    wire::PutText(&input, device);
    wire::PutText(&input, FormatGuid(guid));
    PutTextValue(&input, u"InfPath", stored);
    PutTextValue(&input, u"InfSection", section);
    PutTextValue(&input, u"ProviderName", provider ? *provider : u"");
    PutTextValue(&input, u"DriverDesc", model->description);
    if (driverVer) PutTextValue(&input, u"DriverVersion", *driverVer);
    PutTextValue(&input, u"MatchingDeviceId", HardwareId);
    if (!DeviceCall(wire::DeviceAction::WriteDriverKey, input, &answer)) return FALSE;
    if (!SetValue(device, u"Class", *className) || !SetValue(device, u"ClassGUID", FormatGuid(guid)) ||
        !SetValue(device, u"DeviceDesc", model->description) || !SetValue(device, u"Mfg", model->manufacturer) ||
        (!associated.empty() && !SetValue(device, u"Service", associated)))
      return FALSE;
    std::string start;
    wire::PutText(&start, device);
    uint64_t started = 0;
    if (!DeviceCall(wire::DeviceAction::Start, start, nullptr, &started)) return FALSE;
    if (!started) reboot = true;
  }
  if (bRebootRequired) *bRebootRequired = reboot;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
