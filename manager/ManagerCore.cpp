#include "ManagerCore.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>
#include <mutex>

#include "CmdLineUtil.h"
#include "CommandLine.h"
#include "Language.h"
#include "TempFolder.h"
#include "Translate.h"
#include "ctl/ramctl.h"

namespace Ramdeck {

namespace {

// The one manager the library's events go to.
std::mutex gCoreLock;
TManagerCore *gCore = nullptr;

constexpr int kRemovalWaitMs = 60000;
constexpr int kRemovalPollMs = 100;

QString Letter(QChar letter) { return QString(letter) + u':'; }

}  // namespace

TManagerCore::TManagerCore(TManagerUi &ui, QString configFile) : ui_(ui), configFile_(std::move(configFile)) {
  connect(this, &TManagerCore::EngineEvent, this,
          [this](quint64 handle, quint32 event) {
            switch (event) {
              case ENGINE_EVENT_EJECT_REQUESTED: EjectRequested(handle); break;
              case ENGINE_EVENT_VOLUME_REMOVED: VolumeRemoved(handle); break;
              case ENGINE_EVENT_LETTERS_CHANGED: VolumeChanged(); break;
              default: break;
            }
          },
          Qt::QueuedConnection);
  std::lock_guard<std::mutex> guard(gCoreLock);
  gCore = this;
}

TManagerCore::~TManagerCore() {
  std::lock_guard<std::mutex> guard(gCoreLock);
  if (gCore == this) gCore = nullptr;
}

// Runs on the library's thread: the event travels to the window's thread.
void WINAPI TManagerCore::LibraryCallback(uint64_t handle, uint32_t event) {
  if (event != ENGINE_EVENT_EJECT_REQUESTED && event != ENGINE_EVENT_VOLUME_REMOVED &&
      event != ENGINE_EVENT_LETTERS_CHANGED)
    return;
  std::lock_guard<std::mutex> guard(gCoreLock);
  if (gCore) emit gCore->EngineEvent(handle, event);
}

TConfigFile TManagerCore::Config() { return TConfigFile(FUserVolumeList, FConfig, FAutoStaringApps.Items); }

void TManagerCore::ReadRegistry() {
  try {
    ReadRegistrySettings(FRegistry, DefaultLanguageName(GetUserDefaultLangID()));
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
  }
  if (TLanguage *language = TLanguage::Instance()) {
    try {
      language->SetCurrLang(FRegistry.Language);
    } catch (const Exception &e) {
      ui_.ShowError(e.Message());
    }
  }
}

void TManagerCore::StartUp(const QString &ownCommandLine) {
  try {
    ReadRegistry();
    FDataFile = configFile_.isEmpty() ? TConfigFile::DefaultPath() : configFile_;
    try {
      Config().Read(cfConfig, FDataFile);
    } catch (const Exception &e) {
      ui_.ShowError(Tr(QStringLiteral("Error reading config file:")) + u' ' + e.Message());
    }
    ui_.ShowTrayIcon(FConfig.TrayIcon);
    if (!RamctlInitialize(LibraryCallback)) throw Exception(QStringLiteral("Initialisation of RAMCTL failed"));
    try {
      FUserVolumeList.AutoMount();
    } catch (const Exception &e) {
      ui_.ShowError(Tr(QStringLiteral("One or more volumes could not be mounted.")) + u' ' + e.Message());
    }
    FUserVolumeList.ReadBootVolumes(FConfig.LocalLinks);
    CheckTempVariables();
    FAutoStaringApps.StartAll([this](const QString &text) { ui_.ShowError(text); });
    ui_.Redraw();
    ProcessCommandLine(ownCommandLine);
    FInitDone = true;
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
  }
}

bool TManagerCore::IsAdministrator() const {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) return false;
  return CheckTokenMembership(nullptr, sid, &member) && member;
}

bool TManagerCore::Allowed() const { return FInitDone && (FConfig.UserAccess || IsAdministrator()); }

void TManagerCore::CheckTempVariables() {
  TTempCheck check = CheckOwnTempVariables(FConfig.LocalLinks, FRegistry.ShowTempRootWarning, [](QChar letter) {
    return RamctlIsMemoryVolume(letter.unicode()) != 0;
  });
  if (check.OnLocalRamDisk)
    ui_.ShowInformation(Tr(QStringLiteral(
        "The application has detected that you have the TMP/TEMP environment variables set to use a RAM disk. In "
        "this case some installation programs may not work correctly. Please turn the 'Global drive letters for RAM "
        "volumes' option on in the settings in order to fix this problem.")));
  if (check.AtRamDiskRoot)
    FRegistry.ShowTempRootWarning = !ui_.InformationWithDontShowAgain(Tr(QStringLiteral(
        "The application has detected that you have the TMP/TEMP environment variables set to use the root of a RAM "
        "disk. Some programs may not work correctly in this case. It is recommended to create a folder on the RAM "
        "disk and then update the variables to point to that folder, e.g. R:\\TEMP.")));
}

void TManagerCore::SaveConfig() {
  try {
    Config().Write(cfConfig, FDataFile);
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
  }
}

namespace {

bool IsExternal(const TUserVolume *disk) {
  auto *logon = dynamic_cast<const TLogonVolume *>(disk);
  return logon && logon->FExternalMount;
}

}  // namespace

bool TManagerCore::RunBusy(const QString &text, const std::function<void()> &operation) {
  ui_.SetBusy(text);
  try {
    operation();
  } catch (const Exception &e) {
    ui_.SetBusy(QString());
    ui_.ShowError(e.Message());
    return false;
  }
  ui_.SetBusy(QString());
  return true;
}

bool TManagerCore::MountDisk(TUserVolume *disk) {
  if (disk->FMounted) return true;
  if (IsExternal(disk)) {
    ui_.ShowWarning(Tr(QStringLiteral("You cannot perform this operation on a disk currently mounted by another user")));
    return false;
  }
  disk->FLocalLink = FConfig.LocalLinks;
  if (!RunBusy(Tr(QStringLiteral("Mounting...")), [disk] { disk->Mount(); })) return false;
  disk->SetMountable(true);
  SaveConfig();
  ui_.Redraw();
  return true;
}

void TManagerCore::WaitForRemoval(uint64_t handle) {
  QElapsedTimer waited;
  waited.start();
  while (!FRemovalEventList.contains(handle) && waited.elapsed() < kRemovalWaitMs) {
    ui_.ProcessEvents();
    if (FRemovalEventList.contains(handle)) break;
    QThread::msleep(kRemovalPollMs);
  }
  FRemovalEventList.removeAll(handle);
}

bool TManagerCore::DismountAsking(QChar letter, uint64_t handle, bool force,
                                  const std::function<void(bool force)> &dismount) {
  try {
    dismount(force);
  } catch (const EVolumeError &) {
    ui_.SetBusy(QString());
    QString question = FormatText(
        Tr(QStringLiteral("Unable to dismount volume %s Perhaps it contains open files or is locked. Force dismount?")),
        {Letter(letter)});
    if (!ui_.Confirm(question, true)) return false;
    try {
      dismount(true);
    } catch (const EVolumeError &) {
      ui_.ShowError(FormatText(Tr(QStringLiteral("Unable to dismount volume %s")), {Letter(letter)}));
      return false;
    }
  }
  ui_.SetBusy(QString());
  WaitForRemoval(handle);
  return true;
}

bool TManagerCore::DismountWithQuestion(TUserVolume *disk, bool force) {
  return DismountAsking(disk->FLetter, disk->VolumeHandle(), force, [disk](bool f) { disk->Dismount(f); });
}

bool TManagerCore::UnmountDisk(TUserVolume *disk, bool removeAfter) {
  if (disk->FMounted) {
    if (IsExternal(disk)) {
      ui_.ShowWarning(Tr(QStringLiteral("You cannot perform this operation on a disk currently mounted by another user")));
      return false;
    }
    ui_.SetBusy(Tr(QStringLiteral("Unmounting...")));
    try {
      if (disk->FSaveToImage) disk->Save();
    } catch (const EVolumeError &e) {
      ui_.SetBusy(QString());
      ui_.ShowError(e.Message());
      return false;
    }
    if (!DismountWithQuestion(disk, FForceUnount)) return false;
  }
  if (removeAfter) {
    try {
      FUserVolumeList.Remove(disk);
    } catch (const Exception &e) {
      ui_.ShowError(e.Message());
      return false;
    }
  } else {
    disk->SetMountable(false);
  }
  SaveConfig();
  ui_.Redraw();
  return true;
}

bool TManagerCore::DeleteDiskItem(TUserVolume *disk) { return UnmountDisk(disk, true); }

bool TManagerCore::SaveToImage(TUserVolume *disk, bool ask) {
  if (!disk->FSaveToImage && ask &&
      !ui_.Confirm(Tr(QStringLiteral("Save Disk Contents to the Image")) + u'?', false))
    return false;
  return RunBusy(Tr(QStringLiteral("Saving to image...")), [disk] { disk->Save(); });
}

bool TManagerCore::AddNewDisk(std::unique_ptr<TUserVolume> disk) {
  bool boot = disk->IsBoot();
  TUserVolume *added = nullptr;
  try {
    added = FUserVolumeList.Add(std::move(disk));
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
    return false;
  }
  if (!boot) SaveConfig();
  ui_.Redraw();
  return MountDisk(added);
}

bool TManagerCore::UpdateDisk(TUserVolume *disk, QChar oldLetter, bool remount) {
  try {
    FUserVolumeList.Update(disk, oldLetter);
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
    return false;
  }
  SaveConfig();
  ui_.Redraw();
  if (remount && disk->FMounted && UnmountDisk(disk)) return MountDisk(disk);
  return true;
}

void TManagerCore::MountAll() {
  bool failed = false;
  for (int i = 0; i < FUserVolumeList.Count(); ++i) {
    TUserVolume *disk = FUserVolumeList.Items(i);
    if (!disk->FMounted && !MountDisk(disk)) failed = true;
  }
  if (!failed && !ui_.WindowVisible())
    ui_.ShowBalloon(Tr(QStringLiteral("All RAM disks have been mounted successfully")));
}

void TManagerCore::UnmountAll() {
  bool failed = false;
  for (int i = 0; i < FUserVolumeList.Count(); ++i) {
    TUserVolume *disk = FUserVolumeList.Items(i);
    if (disk->FMounted && !UnmountDisk(disk)) failed = true;
  }
  if (!failed && !ui_.WindowVisible())
    ui_.ShowBalloon(Tr(QStringLiteral("All RAM disks have been unmounted successfully")));
}

bool TManagerCore::ExportDisks(const QString &fileName) {
  try {
    Config().Write(cfExport, fileName);
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
    return false;
  }
  return true;
}

bool TManagerCore::ImportReplacing(const QString &fileName) {
  bool ok = true;
  try {
    FUserVolumeList.AutoDismount(TUserVolumeList::dtBoth);
    FUserVolumeList.ClearDisks();
    Config().Read(cfExport, fileName);
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
    ok = false;
  }
  SaveConfig();
  ui_.Redraw();
  return ok;
}

bool TManagerCore::CreateImage(TImageCreator &creator) {
  return RunBusy(Tr(QStringLiteral("Creating image...")), [&creator] { creator.CreateImage(); });
}

bool TManagerCore::MountImage(const QString &imageFile, QChar letter, bool hddEmulation) {
  TDiskVolume volume;
  volume.FImageFile = imageFile;
  volume.FSessionLink = FConfig.LocalLinks;
  volume.FRemovable = true;
  volume.FLetter = letter.toUpper();
  volume.FHDDEmulation = hddEmulation;
  try {
    volume.MountDiskVolume();
  } catch (const EVolumeError &e) {
    ui_.ShowError(e.Message());
    return false;
  }
  return true;
}

bool TManagerCore::DismountOpenVolume(TOpenVolume &volume) {
  ui_.SetBusy(Tr(QStringLiteral("Unmounting...")));
  return DismountAsking(volume.Letter(), volume.VolumeHandle(), false, [&volume](bool f) { volume.Dismount(f); });
}

void TManagerCore::EjectRequested(uint64_t handle) {
  if (!FConfig.AllowEject) return;
  for (int i = 0; i < FUserVolumeList.Count(); ++i) {
    TUserVolume *disk = FUserVolumeList.Items(i);
    if (!disk->FMounted || disk->VolumeHandle() != handle) continue;
    if (UnmountDisk(disk)) {
      disk->SetMountable(false);
      if (Allowed()) SaveConfig();
    }
    ui_.Redraw();
    break;
  }
  try {
    TOpenVolumeList images(etFile);
    images.Enumerate();
    for (int i = 0; i < images.Count(); ++i)
      if (images.Items(i)->VolumeHandle() == handle) DismountOpenVolume(*images.Items(i));
  } catch (const EVolumeError &e) {
    ui_.ShowError(e.Message());
  }
}

void TManagerCore::VolumeRemoved(uint64_t handle) {
  FRemovalEventList.append(handle);
  // A logon disk whose volume another program removed is no longer
  // mounted; the list must not go on showing it so. (Boot disks learn it
  // from the letters' change.) Its wish to be mounted at logon stays.
  bool changed = false;
  for (int i = 0; i < FUserVolumeList.Count(); ++i) {
    TUserVolume *disk = FUserVolumeList.Items(i);
    if (!disk->IsBoot() && disk->FMounted && disk->VolumeHandle() == handle) {
      disk->FMounted = false;
      changed = true;
    }
  }
  if (changed) ui_.Redraw();
}

void TManagerCore::VolumeChanged() {
  for (int i = 0; i < FUserVolumeList.Count(); ++i)
    if (FUserVolumeList.Items(i)->IsBoot()) FUserVolumeList.Items(i)->UpdateMountInfo();
  ui_.Redraw();
}

bool TManagerCore::ConfirmExit() {
  int count = FUserVolumeList.GetDismountableCount();
  if (count <= 0) return true;
  QString text = FormatText(Tr(QStringLiteral("There are %d logon-time RAM disks mounted. If you quit the application "
                                              "now, they will be immediately dismounted.")),
                            {QString::number(count)}) +
                 QStringLiteral("\n\n") + Tr(QStringLiteral("Please confirm dismounting all these RAM disks."));
  if (!ui_.Confirm(text, true)) return false;
  FQuitting = true;
  return true;
}

void TManagerCore::RemoveLogonDisks(const QString &errorPrefix) {
  if (FDismountDone) return;
  FDismountDone = true;
  QList<uint64_t> handles;
  for (int i = 0; i < FUserVolumeList.Count(); ++i) {
    TUserVolume *disk = FUserVolumeList.Items(i);
    if (!disk->IsBoot() && disk->FMounted && !IsExternal(disk)) handles.append(disk->VolumeHandle());
  }
  try {
    FUserVolumeList.AutoDismount(TUserVolumeList::dtLogon);
  } catch (const Exception &e) {
    ui_.ShowError(Tr(errorPrefix) + u' ' + e.Message());
  }
  for (uint64_t handle : handles) WaitForRemoval(handle);
}

void TManagerCore::WriteRegistry() {
  try {
    WriteRegistrySettings(FRegistry, TLanguage::Instance() && TLanguage::Instance()->IsExternal());
  } catch (const Exception &e) {
    ui_.ShowError(e.Message());
  }
}

void TManagerCore::SettingsChanged() {
  ui_.ShowTrayIcon(FConfig.TrayIcon);
  SaveConfig();
  WriteRegistry();
}

void TManagerCore::Finish() {
  WriteRegistry();
  if (FInitDone && Allowed()) SaveConfig();
  RemoveLogonDisks(QStringLiteral("Dismounting volumes on closure failed:"));
}

void TManagerCore::SessionEnding() {
  RemoveLogonDisks(QStringLiteral("Dismounting volumes at session termination failed:"));
  FQuitting = true;
}

QChar TManagerCore::FirstFreeLetter() {
  DWORD used = GetLogicalDrives();
  for (int i = 0; i < 26; ++i)
    if (!(used & (1u << i))) return QChar(u'A' + i);
  return QChar();
}

QString TManagerCore::StatusMountedText() const {
  return FormatText(Tr(QStringLiteral("%d RAM disks mounted")), {QString::number(FUserVolumeList.GetTotalMountedCount())});
}

QString TManagerCore::StatusFreeMemoryText() const {
  return FormatText(Tr(QStringLiteral("%u MB memory free")), {QString::number(GetFreeMemory() / 1048576)});
}

// The command line's disk commands.

TUserVolume *TManagerCore::DiskOrThrow(QChar letter) const {
  int index = FUserVolumeList.IndexOfLetter(letter);
  if (index < 0)
    throw ECmdLineError(FormatText(Tr(QStringLiteral("disk %s is not found")), {QString(letter)}));
  return FUserVolumeList.Items(index);
}

bool TManagerCore::HasDisk(QChar letter) const { return FUserVolumeList.Exists(letter); }

void TManagerCore::ImportDisks(const QString &fileName) {
  Config().Read(cfExport, fileName);
  SaveConfig();
  ui_.Redraw();
}

void TManagerCore::MountDisk(QChar letter) { MountDisk(DiskOrThrow(letter)); }

void TManagerCore::MountAllDisks() { MountAll(); }

void TManagerCore::UnmountDisk(QChar letter, bool force) {
  FForceUnount = force;
  UnmountDisk(DiskOrThrow(letter));
  FForceUnount = false;
}

void TManagerCore::UnmountAllDisks(bool force) {
  FForceUnount = force;
  UnmountAll();
  FForceUnount = false;
}

void TManagerCore::DeleteDisk(QChar letter, bool force) {
  FForceUnount = force;
  DeleteDiskItem(DiskOrThrow(letter));
  FForceUnount = false;
}

void TManagerCore::DeleteAllDisks(bool force) {
  FForceUnount = force;
  for (int i = FUserVolumeList.Count() - 1; i >= 0; --i) DeleteDiskItem(FUserVolumeList.Items(i));
  FForceUnount = false;
}

void TManagerCore::AddDisk(const TNewDiskParams &params) {
  std::unique_ptr<TUserVolume> disk;
  if (params.Boot)
    disk = std::make_unique<TBootVolume>();
  else
    disk = std::make_unique<TLogonVolume>();
  disk->SetLetter(params.Letter);
  disk->FFileSystem = params.FileSystem;
  disk->FImageFile = params.ImageFile;
  disk->FSize = params.Size;
  disk->FVolumeLabel = params.Label;
  disk->FSaveToImage = params.SaveToImage;
  disk->FAutoFlushTimeMin = 0;
  disk->FLocalLink = FConfig.LocalLinks;
  TUserVolume *added = nullptr;
  try {
    added = FUserVolumeList.Add(std::move(disk));
  } catch (const EVolumeError &e) {
    ui_.ShowError(e.Message());
    return;
  }
  if (!params.Boot) SaveConfig();
  if (params.Mount) MountDisk(added);
  ui_.Redraw();
}

void TManagerCore::SaveDisk(QChar letter) {
  TUserVolume *disk = DiskOrThrow(letter);
  if (disk->FMounted) SaveToImage(disk, false);
}

void TManagerCore::SaveAllDisks() {
  for (int i = 0; i < FUserVolumeList.Count(); ++i) {
    TUserVolume *disk = FUserVolumeList.Items(i);
    if (disk->FMounted && disk->FSaveToImage && !disk->FImageFile.isEmpty()) SaveToImage(disk, false);
  }
}

void TManagerCore::ProcessCommandLine(const QString &commandLine) {
  TCommandLineProcessor processor(*this, [this](const QString &text) { ui_.ShowError(text); });
  processor.Process(commandLine);
}

}  // namespace Ramdeck
