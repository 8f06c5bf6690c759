// The settings, temporary-folder, applications and About dialogs driven as
// a user would: boxes ticked and OK pressed, values typed, files chosen,
// rows deleted, links clicked; with what each leaves in the manager, the
// configuration file and the registry.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <windows.h>

#include <vector>

#include "AppVersion.h"
#include "ConfigFile.h"
#include "Language.h"
#include "ManagerCore.h"
#include "recording_ui.h"
#include "Settings.h"
#include "SettingsDialogs.h"
#include "manager_daemon.h"

// The system's font library keeps a cache for the process's life, which
// the leak checker would report at exit of every widget test program.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace Ramdeck;

// What the manager would have shown; questions are not expected here.

class Dialogs : public Ramdeck::test::SystemTest {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "ramdeck_gui_tests";
    static char *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) new QApplication(argc, argv);
  }
  void SetUp() override {
    SystemTest::SetUp();
    core_.FDataFile = QStringLiteral("C:\\Ramdeck.xml");
  }

  // Runs `act` on the modal dialog of type T once it is up (the dialog's own
  // event loop is running then).
  template <class T, class F>
  static void WhenShown(F act) {
    auto *poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
      if (auto *form = qobject_cast<T *>(QApplication::activeModalWidget())) {
        poll->stop();
        poll->deleteLater();
        act(form);
      }
    });
    poll->start();
  }

  static void SetEnvironment(const char16_t *name, const QString &value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Environment", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.utf16()),
                                            static_cast<DWORD>((value.size() + 1) * 2)));
    RegCloseKey(key);
  }
  static bool Exists(const char16_t *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }
  static TRegistrySettings StoredRegistry() {
    TRegistrySettings stored;
    ReadRegistrySettings(stored, QStringLiteral("English"));
    return stored;
  }

  TLanguage::TProgramInstance language_;
  Ramdeck::test::RecordingUi ui_;
  TManagerCore core_{ui_};
};

TEST_F(Dialogs, SettingsBoxesShowTheSettingsAndOkTakesThemOverEverywhere) {
  // Settings away from their defaults, so that a box showing the wrong one
  // (or forgetting a negation) cannot pass.
  core_.FRegistry.NoAutoLoad = true;
  core_.FConfig = {.UserAccess = true, .LocalLinks = true, .TrayIcon = false, .AllowEject = true};
  WhenShown<TSettingsForm>([](TSettingsForm *form) {
    EXPECT_EQ(QStringLiteral("Settings"), form->windowTitle());
    EXPECT_FALSE(form->CheckAutoLoad->isChecked());
    EXPECT_TRUE(form->CheckUserAccess->isChecked());
    EXPECT_FALSE(form->CheckGlobalLetters->isChecked());
    EXPECT_FALSE(form->CheckTrayIcon->isChecked());
    EXPECT_TRUE(form->CheckAllowEject->isChecked());
    for (QCheckBox *box : {form->CheckAutoLoad, form->CheckUserAccess, form->CheckGlobalLetters,
                           form->CheckTrayIcon, form->CheckAllowEject})
      QTest::mouseClick(box, Qt::LeftButton);
    QTest::mouseClick(form->ButtonOK, Qt::LeftButton);
  });
  ASSERT_TRUE(ShowSettingsDialog(nullptr, core_));

  EXPECT_FALSE(core_.FRegistry.NoAutoLoad);
  EXPECT_FALSE(core_.FConfig.UserAccess);
  EXPECT_FALSE(core_.FConfig.LocalLinks);
  EXPECT_TRUE(core_.FConfig.TrayIcon);
  EXPECT_FALSE(core_.FConfig.AllowEject);
  EXPECT_EQ(std::vector<bool>{true}, ui_.trayIcon);  // shown at once
  EXPECT_TRUE(ui_.errors.isEmpty()) << ui_.errors.join(u'\n').toStdString();

  // The configuration file and the registry hold the new values.
  TUserVolumeList disks;
  TConfigSettings written{.UserAccess = true, .LocalLinks = true, .TrayIcon = false, .AllowEject = true};
  QStringList apps;
  TConfigFile(disks, written, apps).Read(cfConfig, core_.FDataFile);
  EXPECT_FALSE(written.UserAccess);
  EXPECT_FALSE(written.LocalLinks);
  EXPECT_TRUE(written.TrayIcon);
  EXPECT_FALSE(written.AllowEject);
  EXPECT_FALSE(StoredRegistry().NoAutoLoad);
}

TEST_F(Dialogs, SettingsCancelledChangeNothing) {
  WhenShown<TSettingsForm>([](TSettingsForm *form) {
    QTest::mouseClick(form->CheckTrayIcon, Qt::LeftButton);
    QTest::mouseClick(form->CheckAutoLoad, Qt::LeftButton);
    QTest::mouseClick(form->ButtonCancel, Qt::LeftButton);
  });
  EXPECT_FALSE(ShowSettingsDialog(nullptr, core_));
  EXPECT_TRUE(core_.FConfig.TrayIcon);
  EXPECT_FALSE(core_.FRegistry.NoAutoLoad);
  EXPECT_TRUE(ui_.trayIcon.empty());
  EXPECT_FALSE(Exists(u"C:\\Ramdeck.xml"));
}

TEST_F(Dialogs, TempFolderTypedWithTrailingBackslashGoesToBothVariablesAndHistory) {
  SetEnvironment(u"TEMP", QStringLiteral("c:\\Old"));
  SetEnvironment(u"TMP", QStringLiteral("C:\\OldTmp"));
  core_.FRegistry.TempBackup = QStringLiteral("E:\\Scratch,D:\\Tmp");
  WhenShown<TTempFolderForm>([](TTempFolderForm *form) {
    EXPECT_EQ(QStringLiteral("Windows Temporary Folder"), form->windowTitle());
    EXPECT_EQ(QStringLiteral("c:\\Old"), form->ComboTemp->currentText());
    EXPECT_EQ(QStringLiteral("C:\\OldTmp"), form->ComboTmp->currentText());
    ASSERT_EQ(2, form->ComboTemp->count());
    EXPECT_EQ(2, form->ComboTmp->count());
    form->ComboTemp->lineEdit()->selectAll();
    QTest::keyClicks(form->ComboTemp->lineEdit(), QStringLiteral("R:\\Temp\\"));
    // Enter in the field must not add the typed text to the history list.
    QTest::keyClick(form->ComboTemp->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(2, form->ComboTemp->count());
    if (form->isVisible()) QTest::mouseClick(form->ButtonOK, Qt::LeftButton);
  });
  ASSERT_TRUE(ShowTempFolderDialog(nullptr, core_));

  EXPECT_EQ(std::make_pair(DWORD(REG_EXPAND_SZ), QStringLiteral("R:\\Temp")), StoredEnvironment(u"TEMP"));
  EXPECT_EQ(std::make_pair(DWORD(REG_EXPAND_SZ), QStringLiteral("R:\\Temp")), StoredEnvironment(u"TMP"));
  // The replaced TEMP joins the history (first letter upper-cased); the TMP
  // field was left as it was, so its old value does not.
  EXPECT_EQ(QStringLiteral("C:\\Old,D:\\Tmp,E:\\Scratch"), core_.FRegistry.TempBackup);
  EXPECT_EQ(core_.FRegistry.TempBackup, StoredRegistry().TempBackup);
  EXPECT_TRUE(ui_.errors.isEmpty());
}

TEST_F(Dialogs, TempFolderRefusesAnEmptyValueAndCancelWritesNothing) {
  SetEnvironment(u"TEMP", QStringLiteral("C:\\Keep"));
  WhenShown<TTempFolderForm>([](TTempFolderForm *form) {
    EXPECT_TRUE(form->ButtonOK->isEnabled());
    form->ComboTemp->setEditText(QStringLiteral("\\"));
    EXPECT_FALSE(form->ButtonOK->isEnabled());
    form->ComboTemp->setEditText(QString());
    EXPECT_FALSE(form->ButtonOK->isEnabled());
    QTest::mouseClick(form->ButtonOK, Qt::LeftButton);  // no effect while disabled
    form->ComboTemp->setEditText(QStringLiteral("R:\\Temp"));
    EXPECT_TRUE(form->ButtonOK->isEnabled());
    QTest::mouseClick(form->ButtonCancel, Qt::LeftButton);
  });
  EXPECT_FALSE(ShowTempFolderDialog(nullptr, core_));
  EXPECT_EQ(QStringLiteral("C:\\Keep"), StoredEnvironment(u"TEMP").second);
  EXPECT_EQ(QStringLiteral("<missing>"), StoredEnvironment(u"TMP").second);
  EXPECT_TRUE(core_.FRegistry.TempBackup.isEmpty());
}

TEST_F(Dialogs, ApplicationsAddQuotesPathsWithSpacesDeleteAndEditInPlace) {
  TApplicationsForm form(nullptr, {QStringLiteral("notepad.exe C:\\a.txt")});
  EXPECT_EQ(QStringLiteral("Automatically Starting Applications"), form.windowTitle());
  EXPECT_EQ(QStringLiteral("Application"), form.ListApps->headerItem()->text(0));
  QStringList chosen = {QStringLiteral("C:\\Program Files\\Tool\\tool.exe"), QStringLiteral("C:\\Tools\\run.cmd"),
                        QString()};
  form.ChooseFile = [&](QWidget *) { return chosen.takeFirst(); };
  form.show();
  EXPECT_FALSE(form.ButtonDelete->isEnabled());

  QTest::mouseClick(form.ButtonAdd, Qt::LeftButton);
  QTest::mouseClick(form.ButtonAdd, Qt::LeftButton);
  QTest::mouseClick(form.ButtonAdd, Qt::LeftButton);  // the file dialog cancelled
  EXPECT_EQ((QStringList{QStringLiteral("notepad.exe C:\\a.txt"), QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\""),
                         QStringLiteral("C:\\Tools\\run.cmd")}),
            form.Applications());

  form.ListApps->setCurrentItem(form.ListApps->topLevelItem(0));
  EXPECT_TRUE(form.ButtonDelete->isEnabled());
  QTest::mouseClick(form.ButtonDelete, Qt::LeftButton);
  // Edited in place; a row emptied is not kept.
  form.ListApps->topLevelItem(1)->setText(0, QStringLiteral("  "));
  form.ListApps->topLevelItem(0)->setText(0, QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\" /quiet"));
  EXPECT_EQ((QStringList{QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\" /quiet")}), form.Applications());
}

TEST_F(Dialogs, ApplicationsOkReplacesTheListAndCancelKeepsIt) {
  QStringList apps = {QStringLiteral("a.exe"), QStringLiteral("b.exe")};
  WhenShown<TApplicationsForm>([](TApplicationsForm *form) {
    form->ListApps->setCurrentItem(form->ListApps->topLevelItem(0));
    QTest::mouseClick(form->ButtonDelete, Qt::LeftButton);
    QTest::mouseClick(form->ButtonCancel, Qt::LeftButton);
  });
  EXPECT_FALSE(ShowApplicationsDialog(nullptr, apps));
  EXPECT_EQ((QStringList{QStringLiteral("a.exe"), QStringLiteral("b.exe")}), apps);

  WhenShown<TApplicationsForm>([](TApplicationsForm *form) {
    form->ListApps->setCurrentItem(form->ListApps->topLevelItem(0));
    QTest::mouseClick(form->ButtonDelete, Qt::LeftButton);
    QTest::mouseClick(form->ButtonOK, Qt::LeftButton);
  });
  EXPECT_TRUE(ShowApplicationsDialog(nullptr, apps));
  EXPECT_EQ(QStringList{QStringLiteral("b.exe")}, apps);
}

TEST_F(Dialogs, ApplicationIconsFollowTheProgramFile) {
  ASSERT_TRUE(CreateDirectoryW(u"C:\\My Apps", nullptr));
  HANDLE file = CreateFileW(u"C:\\My Apps\\tool.exe", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);

  // Quoted with parameters, unquoted with a space in the folder and a
  // parameter, and through a variable: all find the program.
  SetEnvironmentVariableW(u"APPDIR", u"C:\\My Apps");
  for (const char *entry : {"\"C:\\My Apps\\tool.exe\" /x", "C:\\My Apps\\tool.exe C:\\a.txt", "%APPDIR%\\tool.exe"})
    EXPECT_FALSE(TApplicationsForm::ProgramIcon(QString::fromLatin1(entry)).isNull()) << entry;
  EXPECT_TRUE(TApplicationsForm::ProgramIcon(QStringLiteral("C:\\My Apps\\missing.exe")).isNull());
  EXPECT_TRUE(TApplicationsForm::ProgramIcon(QString()).isNull());

  // A row edited to name the program gets its icon; edited away, loses it.
  TApplicationsForm form(nullptr, {QStringLiteral("nothing.exe")});
  QTreeWidgetItem *row = form.ListApps->topLevelItem(0);
  EXPECT_TRUE(row->icon(0).isNull());
  row->setText(0, QStringLiteral("\"C:\\My Apps\\tool.exe\""));
  EXPECT_FALSE(row->icon(0).isNull());
  row->setText(0, QStringLiteral("C:\\elsewhere.exe"));
  EXPECT_TRUE(row->icon(0).isNull());
}

TEST_F(Dialogs, AboutShowsTitleAndVersionAndItsLinksOpenThePages) {
  TAboutForm form(nullptr);
  QStringList opened;
  form.OpenUrl = [&](const QString &url) { opened << url; };
  form.show();
  EXPECT_EQ(QStringLiteral("About Brimwell Corvane"), form.windowTitle());
  EXPECT_EQ(11, form.LabelTitle->font().pointSize());
  EXPECT_EQ(QStringLiteral("Version ") + ProgramVersion() + QStringLiteral(" 64-bit"), form.LabelVersion->text());
  EXPECT_TRUE(form.LinkWebSite->font().underline());

  EXPECT_EQ(QColor(Qt::blue), form.LinkContact->palette().color(QPalette::WindowText));
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QApplication::sendEvent(form.LinkContact, &enter);
  EXPECT_EQ(QColor(Qt::red), form.LinkContact->palette().color(QPalette::WindowText));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(form.LinkContact, &leave);
  EXPECT_EQ(QColor(Qt::blue), form.LinkContact->palette().color(QPalette::WindowText));

  QTest::mouseClick(form.LinkWebSite, Qt::LeftButton);
  QTest::mouseClick(form.LinkContact, Qt::LeftButton);
  EXPECT_EQ((QStringList{QString::fromUtf16(kWebSiteUrl), QString::fromUtf16(kContactUrl)}), opened);
}

TEST_F(Dialogs, TextsFollowTheLanguage) {
  language_.Language().SetCurrLang(QStringLiteral("German"));
  TSettingsForm settings(nullptr);
  EXPECT_EQ(QStringLiteral("Einstellungen"), settings.windowTitle());
  TAboutForm about(nullptr);
  EXPECT_EQ(QStringLiteral("Über Brimwell Corvane"), about.windowTitle());
  TApplicationsForm apps(nullptr, {});
  EXPECT_EQ(QStringLiteral("&Hinzufügen"), apps.ButtonAdd->text());
}

}  // namespace
