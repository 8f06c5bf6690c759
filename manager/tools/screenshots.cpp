// Pictures for review, used by scripts/screenshots.sh:
//   ramdeck_screenshots dialogs <folder> <language>  each dialog as a PNG
//   ramdeck_screenshots screen <file.png> [x y w h]  the screen or a part
//   ramdeck_screenshots window <file.png> <id>       an X window of any program
//   ramdeck_screenshots language <language>          the language the next
//                                                     manager starts in
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTreeWidget>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <functional>

#include <windows.h>

#include "AddDisk.h"
#include "ConfigFile.h"
#include "Errors.h"
#include "ImageDialogs.h"
#include "Language.h"
#include "ManagerCore.h"
#include "Settings.h"
#include "SettingsDialogs.h"
#include "TempFolder.h"
#include "Volumes.h"
#include "ctl/ramctl.h"

namespace {

using namespace Ramdeck;

bool Save(QWidget *form, const QString &file) {
  form->show();
  form->activateWindow();
  // Let the window manager map it and the layout settle.
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
  bool saved = form->grab().save(file, "PNG");
  form->hide();
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
  return saved;
}

// The core behind the unmount-image dialog; nothing is asked while the
// pictures are taken.
class SilentUi : public TManagerUi {
 public:
  void ShowError(const QString &text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void ShowInformation(const QString &) override {}
  void ShowWarning(const QString &) override {}
  bool Confirm(const QString &, bool) override { return false; }
  bool InformationWithDontShowAgain(const QString &) override { return false; }
  void SetBusy(const QString &) override {}
  void ShowBalloon(const QString &) override {}
  bool WindowVisible() const override { return true; }
  void ProcessEvents() override { QApplication::processEvents(); }
  void Redraw() override {}
  void ShowTrayIcon(bool) override {}
  void Activate() override {}
};

void WINAPI IgnoreEngineEvent(uint64_t, uint32_t) {}

constexpr uint64_t kMB = 1048576;

// A small image file of the script's own root, mounted so that the
// unmount-image dialog has a row; false when the engine is not there.
bool MountSampleImage(TManagerCore &core, const QString &fileName) {
  if (!RamctlInitialize(IgnoreEngineEvent)) return false;
  // Mounted once; the first language's pass leaves it for the next.
  if (TOpenVolumeList(etFile).Count() > 0) return true;
  CreateDirectoryW(u"C:\\Images", nullptr);
  try {
    TImageCreator creator;
    creator.FFileName = fileName;
    creator.FImageSize = 8 * kMB;
    creator.FFileSystem = fsFAT;
    creator.FOverwrite = true;
    creator.CreateImage();
  } catch (const Exception &e) {
    std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
    return false;
  }
  // A letter a user would pick rather than the first free one, A:.
  QChar letter = TManagerCore::FirstFreeLetter();
  for (char16_t c = u'I'; c <= u'Z'; ++c)
    if (!(GetLogicalDrives() & (1u << (c - u'A')))) {
      letter = QChar(c);
      break;
    }
  return core.MountImage(fileName, letter, false);
}

// The disk dialogs, the advanced properties and the image dialogs, filled
// as a user would fill them.
int DiskAndImageDialogs(const std::function<void(QWidget *, const char *)> &save) {
  const QString image = QStringLiteral("C:\\Images\\projects.img");
  SilentUi ui;
  TManagerCore core(ui);
  bool mounted = MountSampleImage(core, image);

  TAddDiskForm logon(nullptr, false, 0);
  logon.SetSize(1024 * kMB);
  logon.SetLetter(u'R');
  logon.SetFileSystem(fsNTFS);
  logon.SetRemovable(true);
  logon.SetEraseEnabled(true);
  logon.SetCreateFolders({QStringLiteral("Temp"), QStringLiteral("Browser\\Cache"), QStringLiteral("Build")});
  save(&logon, "add-disk-logon");

  TAddDiskForm boot(nullptr, true, 0);
  boot.SetLetter(u'S');
  boot.SetImageFile(image);
  boot.SetSaveToImage(true);
  boot.SetHDDEmulation(true);
  save(&boot, "add-disk-boot");

  TAddDiskMoreSettingsForm advanced(nullptr, TAdvancedSwitches{true, true, true});
  advanced.SetVolumeLabel(QStringLiteral("RAMDISK"));
  advanced.SetVolumeCompression(true);
  advanced.SetAutoFlush(true);
  advanced.SetAutoFlushTime(30);
  advanced.SetNumaNode(0);
  advanced.SetSpecNuma(false);
  save(&advanced, "add-disk-advanced");

  TCreateImageForm create(nullptr);
  create.FFileName->setText(QStringLiteral("C:\\Images\\backup.img"));
  create.FSize->setValue(256);
  create.FFileSystem->setCurrentIndex(fsNTFS);
  create.FLabel->setText(QStringLiteral("Backup"));
  create.FImageType->setCurrentIndex(1);
  save(&create, "create-image");

  TMountImageForm mount(nullptr);
  mount.FFileName->setText(image);
  mount.FHDDEmulation->setChecked(true);
  save(&mount, "mount-image");

  TUnmountImageForm unmount(nullptr, core);
  if (unmount.FVolumes->topLevelItemCount() > 0) unmount.FVolumes->setCurrentItem(unmount.FVolumes->topLevelItem(0));
  else if (mounted) std::fprintf(stderr, "the mounted image is not listed\n");
  save(&unmount, "unmount-image");
  return mounted ? 0 : 1;
}

int Dialogs(const QString &folder, const QString &languageName) {
  TLanguage::TProgramInstance language;
  try {
    language.Language().SetCurrLang(languageName);
  } catch (const Exception &e) {
    std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
    return 1;
  }
  QDir().mkpath(folder);
  int failures = 0;
  auto save = [&](QWidget *form, const char *name) {
    if (!Save(form, folder + u'/' + QString::fromLatin1(name) + QStringLiteral(".png"))) ++failures;
  };

  TSettingsForm settings(nullptr);
  settings.ShowSettings(TConfigSettings{}, TRegistrySettings{});
  save(&settings, "settings");

  ApplyTempFolder(QStringLiteral("R:\\Temp"));  // this root is the script's own
  TTempFolderForm temp(nullptr, QStringLiteral("R:\\Temp,S:\\Scratch"));
  save(&temp, "tempfolder");

  // The programs of the list exist, so that their icons show.
  CreateDirectoryW(u"C:\\Program Files", nullptr);
  CreateDirectoryW(u"C:\\Program Files\\Tool", nullptr);
  CreateDirectoryW(u"C:\\Scripts", nullptr);
  for (const char16_t *file : {u"C:\\Program Files\\Tool\\tool.exe", u"C:\\Scripts\\sync.cmd"})
    CloseHandle(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  TApplicationsForm apps(nullptr, {QStringLiteral("\"%WINDIR%\\notepad.exe\" C:\\notes.txt"),
                                   QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\""),
                                   QStringLiteral("C:\\Scripts\\sync.cmd")});
  save(&apps, "applications");

  TAboutForm about(nullptr);
  save(&about, "about");

  if (DiskAndImageDialogs(save)) ++failures;
  return failures ? 1 : 0;
}

// `window` 0 is the whole screen; a rectangle with a width cuts a part.
int Screen(const QString &file, WId window, QRect part = {}) {
  QScreen *screen = QGuiApplication::primaryScreen();
  if (!screen) return 1;
  QPixmap picture = part.width() > 0 ? screen->grabWindow(window, part.x(), part.y(), part.width(), part.height())
                                     : screen->grabWindow(window);
  bool saved = !picture.isNull() && picture.save(file, "PNG");
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
  return saved ? 0 : 1;
}

int Language(const QString &name) {
  TRegistrySettings settings;
  try {
    ReadRegistrySettings(settings, name);
    settings.Language = name;
    WriteRegistrySettings(settings, false);
  } catch (const Exception &e) {
    std::fprintf(stderr, "%s\n", qPrintable(e.Message()));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  if (args.size() == 4 && args[1] == QStringLiteral("dialogs")) return Dialogs(args[2], args[3]);
  if (args.size() == 3 && args[1] == QStringLiteral("screen")) return Screen(args[2], 0);
  if (args.size() == 7 && args[1] == QStringLiteral("screen"))
    return Screen(args[2], 0, QRect(args[3].toInt(), args[4].toInt(), args[5].toInt(), args[6].toInt()));
  if (args.size() == 4 && args[1] == QStringLiteral("window")) return Screen(args[2], args[3].toULongLong());
  if (args.size() == 3 && args[1] == QStringLiteral("language")) return Language(args[2]);
  std::fprintf(stderr, "usage: %s dialogs <folder> <language> | screen <file.png> [x y w h] | window <file.png> <id> | language <name>\n", argv[0]);
  return 2;
}
