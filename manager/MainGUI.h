// The manager's main window: the configured disks grouped by kind, every
// action on them through the menus, the tool bar, the list's context menu
// and the notification-area icon, the status bar, and the manager's life
// in the user's session (closing to the tray, exit, the session's end). The
// state and the work are TManagerCore's; the window shows them and asks the
// user through TManagerUi.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "ManagerCore.h"
#include "ProgramStart.h"

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QToolBar;

namespace Ramdeck {

class TBusyWindow;

class TBWMainGUIForm : public QMainWindow, public TManagerUi, public TManagerHost {
  Q_OBJECT
 public:
  // `configFile`: empty for the machine's configuration file.
  explicit TBWMainGUIForm(QString configFile = QString());
  ~TBWMainGUIForm() override;

  TManagerCore &Core() { return core_; }

  // The kinds of message box; the answer counts for the confirmations and
  // for the information with "Don't show this again" (checked).
  enum class TBox { Error, Information, Warning, ConfirmWarning, ConfirmQuestion, InformationDontShowAgain };
  // Every message box goes through here (tests answer in its place).
  std::function<bool(TBox kind, const QString &text)> MessageBox;

  // The dialogs and file choosers the actions open.
  struct TDialogs {
    std::function<bool(QWidget *, TUserVolume &, bool boot, uint64_t usedFreeMemory)> AddDisk;
    std::function<bool(QWidget *, TImageCreator &)> CreateImage;
    std::function<bool(QWidget *, QString &imageFile, QChar &letter, bool &hdd)> MountImage;
    std::function<void(QWidget *, TManagerCore &)> UnmountImage;
    std::function<bool(QWidget *, TManagerCore &)> Settings;
    std::function<bool(QWidget *, TManagerCore &)> TempFolder;
    std::function<bool(QWidget *, QStringList &)> Applications;
    std::function<void(QWidget *)> About;
    // A Windows path, empty when the user cancelled.
    std::function<QString(QWidget *, bool save, const QString &caption)> XmlFile;
    std::function<QString(QWidget *)> LanguageFile;
  } Dialogs;

  // TManagerHost
  void Started(const QString &commandLine, bool hidden) override;
  void CommandLineReceived(const QString &commandLine) override;
  void ActivateRequested() override;

  // TManagerUi
  void ShowError(const QString &text) override;
  void ShowInformation(const QString &text) override;
  void ShowWarning(const QString &text) override;
  bool Confirm(const QString &text, bool warning) override;
  bool InformationWithDontShowAgain(const QString &text) override;
  void SetBusy(const QString &text) override;
  void ShowBalloon(const QString &text) override;
  bool WindowVisible() const override;
  void ProcessEvents() override;
  void Redraw() override;
  void ShowTrayIcon(bool show) override;
  void Activate() override;

  // Rebuilds the list and the status bar from the disk list.
  void UpdateDisplay();
  // Runs an action's work; none starts while another is running.
  void Run(const std::function<void()> &work);
  bool Operating() const { return operating_ > 0; }
  // Applies every action's enabling rule.
  void UpdateActions();
  // Every caption, hint and menu title in the current language.
  void Retranslate();
  TUserVolume *SelectedDisk() const;
  void SelectDisk(const TUserVolume *disk);
  // Exit: asks when logon disks would go; then ends the program.
  void ExitApplication();
  // The user's session ends: the logon disks go, and the program ends
  // without asking.
  void EndSession();
  // Builds the tray menu's disk submenu (done each time the menu opens).
  void BuildTrayDiskMenu();
  QString TrayHint() const;

  QTreeWidget *DiskList = nullptr;
  QTreeWidgetItem *LogonGroup = nullptr;
  QTreeWidgetItem *BootGroup = nullptr;
  QLabel *StatusMounted = nullptr;
  QLabel *StatusFree = nullptr;
  QLabel *StatusInfo = nullptr;
  QSystemTrayIcon *TrayIcon = nullptr;
  QMenu *TrayMenu = nullptr;
  QMenu *TrayDiskMenu = nullptr;
  QMenu *LanguageMenu = nullptr;
  TBusyWindow *BusyWindow = nullptr;
  QTimer Timer;
  int FTimerCount = 0;

  QAction *ActionAdd, *ActionBootAdd, *ActionDelete, *ActionProperties, *ActionRefresh, *ActionMount,
      *ActionUnmount, *ActionBrowseVolume, *ActionSaveToImage, *ActionMountAll, *ActionUnmountAll,
      *ActionCreateImage, *ActionMountImage, *ActionUnmountImage, *ActionExportAllDisks, *ActionImportDisks,
      *ActionApps, *ActionSettings, *ActionSetTempFolder, *ActionLoadLanguage, *ActionShowApplication,
      *ActionExitApplication, *ActionAbout, *ActionWebSite, *ActionUserManual;

 protected:
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateList();
  void CreateTray();
  void BuildLanguageMenu();
  void ChooseLanguage(const QString &name);

  // The actions' work.
  void AddDisk(bool boot);
  void Properties(TUserVolume *disk);
  void Browse(TUserVolume *disk);
  void SaveToImage(TUserVolume *disk);
  void CreateImage();
  void MountImage();
  void ExportDisks();
  void ImportDisks();
  void Applications();
  void Settings();
  void LoadLanguage();
  void OpenWebSite(bool manual);
  bool RefuseExternal(TUserVolume *disk);
  void Finish();
  void SayReady();

  bool DefaultMessageBox(TBox kind, const QString &text);
  void SetDefaultDialogs();

  TManagerCore core_;
  QMenu *menus_[5] = {};
  QMenu *contextMenu_ = nullptr;
  QMenu *trayImageMenu_ = nullptr;
  QMenu *trayHelpMenu_ = nullptr;
  QToolBar *toolBar_ = nullptr;
  QActionGroup *languages_ = nullptr;
  bool finished_ = false;
  int operating_ = 0;
  bool readyPending_ = false;  // "ready" waits for the disk list's next paint
  QStringList pendingCommandLines_;
};

}  // namespace Ramdeck
