#include "TempFolder.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace Ramdeck {

namespace {

constexpr char16_t kEnvironmentKey[] = u"Environment";

QString ReadString(HKEY key, const char16_t *name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
  if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
  std::vector<BYTE> data(size);
  if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return {};
  QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(data.data()),
                                    static_cast<qsizetype>(size / 2));
  while (!text.isEmpty() && text.back() == QChar(0)) text.chop(1);
  return text;
}

bool WriteExpandable(HKEY key, const char16_t *name, const QString &text) {
  return RegSetValueExW(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(text.utf16()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

QString UpperFirst(QString text) {
  if (!text.isEmpty() && text[0] >= u'a' && text[0] <= u'z') text[0] = text[0].toUpper();
  return text;
}

QString Variable(const char16_t *name) {
  DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (!needed) return {};
  std::vector<WCHAR> buffer(needed);
  DWORD length = GetEnvironmentVariableW(name, buffer.data(), needed);
  if (!length || length >= needed) return {};
  return QString::fromUtf16(buffer.data(), length);
}

// The drive letter a path starts with ("R:..."), or a null character.
QChar DriveOf(const QString &path) {
  if (path.size() >= 2 && path[1] == u':' && path[0].isLetter()) return path[0].toUpper();
  return QChar();
}

}  // namespace

QStringList SplitTempHistory(const QString &tempBackup) {
  QStringList entries;
  for (const QString &entry : tempBackup.split(u','))
    if (!entry.isEmpty()) entries << entry;
  return entries;
}

TTempVariables ReadTempVariables(const QString &tempBackup) {
  TTempVariables variables;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kEnvironmentKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return variables;
  variables.Opened = true;
  variables.Temp = ReadString(key, u"TEMP");
  variables.Tmp = ReadString(key, u"TMP");
  variables.History = SplitTempHistory(tempBackup);
  RegCloseKey(key);
  return variables;
}

QString TempFolderValue(const QString &tempField) {
  QString value = tempField;
  if (value.endsWith(u'\\')) value.chop(1);
  return value;
}

bool ApplyTempFolder(const QString &tempField) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kEnvironmentKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
    return false;
  QString value = TempFolderValue(tempField);
  bool written = WriteExpandable(key, u"TEMP", value) && WriteExpandable(key, u"TMP", value);
  RegCloseKey(key);
  // Programs that care read their environment anew when told.
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(u"Environment"),
                      SMTO_NORMAL, 5000, &result);
  return written;
}

QString UpdateTempHistory(const QStringList &tempList, const QStringList &tmpList,
                          const QString &previousTemp, const QString &tempField,
                          const QString &previousTmp, const QString &tmpField) {
  QStringList all = tempList + tmpList;
  if (tempField != previousTemp) all << UpperFirst(previousTemp);
  if (tmpField != previousTmp) all << UpperFirst(previousTmp);
  // Folder names are the same folder whatever their case: one entry each.
  QStringList history;
  for (const QString &entry : all) {
    if (entry.isEmpty()) continue;
    bool known = std::any_of(history.begin(), history.end(), [&](const QString &kept) {
      return kept.compare(entry, Qt::CaseInsensitive) == 0;
    });
    if (!known) history << entry;
  }
  std::sort(history.begin(), history.end(), [](const QString &a, const QString &b) {
    return a.compare(b, Qt::CaseInsensitive) < 0;
  });
  return history.join(u',');
}

TTempCheck CheckTempVariables(const QString &temp, const QString &tmp, bool localLinks,
                              bool showTempRootWarning,
                              const std::function<bool(QChar)> &isMemoryVolume) {
  TTempCheck check;
  for (const QString &value : {temp, tmp}) {
    QChar drive = DriveOf(value);
    if (drive.isNull() || !isMemoryVolume(drive)) continue;
    if (localLinks) check.OnLocalRamDisk = true;
    if (showTempRootWarning && (value.endsWith(u':') || value.endsWith(u'\\'))) check.AtRamDiskRoot = true;
  }
  return check;
}

TTempCheck CheckOwnTempVariables(bool localLinks, bool showTempRootWarning,
                                 const std::function<bool(QChar)> &isMemoryVolume) {
  return CheckTempVariables(Variable(u"TEMP"), Variable(u"TMP"), localLinks, showTempRootWarning,
                            isMemoryVolume);
}

}  // namespace Ramdeck
