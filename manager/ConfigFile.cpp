#include "ConfigFile.h"

#include <shlobj.h>
#include <windows.h>

#include <QDomDocument>
#include <QXmlStreamWriter>

#include "Translate.h"

namespace Ramdeck {

namespace {

const QString kRoot = QStringLiteral("corvane");

QString Bool(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

// An error of the read: the text the caller shows.
[[noreturn]] void Corrupted(const QString &detail = QString()) {
  QString text = Tr(QStringLiteral("Config file corrupted"));
  if (!detail.isEmpty()) text += QStringLiteral(": ") + detail;
  throw Exception(text);
}

// The system's reason for the last failed file call.
QString SystemReason() { return LastErrorText(); }

bool ReadWholeFile(const QString &fileName, QByteArray *data) {
  std::u16string name = Wide(fileName);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  data->clear();
  char buffer[65536];
  DWORD read = 0;
  bool ok;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr)) && read) data->append(buffer, read);
  DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return ok;
}

bool WriteWholeFile(const QString &fileName, const QByteArray &data) {
  std::u16string name = Wide(fileName);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, data.constData(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == static_cast<DWORD>(data.size());
  DWORD error = GetLastError();
  ok = CloseHandle(file) && ok;
  if (!ok && error) SetLastError(error);
  return ok;
}

// Attributes of one element, each read with its default when absent.
class Attributes {
 public:
  explicit Attributes(const QDomElement &element) : element_(element) {}

  bool Boolean(const QString &name, bool fallback) const {
    if (!element_.hasAttribute(name)) return fallback;
    bool ok;
    bool value = TextToBool(element_.attribute(name), &ok);
    if (!ok) Invalid(name);
    return value;
  }
  uint32_t Number(const QString &name, uint32_t fallback) const {
    if (!element_.hasAttribute(name)) return fallback;
    bool ok;
    uint32_t value = element_.attribute(name).trimmed().toUInt(&ok);
    if (!ok) Invalid(name);
    return value;
  }

 private:
  [[noreturn]] void Invalid(const QString &name) const {
    Corrupted(FormatText(Tr(QStringLiteral("'%s' is not a valid value of %s")), {element_.attribute(name), name}));
  }
  QDomElement element_;
};

void WriteItem(QXmlStreamWriter &xml, const TUserVolume &disk) {
  xml.writeStartElement(QStringLiteral("item"));
  xml.writeAttribute(QStringLiteral("filesystem"), QString::number(disk.FileSystemNumber()));
  xml.writeAttribute(QStringLiteral("letter"), QString(disk.FLetter));
  xml.writeAttribute(QStringLiteral("size"), QString::number(disk.FSize / 1048576));
  xml.writeAttribute(QStringLiteral("savetoimage"), Bool(disk.FSaveToImage));
  xml.writeAttribute(QStringLiteral("removable"), Bool(disk.FRemovable));
  xml.writeAttribute(QStringLiteral("label"), disk.FVolumeLabel);
  xml.writeAttribute(QStringLiteral("compressed"), Bool(disk.FCompressed));
  xml.writeAttribute(QStringLiteral("autoflush"), Bool(disk.FAutoFlushEnabled));
  xml.writeAttribute(QStringLiteral("flushtime"), QString::number(disk.FAutoFlushTimeMin));
  xml.writeAttribute(QStringLiteral("hddemulation"), Bool(disk.FHDDEmulation));
  xml.writeAttribute(QStringLiteral("numanode"), QString::number(disk.FNumaNode));
  xml.writeAttribute(QStringLiteral("specnuma"), Bool(disk.FSpecNuma));
  if (auto *logon = dynamic_cast<const TLogonVolume *>(&disk)) {
    xml.writeAttribute(QStringLiteral("wipe"), Bool(logon->FWipeOnDismount));
    xml.writeAttribute(QStringLiteral("mountable"), Bool(logon->FMountable));
  }
  xml.writeStartElement(QStringLiteral("folders"));
  for (const QString &folder : disk.FCreateFolders) xml.writeTextElement(QStringLiteral("name"), folder);
  xml.writeEndElement();
  xml.writeStartElement(QStringLiteral("image"));
  xml.writeAttribute(QStringLiteral("filename"), disk.FImageFile);
  xml.writeEndElement();
  xml.writeEndElement();
}

void ReadItem(const QDomElement &item, TUserVolume &disk) {
  Attributes a(item);
  uint32_t fileSystem = a.Number(QStringLiteral("filesystem"), 0);
  if (fileSystem > fsNTFS) Corrupted(FormatText(Tr(QStringLiteral("Unknown file system %s")), {QString::number(fileSystem)}));
  disk.FFileSystem = static_cast<TFileSystemType>(fileSystem);
  QDomElement folders = item.firstChildElement(QStringLiteral("folders"));
  for (QDomElement name = folders.firstChildElement(); !name.isNull(); name = name.nextSiblingElement())
    disk.FCreateFolders << name.text();
  QString letter = item.attribute(QStringLiteral("letter"));
  if (letter.isEmpty()) Corrupted(Tr(QStringLiteral("A disk has no drive letter")));
  disk.SetLetter(letter[0]);
  disk.FSize = uint64_t{a.Number(QStringLiteral("size"), 0)} * 1048576;
  QDomElement image = item.firstChildElement(QStringLiteral("image"));
  if (image.isNull()) Corrupted(Tr(QStringLiteral("A disk has no image element")));
  disk.FImageFile = image.attribute(QStringLiteral("filename"));
  disk.FSaveToImage = a.Boolean(QStringLiteral("savetoimage"), false);
  disk.FRemovable = a.Boolean(QStringLiteral("removable"), false);
  disk.FVolumeLabel = item.attribute(QStringLiteral("label"));
  disk.FCompressed = a.Boolean(QStringLiteral("compressed"), false);
  disk.FAutoFlushEnabled = a.Boolean(QStringLiteral("autoflush"), false);
  disk.FAutoFlushTimeMin = static_cast<int32_t>(a.Number(QStringLiteral("flushtime"), 60));
  disk.FHDDEmulation = a.Boolean(QStringLiteral("hddemulation"), false);
  disk.FNumaNode = a.Number(QStringLiteral("numanode"), 0);
  disk.FSpecNuma = a.Boolean(QStringLiteral("specnuma"), false);
}

}  // namespace

bool TextToBool(const QString &text, bool *ok) {
  QString t = text.trimmed();
  *ok = true;
  if (t.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0) return true;
  if (t.compare(QStringLiteral("false"), Qt::CaseInsensitive) == 0) return false;
  qlonglong number = t.toLongLong(ok);
  return *ok && number != 0;
}

QString TConfigFile::DefaultPath() {
  WCHAR common[MAX_PATH + 1] = {};
  if (!SHGetSpecialFolderPathW(nullptr, common, CSIDL_COMMON_APPDATA, FALSE))
    throw Exception(Tr(QStringLiteral("Error getting path to CSIDL_COMMON_APPDATA")));
  QString folder = QString::fromUtf16(common);
  for (const char *part : {"Brimwell", "Ramdeck"}) {
    folder += u'\\' + QString::fromLatin1(part);
    std::u16string path = Wide(folder);
    CreateDirectoryW(path.c_str(), nullptr);  // a failure shows when the file is written
  }
  return folder + QStringLiteral("\\Ramdeck.xml");
}

void TConfigFile::Write(int Mask, const QString &FileName) const {
  QString path = FileName.isEmpty() ? DefaultPath() : FileName;
  QByteArray body;
  QXmlStreamWriter xml(&body);
  xml.setAutoFormatting(true);
  xml.setAutoFormattingIndent(2);
  xml.writeStartElement(kRoot);
  if (Mask & cfConfig) {
    xml.writeStartElement(QStringLiteral("config"));
    xml.writeAttribute(QStringLiteral("useraccess"), Bool(FSettings.UserAccess));
    xml.writeAttribute(QStringLiteral("locallinks"), Bool(FSettings.LocalLinks));
    xml.writeAttribute(QStringLiteral("trayicon"), Bool(FSettings.TrayIcon));
    xml.writeAttribute(QStringLiteral("alloweject"), Bool(FSettings.AllowEject));
    xml.writeEndElement();
  }
  if (Mask & (cfConfig | cfLogon)) {
    xml.writeStartElement(QStringLiteral("mount"));
    for (int i = 0; i < FDisks.Count(); ++i)
      if (!FDisks.Items(i)->IsBoot()) WriteItem(xml, *FDisks.Items(i));
    xml.writeEndElement();
  }
  if (Mask & cfBoot) {
    xml.writeStartElement(QStringLiteral("boot"));
    for (int i = 0; i < FDisks.Count(); ++i)
      if (FDisks.Items(i)->IsBoot()) WriteItem(xml, *FDisks.Items(i));
    xml.writeEndElement();
  }
  if (Mask & cfConfig) {
    xml.writeStartElement(QStringLiteral("autorun"));
    for (const QString &application : FApplications) xml.writeTextElement(QStringLiteral("filename"), application);
    xml.writeEndElement();
  }
  xml.writeEndElement();
  QByteArray data = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + body.trimmed() + '\n';
  if (!WriteWholeFile(path, data))
    throw Exception(FormatText(Tr(QStringLiteral("Error writing file %s")), {path}) + QStringLiteral("\r\n") +
                    SystemReason());
}

void TConfigFile::Read(int Mask, const QString &FileName) {
  QString path = FileName.isEmpty() ? DefaultPath() : FileName;
  std::u16string name = Wide(path);
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
    return;
  QByteArray data;
  if (!ReadWholeFile(path, &data))
    throw Exception(FormatText(Tr(QStringLiteral("Error reading file %s")), {path}) + QStringLiteral("\r\n") +
                    SystemReason());
  QDomDocument document;
  QString parseError;
  if (!document.setContent(data, &parseError)) Corrupted(parseError);
  QDomElement root = document.documentElement();
  if (root.isNull() || root.tagName() != kRoot) Corrupted();

  if (Mask & cfConfig) {
    QDomElement config = root.firstChildElement(QStringLiteral("config"));
    Attributes a(config);
    TConfigSettings settings;
    settings.UserAccess = a.Boolean(QStringLiteral("useraccess"), true);
    settings.LocalLinks = a.Boolean(QStringLiteral("locallinks"), false);
    settings.TrayIcon = a.Boolean(QStringLiteral("trayicon"), true);
    settings.AllowEject = a.Boolean(QStringLiteral("alloweject"), true);
    FSettings = settings;
    FApplications.clear();
    QDomElement autorun = root.firstChildElement(QStringLiteral("autorun"));
    for (QDomElement e = autorun.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
      FApplications << e.text();
  }
  if (Mask & (cfConfig | cfLogon)) {
    QDomElement mount = root.firstChildElement(QStringLiteral("mount"));
    for (QDomElement item = mount.firstChildElement(); !item.isNull(); item = item.nextSiblingElement()) {
      auto disk = std::make_unique<TLogonVolume>();
      ReadItem(item, *disk);
      disk->FWipeOnDismount = Attributes(item).Boolean(QStringLiteral("wipe"), false);
      disk->FMountable = Attributes(item).Boolean(QStringLiteral("mountable"), true);
      disk->FLocalLink = FSettings.LocalLinks;
      FDisks.Add(std::move(disk));
    }
  }
  if (Mask & cfBoot) {
    QDomElement boot = root.firstChildElement(QStringLiteral("boot"));
    for (QDomElement item = boot.firstChildElement(); !item.isNull(); item = item.nextSiblingElement()) {
      auto disk = std::make_unique<TBootVolume>();
      ReadItem(item, *disk);
      disk->FLocalLink = FSettings.LocalLinks;
      FDisks.Add(std::move(disk));  // written to the engine at once
    }
  }
}

}  // namespace Ramdeck
