#include "Settings.h"

#include "Errors.h"
#include "SystemErrorText.h"

#include <windows.h>

#include <vector>

namespace Ramdeck {

namespace {

class Key {
 public:
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  HKEY *Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

[[noreturn]] void Raise(LSTATUS error) { throw Exception(SystemErrorText(static_cast<uint32_t>(error))); }

// One value as stored: its type and bytes. ERROR_FILE_NOT_FOUND when absent.
LSTATUS ReadRaw(HKEY key, const char16_t *name, DWORD *type, std::vector<BYTE> *data) {
  DWORD size = 0;
  LSTATUS error = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  if (error != ERROR_SUCCESS) return error;
  data->assign(size, 0);
  error = RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
  data->resize(size);
  return error;
}

bool TextOf(DWORD type, const std::vector<BYTE> &data, QString *text) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  *text = QString::fromUtf16(reinterpret_cast<const char16_t *>(data.data()),
                             static_cast<qsizetype>(data.size() / 2));
  // Stored with its terminator, or without one by another writer.
  while (!text->isEmpty() && text->back() == QChar(0)) text->chop(1);
  return true;
}

// Reads the settings one value at a time, remembering the first failure.
class Reader {
 public:
  explicit Reader(HKEY key) : key_(key) {}

  void Boolean(const char16_t *name, bool *value) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!Read(name, &type, &data)) return;
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
      DWORD number;
      memcpy(&number, data.data(), sizeof number);
      *value = number != 0;
      return;
    }
    QString text;
    bool ok = false;
    int number = TextOf(type, data, &text) ? text.trimmed().toInt(&ok) : 0;
    if (!ok) return Malformed(name);
    *value = number != 0;
  }

  void Text(const char16_t *name, QString *value) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!Read(name, &type, &data)) return;
    if (!TextOf(type, data, value)) Malformed(name);
  }

  void Finish() const {
    if (!failure_.isEmpty()) throw Exception(failure_);
  }

 private:
  bool Read(const char16_t *name, DWORD *type, std::vector<BYTE> *data) {
    LSTATUS error = ReadRaw(key_, name, type, data);
    if (error == ERROR_SUCCESS) return true;
    if (error != ERROR_FILE_NOT_FOUND && failure_.isEmpty())
      failure_ = SystemErrorText(static_cast<uint32_t>(error));
    return false;
  }
  void Malformed(const char16_t *name) {
    if (failure_.isEmpty())
      failure_ = QString::fromUtf16(name) + QStringLiteral(": ") + SystemErrorText(ERROR_INVALID_DATA);
  }

  HKEY key_;
  QString failure_;
};

void WriteText(HKEY key, const char16_t *name, const QString &text) {
  LSTATUS error = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.utf16()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
  if (error != ERROR_SUCCESS) Raise(error);
}

QString BooleanText(bool value) { return value ? QStringLiteral("1") : QStringLiteral("0"); }

}  // namespace

void ReadRegistrySettings(TRegistrySettings &settings, const QString &defaultLanguage) {
  settings = TRegistrySettings{};
  settings.Language = defaultLanguage;
  Key key;
  LSTATUS error = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, key.Out());
  if (error == ERROR_FILE_NOT_FOUND) return;  // nothing saved yet
  if (error != ERROR_SUCCESS) Raise(error);
  Reader reader(key.Get());
  reader.Boolean(u"NoAutoLoad", &settings.NoAutoLoad);
  reader.Boolean(u"ShowTrayWarning", &settings.ShowTrayWarning);
  reader.Text(u"TempBackup", &settings.TempBackup);
  reader.Boolean(u"ShowTempRootWarning", &settings.ShowTempRootWarning);
  reader.Text(u"Language", &settings.Language);
  reader.Finish();
}

void WriteRegistrySettings(const TRegistrySettings &settings, bool externalLanguage) {
  Key key;
  LSTATUS error = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, key.Out(), nullptr);
  if (error != ERROR_SUCCESS) Raise(error);
  WriteText(key.Get(), u"NoAutoLoad", BooleanText(settings.NoAutoLoad));
  WriteText(key.Get(), u"ShowTrayWarning", BooleanText(settings.ShowTrayWarning));
  WriteText(key.Get(), u"TempBackup", settings.TempBackup);
  WriteText(key.Get(), u"ShowTempRootWarning", BooleanText(settings.ShowTempRootWarning));
  if (!externalLanguage) WriteText(key.Get(), u"Language", settings.Language);
}

}  // namespace Ramdeck
