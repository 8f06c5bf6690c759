// Pictures for review, used by scripts/screenshots.sh:
//   ramdeck_screenshots dialogs <folder> <language>  each dialog as a PNG
//   ramdeck_screenshots screen <file.png> [x y w h]  the screen or a part
//   ramdeck_screenshots window <file.png> <id>       an X window of any program
//   ramdeck_screenshots language <language>          the language the next
//                                                     manager starts in
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>

#include <windows.h>

#include "ConfigFile.h"
#include "Errors.h"
#include "Language.h"
#include "Settings.h"
#include "SettingsDialogs.h"
#include "TempFolder.h"

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
