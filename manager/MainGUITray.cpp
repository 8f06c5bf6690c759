// The notification-area icon: its hint, its menu with the per-disk submenu
// built when the menu opens, and a click that brings the window back.
#include <QMenu>

#include "Icons.h"
#include "MainGUI.h"
#include "Translate.h"

namespace Ramdeck {

void TBWMainGUIForm::CreateTray() {
  TrayIcon = new QSystemTrayIcon(Icon(TIconKind::Application), this);
  TrayMenu = new QMenu(this);
  TrayMenu->addAction(ActionShowApplication);
  TrayMenu->setDefaultAction(ActionShowApplication);
  TrayMenu->addSeparator();
  TrayDiskMenu = TrayMenu->addMenu(Icon(TIconKind::DiskMounted), QString());
  trayImageMenu_ = TrayMenu->addMenu(Icon(TIconKind::Image), QString());
  trayImageMenu_->addActions({ActionCreateImage, ActionMountImage, ActionUnmountImage});
  TrayMenu->addSeparator();
  trayHelpMenu_ = TrayMenu->addMenu(Icon(TIconKind::Help), QString());
  trayHelpMenu_->addActions({ActionAbout, ActionUserManual, ActionWebSite});
  TrayMenu->addAction(ActionExitApplication);
  TrayIcon->setContextMenu(TrayMenu);
  connect(TrayMenu, &QMenu::aboutToShow, this, [this] { BuildTrayDiskMenu(); });
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) Activate();
  });
}

void TBWMainGUIForm::BuildTrayDiskMenu() {
  TrayDiskMenu->clear();
  const bool ready = core_.FInitDone;
  const bool allowed = core_.Allowed();
  const QIcon mounted = Icon(TIconKind::DiskMounted), unmounted = Icon(TIconKind::DiskUnmounted);
  TUserVolumeList &disks = core_.FUserVolumeList;
  for (int i = 0; i < disks.Count(); ++i) {
    TUserVolume *disk = disks.Items(i);
    QString text = FormatText(Tr(QStringLiteral("%s: [%u ")), {QString(disk->FLetter), QString::number(disk->SizeForUI())}) +
                   Tr(QStringLiteral("MB")) +
                   FormatText(Tr(QStringLiteral(" %s] %s")), {disk->FileSystemAsStr(), disk->FImageFile});
    QMenu *item = TrayDiskMenu->addMenu(disk->FMounted ? mounted : unmounted, text);
    // The disk may be gone by the time an item is chosen.
    auto act = [this, disk](auto work) {
      return [this, disk, work] {
        if (core_.FUserVolumeList.IndexOf(disk) >= 0) Run([&] { work(disk); });
      };
    };
    QAction *browse = item->addAction(Tr(QStringLiteral("&Browse")), this, act([this](TUserVolume *d) { Browse(d); }));
    browse->setEnabled(ready && disk->FMounted);
    item->addSeparator();
    if (!disk->FMounted)
      item->addAction(ActionMount->icon(), Tr(QStringLiteral("&Mount")), this,
                      act([this](TUserVolume *d) { core_.MountDisk(d); }))
          ->setEnabled(ready);
    else
      item->addAction(ActionUnmount->icon(), Tr(QStringLiteral("&Unmount")), this,
                      act([this](TUserVolume *d) { core_.UnmountDisk(d); }))
          ->setEnabled(ready);
    if (disk->FMounted && allowed && disk->FSaveToImage && !disk->FImageFile.isEmpty())
      item->addAction(ActionSaveToImage->icon(), Tr(QStringLiteral("Save to Image")), this,
                      act([this](TUserVolume *d) { SaveToImage(d); }));
    item->addSeparator();
    item->addAction(Tr(QStringLiteral("&Properties")), this, act([this](TUserVolume *d) { Properties(d); }))
        ->setEnabled(ready);
  }
  TrayDiskMenu->addSeparator();
  TrayDiskMenu->addActions({ActionMountAll, ActionUnmountAll});
}

}  // namespace Ramdeck
