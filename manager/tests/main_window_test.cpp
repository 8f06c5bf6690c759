// The main window as a user drives it, against a running engine: disks
// added, mounted, unmounted and deleted through the window's actions (the
// disk dialog replaced by a double that fills the disk in), eject requests,
// volumes removed by others, exit, the end of the session, a second start
// and closing to the tray. Message boxes are answered by the test. ctest
// runs each test in a process of its own, as the control library is
// initialised once per process.
#include <windows.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "Language.h"
#include "MainGUI.h"
#include "Settings.h"
#include "SingleInstance.h"
#include "Translate.h"
#include "ctl/ramctl.h"
#include "platform/daemon/tests/daemon_harness.h"

using namespace Ramdeck;
using Box = TBWMainGUIForm::TBox;

namespace {

int gArgc = 1;
char gName[] = "ramdeck_tests";
char *gArgv[] = {gName, nullptr};

// Handles the window's events until `condition` holds, at most `ms`.
template <class Condition>
bool Until(Condition condition, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// IOCTL_STORAGE_EJECT_MEDIA: mass storage (0x2d), function 0x202, read access.
constexpr DWORD kEjectMedia = (0x2d << 16) | (1 << 14) | (0x202 << 2);

bool EngineHas(QChar letter) { return RamctlIsMemoryVolume(letter.unicode()) != 0; }

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = std::make_unique<QApplication>(gArgc, gArgv);
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    window_ = std::make_unique<TBWMainGUIForm>(WindowsPath("ramdeck.xml"));
    window_->MessageBox = [this](Box kind, const QString &text) {
      boxes_.append({kind, text});
      return answer_;
    };
  }
  void TearDown() override {
    window_.reset();
    app_.reset();
    EXPECT_EQ(0, daemon_.Stop());
  }

  QString WindowsPath(const std::string &name) const {
    return QString::fromStdU16String(WindowsPathOf(QString::fromStdString(daemon_.Root() + "/" + name)));
  }
  std::string ConfigText() const {
    std::ifstream in(daemon_.Root() + "/ramdeck.xml");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Start() {
    window_->Started(QStringLiteral("Ramdeck"), true);
    ASSERT_TRUE(window_->Core().FInitDone) << Boxes();
  }
  // The disk dialog's double: the user picks `letter`, 16 MB FAT.
  void DialogFills(QChar letter, bool removable = false) {
    window_->Dialogs.AddDisk = [this, letter, removable](QWidget *, TUserVolume &disk, bool boot, uint64_t) {
      dialogBoot_ = boot;
      dialogLetter_ = disk.FLetter;
      disk.SetLetter(letter);
      disk.FFileSystem = fsFAT;
      disk.FSize = 16 << 20;
      disk.FRemovable = removable;
      return true;
    };
  }
  TUserVolume *Add(QChar letter, bool boot = false, bool removable = false) {
    DialogFills(letter, removable);
    (boot ? window_->ActionBootAdd : window_->ActionAdd)->trigger();
    int index = window_->Core().FUserVolumeList.IndexOfLetter(letter);
    return index < 0 ? nullptr : window_->Core().FUserVolumeList.Items(index);
  }
  // The row's texts, letter to image file.
  QStringList Row(QTreeWidgetItem *group, int index) const {
    QStringList texts;
    QTreeWidgetItem *item = group->child(index);
    for (int i = 0; item && i < 5; ++i) texts << item->text(i);
    return texts;
  }
  // Every text of the window a user reads: menu titles, items, hints and
  // tool tips (menus, tool bar, tray menu), the list's headers and groups,
  // the status bar and the tray's hint. The items of the language submenu
  // are names, not texts.
  QStringList WindowTexts() const {
    QStringList texts;
    auto addAction = [&](QAction *action) {
      if (!action->isSeparator()) texts << action->text() << action->toolTip() << action->statusTip();
    };
    std::function<void(QMenu *)> walk = [&](QMenu *menu) {
      texts << menu->title();
      if (menu == window_->LanguageMenu) return;
      for (QAction *action : menu->actions()) {
        if (action->menu()) walk(action->menu());
        else addAction(action);
      }
    };
    for (QAction *action : window_->menuBar()->actions()) walk(action->menu());
    walk(window_->TrayMenu);
    for (QToolBar *bar : window_->findChildren<QToolBar *>()) {
      texts << bar->windowTitle();
      for (QAction *action : bar->actions()) addAction(action);
    }
    QTreeWidgetItem *header = window_->DiskList->headerItem();
    for (int i = 0; i < header->columnCount(); ++i) texts << header->text(i);
    // The free memory (status bar, tray hint) changes while the test runs;
    // the tests look at those texts apart.
    texts << window_->LogonGroup->text(0) << window_->BootGroup->text(0) << window_->StatusMounted->text();
    return texts;
  }
  QAction *LanguageItem(const QString &name) const {
    for (QAction *item : window_->LanguageMenu->actions())
      if (item->text() == name) return item;
    return nullptr;
  }
  QStringList CheckedLanguages() const {
    QStringList checked;
    for (QAction *item : window_->LanguageMenu->actions())
      if (item->isChecked()) checked << item->text();
    return checked;
  }
  std::string Boxes() const {
    QString all;
    for (const auto &box : boxes_) all += box.second + u'\n';
    return all.toStdString();
  }

  std::unique_ptr<QApplication> app_;
  bw::test::Daemon daemon_;
  TLanguage::TProgramInstance language_;
  std::unique_ptr<TBWMainGUIForm> window_;
  QList<QPair<Box, QString>> boxes_;
  bool answer_ = false;
  bool dialogBoot_ = false;
  QChar dialogLetter_;
};

TEST_F(MainWindow, LogonDiskAddedMountedUnmountedAndDeletedThroughTheActions) {
  TBWMainGUIForm &w = *window_;
  // Before start-up only the actions that need nothing work.
  EXPECT_FALSE(w.ActionAdd->isEnabled());
  EXPECT_FALSE(w.ActionSettings->isEnabled());
  EXPECT_TRUE(w.ActionExitApplication->isEnabled());
  EXPECT_TRUE(w.ActionAbout->isEnabled());
  Start();
  EXPECT_TRUE(w.ActionAdd->isEnabled());
  EXPECT_FALSE(w.ActionMountAll->isEnabled()) << "nothing to mount";
  EXPECT_FALSE(w.ActionExportAllDisks->isEnabled());

  TUserVolume *disk = Add(u'R');
  ASSERT_NE(nullptr, disk) << Boxes();
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  EXPECT_FALSE(dialogBoot_);
  EXPECT_FALSE(dialogLetter_.isNull()) << "the dialog gets the first free letter";
  EXPECT_EQ(60u, disk->FAutoFlushTimeMin);
  EXPECT_TRUE(disk->FMounted);
  EXPECT_TRUE(EngineHas(u'R'));
  EXPECT_NE(std::string::npos, ConfigText().find("letter=\"R\"")) << ConfigText();
  ASSERT_EQ(1, w.LogonGroup->childCount());
  EXPECT_EQ(0, w.BootGroup->childCount());
  EXPECT_EQ(QStringList({"R:", "16", "FAT", "", ""}), Row(w.LogonGroup, 0));
  EXPECT_EQ(QStringLiteral("1 RAM disks mounted"), w.StatusMounted->text());
  EXPECT_TRUE(w.TrayHint().contains(QStringLiteral("1 RAM disks mounted")));

  // The new disk is selected: the actions follow its state.
  ASSERT_EQ(disk, w.SelectedDisk());
  EXPECT_FALSE(w.ActionMount->isEnabled());
  EXPECT_TRUE(w.ActionUnmount->isEnabled());
  EXPECT_TRUE(w.ActionBrowseVolume->isEnabled());
  EXPECT_FALSE(w.ActionSaveToImage->isEnabled()) << "no image file";
  EXPECT_TRUE(w.ActionMountAll->isEnabled());

  // While the unmount waits for the engine, the window handles events but
  // no other action may start on the disk.
  bool deletable = true, exitable = true, addable = true;
  QTimer::singleShot(0, &w, [&] {
    deletable = w.ActionDelete->isEnabled();
    exitable = w.ActionExitApplication->isEnabled();
    addable = w.ActionAdd->isEnabled();
    w.ActionDelete->trigger();
    // A later start's command line waits for the unmount too.
    w.CommandLineReceived(QStringLiteral("Ramdeck /del:R"));
    EXPECT_EQ(1, w.Core().FUserVolumeList.Count());
  });
  w.ActionUnmount->trigger();
  EXPECT_FALSE(deletable);
  EXPECT_FALSE(exitable);
  EXPECT_FALSE(addable);
  EXPECT_TRUE(w.ActionExitApplication->isEnabled());
  EXPECT_EQ(0, w.Core().FUserVolumeList.Count()) << "the later start's delete ran after the unmount";
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  disk = Add(u'R');
  ASSERT_NE(nullptr, disk) << Boxes();
  w.ActionUnmount->trigger();
  EXPECT_FALSE(disk->FMounted);
  EXPECT_FALSE(EngineHas(u'R'));
  EXPECT_EQ(QStringLiteral("0 RAM disks mounted"), w.StatusMounted->text());
  EXPECT_EQ(disk, w.SelectedDisk()) << "a redraw keeps the selection";
  EXPECT_TRUE(w.ActionMount->isEnabled());
  EXPECT_FALSE(w.ActionUnmount->isEnabled());

  // The tray's disk submenu offers what fits the disk's state.
  w.BuildTrayDiskMenu();
  QList<QAction *> items = w.TrayDiskMenu->actions();
  ASSERT_GE(items.size(), 1);
  EXPECT_TRUE(items.first()->text().startsWith(QStringLiteral("R: [16 MB FAT] "))) << items.first()->text().toStdString();
  QStringList sub;
  for (QAction *a : items.first()->menu()->actions())
    if (!a->isSeparator()) sub << a->text();
  EXPECT_EQ(QStringList({"&Browse", "&Mount", "&Properties"}), sub);

  w.ActionMount->trigger();
  EXPECT_TRUE(EngineHas(u'R'));
  w.ActionDelete->trigger();
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  EXPECT_FALSE(EngineHas(u'R'));
  EXPECT_EQ(0, w.LogonGroup->childCount());
  EXPECT_EQ(std::string::npos, ConfigText().find("letter=\"R\""));
  EXPECT_EQ(nullptr, w.SelectedDisk());
  EXPECT_FALSE(w.ActionDelete->isEnabled());
}

TEST_F(MainWindow, CancelledDialogAddsNothing) {
  Start();
  window_->Dialogs.AddDisk = [](QWidget *, TUserVolume &, bool, uint64_t) { return false; };
  window_->ActionAdd->trigger();
  window_->ActionBootAdd->trigger();
  EXPECT_EQ(0, window_->Core().FUserVolumeList.Count());
  EXPECT_EQ(0, window_->LogonGroup->childCount() + window_->BootGroup->childCount());
}

TEST_F(MainWindow, PropertiesApplyTheChangesAndRemountOnlyWhenAsked) {
  Start();
  TUserVolume *disk = Add(u'R');
  ASSERT_TRUE(disk && disk->FMounted) << Boxes();
  auto engineSize = [] {
    TOpenVolumeList volumes(etAll);
    volumes.Enumerate();
    for (int i = 0; i < volumes.Count(); ++i)
      if (volumes.Items(i)->Letter() == u'R') return volumes.Items(i)->Size();
    return uint64_t{0};
  };
  const uint64_t before = engineSize();
  ASSERT_NE(0u, before);
  uint64_t offered = 0;
  window_->Dialogs.AddDisk = [&](QWidget *, TUserVolume &d, bool boot, uint64_t usedFreeMemory) {
    offered = usedFreeMemory;
    d.FSize = 32 << 20;
    return !boot;
  };
  window_->SelectDisk(disk);
  answer_ = false;
  window_->ActionProperties->trigger();
  EXPECT_EQ(uint64_t{16} << 20, offered) << "a mounted disk's memory comes back at the remount";
  ASSERT_EQ(1, boxes_.size()) << Boxes();
  EXPECT_EQ(Box::ConfirmQuestion, boxes_[0].first);
  EXPECT_TRUE(boxes_[0].second.startsWith(QStringLiteral("Would you like to remount the disk now"))) << Boxes();
  EXPECT_EQ(before, engineSize()) << "not remounted";
  EXPECT_EQ(QStringLiteral("32"), window_->LogonGroup->child(0)->text(1));
  EXPECT_NE(std::string::npos, ConfigText().find("size=\"32\"")) << ConfigText();

  answer_ = true;
  window_->ActionProperties->trigger();
  EXPECT_EQ(2, boxes_.size()) << Boxes();
  EXPECT_TRUE(disk->FMounted);
  EXPECT_GT(engineSize(), before) << "remounted with the new size";

  // An unmounted disk takes a new letter without a question.
  window_->ActionUnmount->trigger();
  window_->Dialogs.AddDisk = [&](QWidget *, TUserVolume &d, bool, uint64_t usedFreeMemory) {
    offered = usedFreeMemory;
    d.SetLetter(u'S');
    return true;
  };
  window_->ActionProperties->trigger();
  EXPECT_EQ(0u, offered);
  EXPECT_EQ(2, boxes_.size()) << Boxes();
  EXPECT_EQ(QStringLiteral("S:"), window_->LogonGroup->child(0)->text(0));
  EXPECT_NE(std::string::npos, ConfigText().find("letter=\"S\""));
  EXPECT_EQ(std::string::npos, ConfigText().find("letter=\"R\""));
}

TEST_F(MainWindow, ExportedDisksImportedAfterTheQuestion) {
  Start();
  ASSERT_TRUE(Add(u'R'));
  ASSERT_TRUE(Add(u'B', true));
  QString file = WindowsPath("export.xml");
  bool saving = false;
  window_->Dialogs.XmlFile = [&](QWidget *, bool save, const QString &) {
    saving = save;
    return file;
  };
  ASSERT_TRUE(window_->ActionExportAllDisks->isEnabled());
  window_->ActionExportAllDisks->trigger();
  EXPECT_TRUE(saving);
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();

  window_->SelectDisk(window_->Core().FUserVolumeList.ItemByLetter(u'R'));
  window_->ActionDelete->trigger();
  ASSERT_EQ(1, window_->Core().FUserVolumeList.Count());

  answer_ = false;
  window_->ActionImportDisks->trigger();
  ASSERT_EQ(1, boxes_.size());
  EXPECT_EQ(Box::ConfirmWarning, boxes_[0].first);
  EXPECT_EQ(1, window_->Core().FUserVolumeList.Count()) << "cancelled: nothing changes";
  EXPECT_TRUE(EngineHas(u'B'));

  answer_ = true;
  window_->ActionImportDisks->trigger();
  EXPECT_FALSE(saving);
  EXPECT_EQ(2, boxes_.size()) << Boxes();
  EXPECT_EQ(2, window_->Core().FUserVolumeList.Count());
  EXPECT_EQ(1, window_->LogonGroup->childCount());
  EXPECT_EQ(1, window_->BootGroup->childCount());
  EXPECT_NE(std::string::npos, ConfigText().find("letter=\"R\""));
}

TEST_F(MainWindow, EjectRequestUnmountsTheDiskOnlyWhenEjectIsAllowed) {
  Start();
  TUserVolume *disk = Add(u'S', false, true);
  ASSERT_TRUE(disk && disk->FMounted) << Boxes();
  EXPECT_EQ(QStringLiteral("R"), window_->LogonGroup->child(0)->text(3));
  // The request as Windows makes it: the eject command on the volume.
  auto eject = [] {
    HANDLE device = CreateFileW(u"\\\\.\\S:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(device, kEjectMedia, nullptr, 0, nullptr, 0, &bytes, nullptr);
    CloseHandle(device);
    return ok != FALSE;
  };

  window_->Core().FConfig.AllowEject = false;
  ASSERT_TRUE(eject()) << GetLastError();
  Until([] { return false; }, 1000);
  EXPECT_TRUE(disk->FMounted) << "eject not allowed";
  EXPECT_TRUE(EngineHas(u'S'));

  window_->Core().FConfig.AllowEject = true;
  ASSERT_TRUE(eject()) << GetLastError();
  EXPECT_TRUE(Until([&] { return !disk->FMounted; }));
  EXPECT_FALSE(EngineHas(u'S'));
  EXPECT_FALSE(disk->Mountable()) << "not mounted again at the next logon";
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  EXPECT_EQ(QStringLiteral("0 RAM disks mounted"), window_->StatusMounted->text());
}

TEST_F(MainWindow, DisksDismountedElsewhereShowUnmounted) {
  Start();
  TUserVolume *logon = Add(u'R');
  ASSERT_TRUE(logon && logon->FMounted) << Boxes();
  TOpenVolume(logon->VolumeHandle()).Dismount(true);
  EXPECT_TRUE(Until([&] { return !logon->FMounted; })) << "another program removed the logon disk";
  EXPECT_TRUE(logon->Mountable()) << "still mounted at the next logon";
  window_->SelectDisk(logon);
  EXPECT_TRUE(window_->ActionMount->isEnabled());
  window_->ActionMount->trigger();
  EXPECT_TRUE(EngineHas(u'R')) << Boxes();

  TUserVolume *disk = Add(u'T', true);
  ASSERT_TRUE(disk) << Boxes();
  EXPECT_TRUE(dialogBoot_);
  EXPECT_EQ(0u, disk->FAutoFlushTimeMin);
  ASSERT_EQ(1, window_->BootGroup->childCount());
  ASSERT_TRUE(disk->FMounted) << "a boot disk is mounted at once as well";
  uint64_t handle = disk->VolumeHandle();

  // Another program dismounts the volume.
  TOpenVolume other(handle);
  other.Dismount(true);
  EXPECT_TRUE(Until([&] { return !disk->FMounted; }));
  EXPECT_TRUE(Until([&] { return window_->Core().FRemovalEventList.contains(handle); }));
  EXPECT_EQ(QStringLiteral("1 RAM disks mounted"), window_->StatusMounted->text());
  EXPECT_EQ(1, window_->BootGroup->childCount()) << "the boot disk stays configured";

  // Deleting it removes its automatic volume without a question.
  window_->SelectDisk(disk);
  window_->ActionDelete->trigger();
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  EXPECT_EQ(0, window_->BootGroup->childCount());
  VV_AUTO_VOLUME_DATA *records = nullptr;
  uint32_t count = 99;
  ASSERT_TRUE(RamctlGetAutoVolumes(&records, &count));
  RamctlFree(&records);
  EXPECT_EQ(0u, count);
}

TEST_F(MainWindow, ExitWithoutLogonDisksAsksNothing) {
  Start();
  TUserVolume *disk = Add(u'R');
  ASSERT_TRUE(disk);
  window_->ActionUnmount->trigger();
  window_->ActionExitApplication->trigger();
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  EXPECT_TRUE(window_->Core().FQuitting);
  EXPECT_TRUE(window_->Core().FDismountDone);
}

TEST_F(MainWindow, ExitWithMountedLogonDiskAsksAndCancelKeepsIt) {
  Start();
  ASSERT_TRUE(Add(u'R'));
  answer_ = false;
  window_->ActionExitApplication->trigger();
  ASSERT_EQ(1, boxes_.size());
  EXPECT_EQ(Box::ConfirmWarning, boxes_[0].first);
  EXPECT_TRUE(boxes_[0].second.startsWith(QStringLiteral("There are 1 logon-time RAM disks mounted."))) << Boxes();
  EXPECT_FALSE(window_->Core().FQuitting);
  EXPECT_TRUE(EngineHas(u'R'));

  answer_ = true;
  window_->ActionExitApplication->trigger();
  EXPECT_EQ(2, boxes_.size());
  EXPECT_TRUE(window_->Core().FQuitting);
  EXPECT_FALSE(EngineHas(u'R')) << "the logon disk went with the program";
  EXPECT_NE(std::string::npos, ConfigText().find("letter=\"R\"")) << "but stays configured";
}

TEST_F(MainWindow, SessionEndRemovesLogonDisksAndKeepsBootDisks) {
  Start();
  ASSERT_TRUE(Add(u'R'));
  ASSERT_TRUE(Add(u'T', true));
  ASSERT_TRUE(EngineHas(u'R') && EngineHas(u'T'));
  window_->EndSession();
  EXPECT_TRUE(boxes_.isEmpty()) << Boxes();
  EXPECT_FALSE(EngineHas(u'R'));
  EXPECT_TRUE(EngineHas(u'T'));
  EXPECT_TRUE(window_->Core().FQuitting);
  // Only once: the window's end finds nothing left to do.
  window_.reset();
  EXPECT_TRUE(EngineHas(u'T'));
}

TEST_F(MainWindow, SecondStartBringsTheHiddenWindowForwardAndClosingHidesIt) {
  Start();
  EXPECT_FALSE(window_->isVisible());
  TSingleInstanceServer server;
  QString channel = QStringLiteral("ramdeck-window-test-") + QUuid::createUuid().toString(QUuid::Id128);
  ASSERT_TRUE(server.Listen(channel));
  ServeLaterStarts(server, *window_);
  bool sent = false;
  std::thread later([&] { sent = SendToRunningManager(kCopyDataActivate, {}, 10000, channel); });
  EXPECT_TRUE(Until([&] { return window_->isVisible(); }));
  Until([&] { return false; }, 200);
  later.join();
  EXPECT_TRUE(sent);

  // Closing hides the window, with the note about the tray the first time.
  window_->close();
  EXPECT_FALSE(window_->isVisible());
  ASSERT_EQ(1, boxes_.size());
  EXPECT_EQ(Box::Information, boxes_[0].first);
  EXPECT_FALSE(window_->Core().FRegistry.ShowTrayWarning);
  window_->show();
  window_->close();
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(1, boxes_.size());
  EXPECT_FALSE(window_->Core().FQuitting);
}

TEST_F(MainWindow, ChosenLanguageTranslatesTheWindow) {
  Start();
  auto item = [this](const QString &name) -> QAction * {
    for (QAction *item : window_->LanguageMenu->actions())
      if (item->text() == name) return item;
    return nullptr;
  };
  ASSERT_NE(nullptr, item(QStringLiteral("German")));
  EXPECT_TRUE(item(QStringLiteral("English"))->isChecked());
  item(QStringLiteral("German"))->trigger();
  EXPECT_EQ(QStringLiteral("German"), window_->Core().FRegistry.Language);
  EXPECT_NE(QStringLiteral("&File"), window_->menuBar()->actions().first()->text());
  EXPECT_NE(QStringLiteral("&Add..."), window_->ActionAdd->text());
  EXPECT_EQ(Tr(QStringLiteral("Disks mounted on logon")), window_->LogonGroup->text(0));
  EXPECT_TRUE(item(QStringLiteral("German"))->isChecked());
  EXPECT_FALSE(item(QStringLiteral("English"))->isChecked());
}

TEST_F(MainWindow, LanguageMenuListsEveryLanguageAtStartWithTheStoredOneChosen) {
  // The user chose German in an earlier run.
  TRegistrySettings stored;
  stored.Language = QStringLiteral("German");
  WriteRegistrySettings(stored, false);
  Start();

  QStringList names;
  for (QAction *item : window_->LanguageMenu->actions()) {
    EXPECT_TRUE(item->isCheckable()) << item->text().toStdString();
    names << item->text();
  }
  QStringList expected = TLanguage::Instance()->GetLanguages();
  EXPECT_EQ(expected.size(), 33);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(CheckedLanguages(), QStringList{QStringLiteral("German")});
  // The window starts in it: nothing shows the English key of a text
  // German translates.
  for (const QString &text : WindowTexts()) {
    EXPECT_EQ(Tr(text), text) << "left in English: " << text.toStdString();
  }
  EXPECT_EQ(window_->menuBar()->actions().first()->text(), Tr(QStringLiteral("&File")));
}

TEST_F(MainWindow, ChoosingALanguageRetranslatesEveryTextAndBack) {
  Start();
  ASSERT_EQ(CheckedLanguages(), QStringList{QStringLiteral("English")});
  const QStringList english = WindowTexts();

  ASSERT_NE(nullptr, LanguageItem(QStringLiteral("German")));
  LanguageItem(QStringLiteral("German"))->trigger();
  EXPECT_EQ(CheckedLanguages(), QStringList{QStringLiteral("German")});
  const QStringList german = WindowTexts();
  ASSERT_EQ(german.size(), english.size());
  // A text left as it was must be one German does not translate.
  for (int i = 0; i < english.size(); ++i) {
    if (german[i] == english[i]) {
      EXPECT_EQ(Tr(english[i]), english[i]) << "not retranslated: " << english[i].toStdString();
    }
  }
  EXPECT_NE(german, english);
  EXPECT_NE(window_->StatusMounted->text(), english.last());
  const QString freeEnglish = QStringLiteral(" MB memory free");
  EXPECT_FALSE(window_->StatusFree->text().endsWith(freeEnglish)) << window_->StatusFree->text().toStdString();
  EXPECT_TRUE(window_->TrayIcon->toolTip().contains(window_->StatusMounted->text()));
  EXPECT_TRUE(window_->TrayIcon->toolTip().contains(window_->StatusFree->text()));

  // And back: every text is the English one again.
  LanguageItem(QStringLiteral("English"))->trigger();
  EXPECT_EQ(CheckedLanguages(), QStringList{QStringLiteral("English")});
  EXPECT_EQ(WindowTexts().join(u'|').toStdString(), english.join(u'|').toStdString());
  EXPECT_TRUE(window_->StatusFree->text().endsWith(freeEnglish));
}

}  // namespace

// The process's standard output goes to a file while it lives.
class CapturedOutput {
 public:
  explicit CapturedOutput(std::string file) : file_(std::move(file)) {
    fflush(stdout);
    saved_ = dup(1);
    stream_ = fopen(file_.c_str(), "w");
    if (stream_) dup2(fileno(stream_), 1);
  }
  ~CapturedOutput() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    if (stream_) fclose(stream_);
  }
  bool Capturing() const { return stream_ != nullptr; }
  bool Said(const std::string &text) const {
    fflush(stdout);
    std::ifstream in(file_);
    std::stringstream all;
    all << in.rdbuf();
    return all.str().find(text) != std::string::npos;
  }

 private:
  std::string file_;
  int saved_ = -1;
  FILE *stream_ = nullptr;
};

// Scripts and the start benchmark wait for "ready": it must not come before
// a shown window has drawn its disk list, nor wait for a paint that a
// hidden start never gets.
TEST_F(MainWindow, ReadyOnlyOnceAShownWindowHasDrawnItsDisks) {
  struct PaintCount : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  window_->DiskList->viewport()->installEventFilter(&counter);
  bool early = true, ready = false;
  int paintsAtReady = -1;
  {
    CapturedOutput output(daemon_.Root() + "/stdout.txt");
    ASSERT_TRUE(output.Capturing());
    window_->Started(QStringLiteral("Ramdeck"), false);
    early = output.Said("ready\n");
    ready = Until([&] {
      if (!output.Said("ready\n")) return false;
      paintsAtReady = counter.paints;
      return true;
    });
  }
  EXPECT_FALSE(early);
  EXPECT_TRUE(ready);
  EXPECT_GT(paintsAtReady, 0);
}

TEST_F(MainWindow, HiddenStartIsReadyAtOnce) {
  bool said = false;
  {
    CapturedOutput output(daemon_.Root() + "/stdout.txt");
    ASSERT_TRUE(output.Capturing());
    Start();
    said = output.Said("ready\n");
  }
  EXPECT_TRUE(said);
}
