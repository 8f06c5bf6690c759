// The main window's state and actions without its widgets: the disk list,
// the settings, the applications, the control library's events, start-up,
// every action on the disks, the command line's disk commands, and the
// removal of the logon disks at the end. The window (or a runner without
// one) supplies what the user sees through TManagerUi.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

#include "AutoStartApps.h"
#include "ConfigFile.h"
#include "DiskCommands.h"
#include "Settings.h"
#include "Volumes.h"

namespace Ramdeck {

// The message boxes carry the caption "Brimwell Corvane".
inline constexpr char16_t kApplicationTitle[] = u"Brimwell Corvane";

class TManagerUi {
 public:
  virtual ~TManagerUi() = default;
  virtual void ShowError(const QString &text) = 0;
  virtual void ShowInformation(const QString &text) = 0;
  virtual void ShowWarning(const QString &text) = 0;
  // OK and Cancel; only OK is yes. `warning`: a warning icon, else a question.
  virtual bool Confirm(const QString &text, bool warning) = 0;
  // The information with the check box "Don't show this again"; whether it
  // was checked.
  virtual bool InformationWithDontShowAgain(const QString &text) = 0;
  // The busy window; an empty text hides it.
  virtual void SetBusy(const QString &text) = 0;
  // The balloon at the notification-area icon.
  virtual void ShowBalloon(const QString &text) = 0;
  virtual bool WindowVisible() const = 0;
  // Handles pending events while an operation waits (every 100 ms).
  virtual void ProcessEvents() = 0;
  virtual void Redraw() = 0;
  virtual void ShowTrayIcon(bool show) = 0;
  // A second start without parameters: show, raise and flash the window.
  virtual void Activate() = 0;
};

class TManagerCore : public QObject, public TDiskCommandTarget {
  Q_OBJECT
 public:
  // `configFile`: empty for the machine's configuration file.
  explicit TManagerCore(TManagerUi &ui, QString configFile = QString());
  ~TManagerCore() override;

  // Start-up in order: registry settings, configuration file, language,
  // tray icon, the control library, the logon disks mounted, the boot
  // disks read, the TEMP/TMP checks, the applications started, then the
  // process's own command line. Errors are shown and start-up goes on
  // where it can; FInitDone tells whether it completed.
  void StartUp(const QString &ownCommandLine);
  // Settings and language from the registry alone (before a full start).
  void ReadRegistry();

  // Start-up completed and the user is an administrator or may change
  // settings anyway.
  bool Allowed() const;
  bool IsAdministrator() const;

  // Actions on one disk; each reports its own failures and returns whether
  // it did what it set out to do.
  bool MountDisk(TUserVolume *disk);
  bool UnmountDisk(TUserVolume *disk, bool removeAfter = false);
  bool DeleteDiskItem(TUserVolume *disk);
  bool SaveToImage(TUserVolume *disk, bool ask = true);
  // A disk the dialog filled: appended (a boot disk is written to the
  // engine), saved, mounted.
  bool AddNewDisk(std::unique_ptr<TUserVolume> disk);
  // After the dialog edited `disk`, whose letter was `oldLetter`; with
  // `remount` a mounted disk is unmounted and mounted again.
  bool UpdateDisk(TUserVolume *disk, QChar oldLetter, bool remount);
  void MountAll();
  void UnmountAll();
  bool ExportDisks(const QString &fileName);
  // Replaces every configured disk with the file's (the caller asked).
  bool ImportReplacing(const QString &fileName);
  bool CreateImage(TImageCreator &creator);
  bool MountImage(const QString &imageFile, QChar letter, bool hddEmulation);
  // Dismounts an engine volume with the force question; true when it went.
  bool DismountOpenVolume(TOpenVolume &volume);

  // The control library's events, on the window's thread.
  void EjectRequested(uint64_t handle);
  void VolumeRemoved(uint64_t handle);
  void VolumeChanged();

  // Exit: asks when logon disks would be dismounted; false to stay.
  bool ConfirmExit();
  // The end: registry settings and configuration file written, logon disks
  // removed (once).
  void Finish();
  // The user's session ends: the logon disks go (once).
  void SessionEnding();

  // The first free letter from A (GetLogicalDrives) not used by a disk.
  static QChar FirstFreeLetter();
  void SaveConfig();
  // The per-user settings written to the registry; a failure is shown.
  void WriteRegistry();
  // After the settings dialog: the tray icon shown or hidden at once, the
  // configuration file and the registry settings written.
  void SettingsChanged();
  QString StatusMountedText() const;
  QString StatusFreeMemoryText() const;

  // TDiskCommandTarget: the command line's disk commands.
  bool HasDisk(QChar letter) const override;
  void ImportDisks(const QString &fileName) override;
  void MountDisk(QChar letter) override;
  void MountAllDisks() override;
  void UnmountDisk(QChar letter, bool force) override;
  void UnmountAllDisks(bool force) override;
  void DeleteDisk(QChar letter, bool force) override;
  void DeleteAllDisks(bool force) override;
  void AddDisk(const TNewDiskParams &params) override;
  void SaveDisk(QChar letter) override;
  void SaveAllDisks() override;
  // Runs a command line's disk commands.
  void ProcessCommandLine(const QString &commandLine);

  TUserVolumeList FUserVolumeList;
  TAutoStartingApps FAutoStaringApps;
  QList<uint64_t> FRemovalEventList;
  QString FDataFile;
  bool FInitDone = false;
  bool FQuitting = false;
  bool FDismountDone = false;
  TConfigSettings FConfig;  // FShowIcon, FAllowEject, FAllowNonAdminModify, FLocalLinks
  TRegistrySettings FRegistry;  // FNoAutoLoad, FShowTrayWarning, FTempBackup, FShowTempRootWarning
  bool FForceUnount = false;

 signals:
  // Posted from the library's thread: event 1, 5 or 3 with its handle.
  void EngineEvent(quint64 handle, quint32 event);

 private:
  // Waits (events handled every 100 ms) for the engine's report that the
  // volume is gone, up to 60 s.
  void WaitForRemoval(uint64_t handle);
  // Dismount with the force question and the wait.
  bool DismountWithQuestion(TUserVolume *disk, bool force);
  // `dismount` with `force`; when the engine refuses, the force question,
  // then the wait for the removal report.
  bool DismountAsking(QChar letter, uint64_t handle, bool force, const std::function<void(bool force)> &dismount);
  // Runs `operation` under the busy window with `text`; a failure is shown.
  bool RunBusy(const QString &text, const std::function<void()> &operation);
  void CheckTempVariables();
  void RemoveLogonDisks(const QString &errorPrefix);
  TConfigFile Config();
  TUserVolume *DiskOrThrow(QChar letter) const;
  static void WINAPI LibraryCallback(uint64_t handle, uint32_t event);

  TManagerUi &ui_;
  QString configFile_;
};

}  // namespace Ramdeck
