// The main window's actions that open a dialog or reach the shell; the
// work on the disks is the core's.
#include <shellapi.h>
#include <windows.h>

#include <QActionGroup>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMenu>
#include <QUrl>

#include "Language.h"
#include "MainDialogs.h"
#include "MainGUI.h"
#include "Translate.h"

namespace Ramdeck {

namespace {

// The product's pages.
const char kWebSite[] = "https://corvane.brimwell.example/";
const char kUserManual[] = "https://corvane.brimwell.example/manual/";

QString ChooseXmlFile(QWidget *owner, bool save, const QString &caption) {
  QFileDialog dialog(owner, caption, QString(), Tr(QStringLiteral("XML files")) + QStringLiteral(" (*.xml)"));
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QStringLiteral("xml"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return QString::fromStdU16String(WindowsPathOf(dialog.selectedFiles().first()));
}

QString ChooseLanguageFile(QWidget *owner) {
  QString file = QFileDialog::getOpenFileName(owner, Tr(QStringLiteral("Load &Language...")).remove(u'&'), QString(),
                                              Tr(QStringLiteral("Language files")) + QStringLiteral(" (*.lng *.ini)"));
  // The language table reads the file itself, by its host path.
  return file;
}

}  // namespace

void TBWMainGUIForm::SetDefaultDialogs() {
  Dialogs.AddDisk = ShowAddDiskDialog;
  Dialogs.CreateImage = ShowCreateImageDialog;
  Dialogs.MountImage = ShowMountImageDialog;
  Dialogs.UnmountImage = ShowUnmountImageDialog;
  Dialogs.Settings = ShowSettingsDialog;
  Dialogs.TempFolder = ShowTempFolderDialog;
  Dialogs.Applications = ShowApplicationsDialog;
  Dialogs.About = ShowAboutDialog;
  Dialogs.XmlFile = ChooseXmlFile;
  Dialogs.LanguageFile = ChooseLanguageFile;
}

bool TBWMainGUIForm::RefuseExternal(TUserVolume *disk) {
  auto *logon = dynamic_cast<TLogonVolume *>(disk);
  if (!logon || !logon->FExternalMount) return false;
  ShowWarning(Tr(QStringLiteral("You cannot perform this operation on a disk currently mounted by another user")));
  return true;
}

void TBWMainGUIForm::AddDisk(bool boot) {
  std::unique_ptr<TUserVolume> disk;
  if (boot) {
    disk = std::make_unique<TBootVolume>();
    disk->FAutoFlushTimeMin = 0;
  } else {
    disk = std::make_unique<TLogonVolume>();
    disk->FAutoFlushTimeMin = 60;
  }
  disk->SetLetter(TManagerCore::FirstFreeLetter());
  if (!Dialogs.AddDisk(this, *disk, boot, 0)) return;
  TUserVolume *added = disk.get();
  core_.AddNewDisk(std::move(disk));
  if (core_.FUserVolumeList.IndexOf(added) >= 0) SelectDisk(added);
}

void TBWMainGUIForm::Properties(TUserVolume *disk) {
  if (RefuseExternal(disk)) return;
  QChar oldLetter = disk->FLetter;
  // A remount frees the disk's memory first: the dialog may count it free.
  if (!Dialogs.AddDisk(this, *disk, disk->IsBoot(), disk->FMounted ? disk->FSize : 0)) return;
  if (!core_.UpdateDisk(disk, oldLetter, false) || !disk->FMounted) return;
  if (Confirm(Tr(QStringLiteral("Would you like to remount the disk now to apply the changes?")) +
                  QStringLiteral("\n\n") +
                  Tr(QStringLiteral("This will cause the disk to be unmounted and then mounted again with the new "
                                    "settings. Unless the disk is associated with an image file, all its content will "
                                    "be lost.")),
              false) &&
      core_.UnmountDisk(disk))
    core_.MountDisk(disk);
}

void TBWMainGUIForm::Browse(TUserVolume *disk) {
  std::u16string root = QString(QString(disk->FLetter) + QStringLiteral(":\\")).toStdU16String();
  ShellExecuteW(nullptr, u"open", root.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void TBWMainGUIForm::SaveToImage(TUserVolume *disk) { core_.SaveToImage(disk, true); }

void TBWMainGUIForm::CreateImage() {
  TImageCreator creator;
  creator.FOverwrite = true;
  if (!Dialogs.CreateImage(this, creator)) return;
  if (core_.CreateImage(creator))
    ShowInformation(FormatText(
        Tr(QStringLiteral("Image file created in '%s'. You can now mount it by choosing Image > Mount Image.")),
        {creator.FFileName}));
}

void TBWMainGUIForm::MountImage() {
  QString file;
  QChar letter = TManagerCore::FirstFreeLetter();
  bool hdd = false;
  if (Dialogs.MountImage(this, file, letter, hdd)) core_.MountImage(file, letter, hdd);
}

void TBWMainGUIForm::ExportDisks() {
  QString file = Dialogs.XmlFile(this, true, Tr(QStringLiteral("Export disks to a file")));
  if (!file.isEmpty()) core_.ExportDisks(file);
}

void TBWMainGUIForm::ImportDisks() {
  if (core_.FUserVolumeList.Count() > 0 &&
      !Confirm(Tr(QStringLiteral("This will dismount and delete all the disks currently configured. Continue?")), true))
    return;
  QString file = Dialogs.XmlFile(this, false, Tr(QStringLiteral("Import disks from a file")));
  if (!file.isEmpty()) core_.ImportReplacing(file);
}

void TBWMainGUIForm::Applications() {
  QStringList apps = core_.FAutoStaringApps.Items;
  if (!Dialogs.Applications(this, apps)) return;
  core_.FAutoStaringApps.Items = apps;
  core_.SaveConfig();
}

void TBWMainGUIForm::Settings() {
  if (!Dialogs.Settings(this, core_)) return;
  core_.SaveConfig();
  ShowTrayIcon(core_.FConfig.TrayIcon);
  UpdateDisplay();
}

void TBWMainGUIForm::OpenWebSite(bool manual) {
  QDesktopServices::openUrl(QUrl(QString::fromLatin1(manual ? kUserManual : kWebSite)));
}

// Languages: one radio item per language of the table, sorted by name.

void TBWMainGUIForm::BuildLanguageMenu() {
  TLanguage *table = TLanguage::Instance();
  LanguageMenu->clear();
  delete languages_;
  languages_ = new QActionGroup(this);
  languages_->setExclusive(true);
  if (!table) return;
  for (const QString &name : table->GetLanguages()) {
    QAction *item = LanguageMenu->addAction(name);
    item->setCheckable(true);
    item->setChecked(name.compare(table->CurrLang(), Qt::CaseInsensitive) == 0);
    languages_->addAction(item);
    connect(item, &QAction::triggered, this, [this, name] { ChooseLanguage(name); });
  }
}

void TBWMainGUIForm::ChooseLanguage(const QString &name) {
  TLanguage *table = TLanguage::Instance();
  if (!table) return;
  try {
    // A table read from a user's file is replaced by the built-in one.
    if (table->IsExternal()) table->LoadFromResource();
    table->SetCurrLang(name);
    core_.FRegistry.Language = table->CurrLang();
  } catch (const Exception &e) {
    ShowError(e.Message());
  }
  // The chosen item is still being triggered: the menu stays, its marks follow.
  for (QAction *item : languages_->actions())
    item->setChecked(item->text().compare(table->CurrLang(), Qt::CaseInsensitive) == 0);
  Retranslate();
}

void TBWMainGUIForm::LoadLanguage() {
  QString file = Dialogs.LanguageFile(this);
  if (file.isEmpty()) return;
  TLanguage *table = TLanguage::Instance();
  if (!table) return;
  try {
    table->LoadFromFile(file);
  } catch (const Exception &e) {
    ShowError(e.Message());
  }
  BuildLanguageMenu();
  Retranslate();
}

}  // namespace Ramdeck
