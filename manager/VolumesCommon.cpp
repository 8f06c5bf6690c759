// The unit's free functions: the exception's message, image status texts,
// volume labels, the system's version and memory, file sizes, environment
// expansion and the file-system name of a root folder.
#include <windows.h>

#include <vector>

#include <QRegularExpression>

#include "Translate.h"
#include "Volumes.h"

#include "SystemErrorText.h"

namespace Ramdeck {

std::u16string Wide(const QString &text) { return text.toStdU16String(); }
const char16_t *WideOrNull(const std::u16string &text) { return text.empty() ? nullptr : text.c_str(); }

QString FormatText(const QString &format, const QStringList &args) {
  QString out;
  int next = 0;
  for (int i = 0; i < format.size(); ++i) {
    QChar c = format[i];
    if (c != u'%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    if (format[i + 1] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    int j = i + 1;
    int width = 0;
    while (j < format.size() && format[j].isDigit()) width = width * 10 + format[j++].digitValue();
    if (j >= format.size() || !QStringLiteral("sdux").contains(format[j])) {
      out += c;
      continue;
    }
    QString arg = next < args.size() ? args[next++] : QString();
    out += arg.rightJustified(width, u' ');
    i = j;
  }
  return out;
}

QString LastErrorText() {
  uint32_t code = RamctlGetErrorCode();
  return QString::number(code) + u' ' + SystemErrorText(code);
}

EVolumeError::EVolumeError(const QString &Msg) : EVolumeError(Msg, {}) {}

EVolumeError::EVolumeError(const QString &Msg, const QStringList &Args)
    : Exception([&] {
        QString last = LastErrorText();  // before anything else may change the error
        return FormatText(Tr(Msg), Args) + QStringLiteral("\r\n") + last;
      }()) {}

QString ImageStatusText(int32_t code) {
  // The engine's protocol names each status it knows.
  if (const char *text = code >= 0 ? EngineImageStatusText(static_cast<uint32_t>(code)) : nullptr)
    return Tr(QString::fromLatin1(text));
  return QString::number(static_cast<uint32_t>(code), 16).rightJustified(8, u' ');
}

QByteArray MakeVolumeLabel(TFileSystemType FileSystem, const QString &Label) {
  static const QString kReplaced = QStringLiteral("\"+,./:;<=>?[\\]|");
  QString label = Label;
  for (QChar &c : label)
    if (kReplaced.contains(c)) c = u'_';
  switch (FileSystem) {
    case fsRAW:
      label.clear();
      break;
    case fsFAT:
    case fsFAT32:
      label = label.left(11);
      break;
    case fsNTFS:
      label = label.left(32);
      break;
  }
  // The system code page of this system is Western European.
  return label.toLatin1();
}

// The system is a Windows of version 10, the only one the stand-in runs.
bool IsWindows8OrLater() { return true; }

uint64_t GetFreeMemory() {
  uint64_t available = 0;
  if (!RamctlGetMemoryInformation(&available, nullptr)) return 0;
  return available;
}

QString ExpandEnvironment(const QString &text) {
  // The longest text the system expands; the input stays when it cannot.
  constexpr DWORD kMaxExpanded = 16385;
  std::vector<WCHAR> buffer(kMaxExpanded);
  DWORD written = ExpandEnvironmentStringsW(reinterpret_cast<LPCWSTR>(text.utf16()), buffer.data(), kMaxExpanded);
  if (!written || written > kMaxExpanded) return text;
  return QString::fromUtf16(buffer.data(), written - 1);
}

uint64_t GetFileSize(const QString &fileName) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  std::u16string name = Wide(fileName);
  if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

QString QueryFileSystemName(const QString &root) {
  UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS);
  WCHAR name[MAX_PATH + 1] = {};
  std::u16string path = Wide(root);
  BOOL ok = GetVolumeInformationW(path.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1);
  SetErrorMode(mode);
  return ok ? QString::fromUtf16(name) : QString();
}

}  // namespace Ramdeck
