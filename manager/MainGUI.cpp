#include "MainGUI.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>

#include "AppVersion.h"
#include "BusyWindow.h"
#include "Icons.h"
#include "Language.h"
#include "Translate.h"

namespace Ramdeck {

namespace {

const QString &Caption() {
  static const QString caption = QString::fromUtf16(kApplicationTitle);
  return caption;
}

// Columns of the disk list.
enum { colLetter, colSize, colFileSystem, colFlags, colImage, colCount };

// The list item's link to its disk.
constexpr int kDiskRole = Qt::UserRole + 1;

}  // namespace

TBWMainGUIForm::TBWMainGUIForm(QString configFile) : core_(*this, std::move(configFile)) {
  setObjectName(QStringLiteral("TBWMainGUIForm"));
  setWindowTitle(Caption());
  setWindowIcon(Icon(TIconKind::Application));
  MessageBox = [this](TBox kind, const QString &text) { return DefaultMessageBox(kind, text); };
  SetDefaultDialogs();
  CreateActions();
  CreateMenus();
  CreateList();
  CreateTray();
  BusyWindow = new TBusyWindow(this);
  // Qt scales the client size with the desktop's; the window starts centred.
  resize(663, 534);
  if (QScreen *screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  Retranslate();
  UpdateDisplay();
  connect(&Timer, &QTimer::timeout, this, [this] {
    if (++FTimerCount % 60 == 0) UpdateDisplay();
  });
  Timer.start(1000);
}

TBWMainGUIForm::~TBWMainGUIForm() { Finish(); }

void TBWMainGUIForm::CreateActions() {
  auto make = [this](TIconKind *icon = nullptr) {
    auto *action = new QAction(this);
    if (icon) action->setIcon(Icon(*icon));
    return action;
  };
  auto withIcon = [&make](TIconKind icon) { return make(&icon); };
  ActionAdd = withIcon(TIconKind::AddDisk);
  ActionBootAdd = withIcon(TIconKind::AddBootDisk);
  ActionDelete = withIcon(TIconKind::Delete);
  ActionDelete->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
  ActionProperties = make();
  ActionRefresh = withIcon(TIconKind::Refresh);
  ActionMount = withIcon(TIconKind::Mount);
  ActionUnmount = withIcon(TIconKind::Unmount);
  ActionBrowseVolume = make();
  ActionSaveToImage = withIcon(TIconKind::Save);
  ActionMountAll = make();
  ActionUnmountAll = make();
  ActionCreateImage = withIcon(TIconKind::Image);
  ActionMountImage = make();
  ActionUnmountImage = make();
  ActionExportAllDisks = make();
  ActionImportDisks = make();
  ActionApps = make();
  ActionSettings = make();
  ActionSetTempFolder = make();
  ActionLoadLanguage = make();
  ActionShowApplication = withIcon(TIconKind::Application);
  ActionExitApplication = make();
  ActionAbout = make();
  ActionWebSite = make();
  ActionUserManual = withIcon(TIconKind::Help);
  ActionUserManual->setShortcut(QKeySequence(Qt::Key_F1));

  // Actions on "the selected disk" act on the list's selection.
  auto onSelected = [this](QAction *action, auto work) {
    connect(action, &QAction::triggered, this, [this, work] {
      if (TUserVolume *disk = SelectedDisk()) Run([&] { work(disk); });
    });
  };
  connect(ActionAdd, &QAction::triggered, this, [this] { Run([this] { AddDisk(false); }); });
  connect(ActionBootAdd, &QAction::triggered, this, [this] { Run([this] { AddDisk(true); }); });
  onSelected(ActionDelete, [this](TUserVolume *d) { core_.DeleteDiskItem(d); });
  onSelected(ActionProperties, [this](TUserVolume *d) { Properties(d); });
  connect(ActionRefresh, &QAction::triggered, this, [this] { Run([this] { UpdateDisplay(); }); });
  onSelected(ActionMount, [this](TUserVolume *d) { core_.MountDisk(d); });
  onSelected(ActionUnmount, [this](TUserVolume *d) { core_.UnmountDisk(d); });
  onSelected(ActionBrowseVolume, [this](TUserVolume *d) { Browse(d); });
  onSelected(ActionSaveToImage, [this](TUserVolume *d) { SaveToImage(d); });
  connect(ActionMountAll, &QAction::triggered, this, [this] { Run([this] { core_.MountAll(); }); });
  connect(ActionUnmountAll, &QAction::triggered, this, [this] { Run([this] { core_.UnmountAll(); }); });
  connect(ActionCreateImage, &QAction::triggered, this, [this] { Run([this] { CreateImage(); }); });
  connect(ActionMountImage, &QAction::triggered, this, [this] { Run([this] { MountImage(); }); });
  connect(ActionUnmountImage, &QAction::triggered, this, [this] { Run([this] { Dialogs.UnmountImage(this, core_); }); });
  connect(ActionExportAllDisks, &QAction::triggered, this, [this] { Run([this] { ExportDisks(); }); });
  connect(ActionImportDisks, &QAction::triggered, this, [this] { Run([this] { ImportDisks(); }); });
  connect(ActionApps, &QAction::triggered, this, [this] { Run([this] { Applications(); }); });
  connect(ActionSettings, &QAction::triggered, this, [this] { Run([this] { Settings(); }); });
  connect(ActionSetTempFolder, &QAction::triggered, this, [this] { Run([this] { Dialogs.TempFolder(this, core_); }); });
  connect(ActionLoadLanguage, &QAction::triggered, this, [this] { Run([this] { LoadLanguage(); }); });
  connect(ActionShowApplication, &QAction::triggered, this, [this] { Activate(); });
  connect(ActionExitApplication, &QAction::triggered, this, [this] { Run([this] { ExitApplication(); }); });
  connect(ActionAbout, &QAction::triggered, this, [this] { Dialogs.About(this); });
  connect(ActionWebSite, &QAction::triggered, this, [this] { OpenWebSite(false); });
  connect(ActionUserManual, &QAction::triggered, this, [this] { OpenWebSite(true); });
}

void TBWMainGUIForm::CreateMenus() {
  for (auto &menu : menus_) menu = menuBar()->addMenu(QString());
  menus_[0]->addActions({ActionExportAllDisks, ActionImportDisks});
  menus_[1]->addActions({ActionAdd, ActionBootAdd, ActionDelete, ActionRefresh});
  menus_[1]->addSeparator();
  menus_[1]->addActions({ActionMount, ActionUnmount});
  menus_[1]->addSeparator();
  menus_[1]->addActions({ActionMountAll, ActionUnmountAll});
  menus_[1]->addSeparator();
  menus_[1]->addAction(ActionProperties);
  menus_[2]->addActions({ActionCreateImage, ActionMountImage, ActionUnmountImage});
  menus_[3]->addActions({ActionApps, ActionSettings, ActionSetTempFolder});
  menus_[4]->addActions({ActionAbout, ActionWebSite, ActionUserManual});
  menus_[4]->addSeparator();
  LanguageMenu = menus_[4]->addMenu(QString());
  menus_[4]->addAction(ActionLoadLanguage);

  toolBar_ = addToolBar(QString());
  toolBar_->setObjectName(QStringLiteral("ToolBar"));
  toolBar_->setMovable(false);
  toolBar_->addActions({ActionBootAdd, ActionDelete, ActionRefresh});
  toolBar_->addSeparator();
  toolBar_->addActions({ActionMount, ActionUnmount, ActionSaveToImage});
  toolBar_->addSeparator();
  toolBar_->addAction(ActionUserManual);

  contextMenu_ = new QMenu(this);
  contextMenu_->addActions({ActionBrowseVolume, ActionDelete});
  contextMenu_->addSeparator();
  contextMenu_->addActions({ActionMount, ActionUnmount, ActionSaveToImage});
  contextMenu_->addSeparator();
  contextMenu_->addAction(ActionProperties);

  StatusMounted = new QLabel(this);
  StatusFree = new QLabel(this);
  StatusInfo = new QLabel(this);
  // 150 pixels each, wider when a translation's text needs more.
  StatusMounted->setMinimumWidth(150);
  StatusFree->setMinimumWidth(150);
  statusBar()->addWidget(StatusMounted);
  statusBar()->addWidget(StatusFree);
  statusBar()->addWidget(StatusInfo, 1);
}

void TBWMainGUIForm::CreateList() {
  DiskList = new QTreeWidget(this);
  DiskList->viewport()->installEventFilter(this);
  DiskList->setObjectName(QStringLiteral("DiskList"));
  DiskList->setColumnCount(colCount);
  DiskList->setRootIsDecorated(false);
  DiskList->setItemsExpandable(false);
  DiskList->setSelectionBehavior(QAbstractItemView::SelectRows);
  DiskList->setSelectionMode(QAbstractItemView::SingleSelection);
  DiskList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DiskList->setContextMenuPolicy(Qt::CustomContextMenu);
  DiskList->header()->setStretchLastSection(true);
  LogonGroup = new QTreeWidgetItem(DiskList);
  BootGroup = new QTreeWidgetItem(DiskList);
  for (QTreeWidgetItem *group : {LogonGroup, BootGroup}) {
    group->setFlags(Qt::ItemIsEnabled);
    group->setFirstColumnSpanned(true);
    QFont font = group->font(0);
    font.setBold(true);
    group->setFont(0, font);
    group->setExpanded(true);
  }
  setCentralWidget(DiskList);
  connect(DiskList, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActions(); });
  connect(DiskList, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
    if (item->data(0, kDiskRole).isValid() && ActionProperties->isEnabled()) ActionProperties->trigger();
  });
  connect(DiskList, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
    if (SelectedDisk()) contextMenu_->popup(DiskList->viewport()->mapToGlobal(at));
  });
}

void TBWMainGUIForm::Retranslate() {
  struct Text {
    QAction *action;
    const char *caption;
    const char *hint;
  };
  const Text texts[] = {
      {ActionAdd, "&Add...", "Add a New Disk"},
      {ActionBootAdd, "Add &Boot Disk...", "Add a New Disk Mounted on Boot"},
      {ActionDelete, "&Delete", "Delete Disk"},
      {ActionProperties, "&Properties", "Disk Properties"},
      {ActionRefresh, "&Refresh", "Refresh Disk Display"},
      {ActionMount, "&Mount", "Mount Selected Disk"},
      {ActionUnmount, "&Unmount", "Unmount Selected Disk"},
      {ActionBrowseVolume, "&Browse", ""},
      {ActionSaveToImage, "Save to Image", "Save Disk Contents to the Image"},
      {ActionMountAll, "&Mount All", "Mount All Disks"},
      {ActionUnmountAll, "&Unmount All", "Unmount All Disks"},
      {ActionCreateImage, "Create Image...", "Create Image File"},
      {ActionMountImage, "Mount Image...", "Mount Image File"},
      {ActionUnmountImage, "Unmount Image...", "Unmount Image File"},
      {ActionExportAllDisks, "&Export Disks", "Export disks to a file"},
      {ActionImportDisks, "&Import Disks", "Import disks from a file"},
      {ActionApps, "&Applications...", ""},
      {ActionSettings, "&Settings...", ""},
      {ActionSetTempFolder, "&Set Windows TEMP folder...", ""},
      {ActionLoadLanguage, "Load &Language...", ""},
      {ActionShowApplication, "RAM &Disk Manager", ""},
      {ActionExitApplication, "&Exit", ""},
      {ActionAbout, "&About", ""},
      {ActionWebSite, "&Web-site", ""},
      {ActionUserManual, "User &Manual", "Show User Manual"},
  };
  for (const Text &text : texts) {
    text.action->setText(Tr(QString::fromLatin1(text.caption)));
    QString hint = text.hint[0] ? Tr(QString::fromLatin1(text.hint)) : QString();
    text.action->setStatusTip(hint);
    text.action->setToolTip(hint.isEmpty() ? text.action->text().remove(u'&') : hint);
  }
  const char *menus[] = {"&File", "&Disk", "&Image", "&Tools", "&Help"};
  for (int i = 0; i < 5; ++i) menus_[i]->setTitle(Tr(QString::fromLatin1(menus[i])));
  LanguageMenu->setTitle(Tr(QStringLiteral("Language")));
  toolBar_->setWindowTitle(Tr(QStringLiteral("Tool bar")));
  DiskList->setHeaderLabels({Tr(QStringLiteral("Letter")), Tr(QStringLiteral("Size (MB)")),
                             Tr(QStringLiteral("File System")), Tr(QStringLiteral("Flags")),
                             Tr(QStringLiteral("Image File"))});
  LogonGroup->setText(0, Tr(QStringLiteral("Disks mounted on logon")));
  BootGroup->setText(0, Tr(QStringLiteral("Disks mounted on boot")));
  if (TrayMenu) {
    TrayDiskMenu->setTitle(Tr(QStringLiteral("&RAM Disk")));
    trayImageMenu_->setTitle(Tr(QStringLiteral("Disk &Image")));
    trayHelpMenu_->setTitle(Tr(QStringLiteral("&Help")));
  }
  UpdateDisplay();
}

namespace {

QString Flags(const TUserVolume &disk) {
  QString flags;
  if (!disk.IsBoot() && disk.WipeOnDismount()) flags += u'W';
  if (disk.FRemovable) flags += u'R';
  if (disk.FSaveToImage) flags += u'P';
  if (disk.FCompressed) flags += u'C';
  if (disk.FHDDEmulation) flags += u'H';
  if (disk.FSpecNuma) flags += u'N' + QString::number(disk.FNumaNode);
  return flags;
}

}  // namespace

void TBWMainGUIForm::UpdateDisplay() {
  const TUserVolume *selected = SelectedDisk();
  QSignalBlocker quiet(DiskList);
  qDeleteAll(LogonGroup->takeChildren());
  qDeleteAll(BootGroup->takeChildren());
  const QIcon mounted = Icon(TIconKind::DiskMounted), unmounted = Icon(TIconKind::DiskUnmounted);
  QTreeWidgetItem *reselect = nullptr;
  TUserVolumeList &disks = core_.FUserVolumeList;
  for (int i = 0; i < disks.Count(); ++i) {
    TUserVolume *disk = disks.Items(i);
    auto *item = new QTreeWidgetItem(disk->IsBoot() ? BootGroup : LogonGroup);
    item->setData(0, kDiskRole, QVariant::fromValue(static_cast<void *>(disk)));
    item->setIcon(colLetter, disk->FMounted ? mounted : unmounted);
    item->setText(colLetter, QString(disk->FLetter) + u':');
    item->setText(colSize, QString::number(disk->SizeForUI()));
    item->setText(colFileSystem, disk->FileSystemAsStr());
    item->setText(colFlags, Flags(*disk));
    item->setText(colImage, disk->FImageFile);
    if (disk == selected) reselect = item;
  }
  LogonGroup->setExpanded(true);
  BootGroup->setExpanded(true);
  if (reselect) reselect->setSelected(true);
  StatusMounted->setText(core_.StatusMountedText());
  StatusFree->setText(core_.StatusFreeMemoryText());
  if (TrayIcon) TrayIcon->setToolTip(TrayHint());
  UpdateActions();
}

QString TBWMainGUIForm::TrayHint() const {
  return Caption() + u' ' + ProgramVersion() + u'\n' + StatusMounted->text() + u'\n' + StatusFree->text();
}

TUserVolume *TBWMainGUIForm::SelectedDisk() const {
  const QList<QTreeWidgetItem *> items = DiskList->selectedItems();
  if (items.isEmpty()) return nullptr;
  auto *disk = static_cast<TUserVolume *>(items.first()->data(0, kDiskRole).value<void *>());
  // The item may outlive its disk for a moment (between a removal and the
  // redraw): only disks still in the list count.
  return disk && core_.FUserVolumeList.IndexOf(disk) >= 0 ? disk : nullptr;
}

void TBWMainGUIForm::SelectDisk(const TUserVolume *disk) {
  for (QTreeWidgetItem *group : {LogonGroup, BootGroup})
    for (int i = 0; i < group->childCount(); ++i)
      if (group->child(i)->data(0, kDiskRole).value<void *>() == disk) {
        DiskList->setCurrentItem(group->child(i));
        return;
      }
}

void TBWMainGUIForm::Run(const std::function<void()> &work) {
  if (operating_ > 0) return;
  ++operating_;
  UpdateActions();
  work();
  --operating_;
  UpdateActions();
  // Command lines that came while the operation waited, in their order.
  while (operating_ == 0 && !pendingCommandLines_.isEmpty()) {
    const QString commandLine = pendingCommandLines_.takeFirst();
    Run([&] { core_.ProcessCommandLine(commandLine); });
  }
}

void TBWMainGUIForm::UpdateActions() {
  // While an operation waits (and events are handled) nothing else may
  // start: a disk being unmounted must not be deleted under it.
  const bool idle = operating_ == 0;
  ActionExitApplication->setEnabled(idle);
  const bool allowed = idle && core_.Allowed();
  const bool any = core_.FUserVolumeList.Count() > 0;
  const TUserVolume *disk = SelectedDisk();
  const bool selected = allowed && disk;
  const bool mounted = selected && disk->FMounted;
  for (QAction *action : {ActionAdd, ActionBootAdd, ActionRefresh, ActionCreateImage, ActionMountImage,
                          ActionUnmountImage, ActionImportDisks, ActionApps, ActionSettings, ActionSetTempFolder,
                          ActionLoadLanguage})
    action->setEnabled(allowed);
  ActionDelete->setEnabled(selected);
  ActionProperties->setEnabled(selected);
  ActionMount->setEnabled(selected && !disk->FMounted);
  ActionUnmount->setEnabled(mounted);
  ActionBrowseVolume->setEnabled(mounted);
  ActionSaveToImage->setEnabled(mounted && !disk->FImageFile.isEmpty());
  ActionMountAll->setEnabled(allowed && any);
  ActionUnmountAll->setEnabled(allowed && any);
  ActionExportAllDisks->setEnabled(allowed && any);
  if (languages_) languages_->setEnabled(idle && (allowed || !core_.FInitDone));
}

// The user's messages.

bool TBWMainGUIForm::DefaultMessageBox(TBox kind, const QString &text) {
  QMessageBox box(this);
  box.setWindowTitle(Caption());
  box.setText(text);
  QCheckBox *dontShow = nullptr;
  switch (kind) {
    case TBox::Error: box.setIcon(QMessageBox::Critical); break;
    case TBox::Information: box.setIcon(QMessageBox::Information); break;
    case TBox::Warning: box.setIcon(QMessageBox::Warning); break;
    case TBox::ConfirmWarning:
    case TBox::ConfirmQuestion:
      box.setIcon(kind == TBox::ConfirmWarning ? QMessageBox::Warning : QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      break;
    case TBox::InformationDontShowAgain:
      box.setIcon(QMessageBox::Information);
      dontShow = new QCheckBox(Tr(QStringLiteral("Don't show this again")), &box);
      box.setCheckBox(dontShow);
      break;
  }
  int answer = box.exec();
  if (dontShow) return dontShow->isChecked();
  return answer == QMessageBox::Ok;
}

void TBWMainGUIForm::ShowError(const QString &text) { MessageBox(TBox::Error, text); }
void TBWMainGUIForm::ShowInformation(const QString &text) { MessageBox(TBox::Information, text); }
void TBWMainGUIForm::ShowWarning(const QString &text) { MessageBox(TBox::Warning, text); }
bool TBWMainGUIForm::Confirm(const QString &text, bool warning) {
  return MessageBox(warning ? TBox::ConfirmWarning : TBox::ConfirmQuestion, text);
}
bool TBWMainGUIForm::InformationWithDontShowAgain(const QString &text) {
  return MessageBox(TBox::InformationDontShowAgain, text);
}
void TBWMainGUIForm::SetBusy(const QString &text) { BusyWindow->SetText(text); }
void TBWMainGUIForm::ShowBalloon(const QString &text) {
  if (TrayIcon->isVisible()) TrayIcon->showMessage(Caption(), text, QSystemTrayIcon::Information);
}
bool TBWMainGUIForm::WindowVisible() const { return isVisible(); }
void TBWMainGUIForm::ProcessEvents() { QApplication::processEvents(QEventLoop::AllEvents, 100); }
void TBWMainGUIForm::Redraw() { UpdateDisplay(); }
void TBWMainGUIForm::ShowTrayIcon(bool show) { TrayIcon->setVisible(show); }

void TBWMainGUIForm::Activate() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  QApplication::alert(this);
}

// The running manager's command lines.

void TBWMainGUIForm::Started(const QString &commandLine, bool hidden) {
  // Each command line the manager takes is told on standard output, as the
  // runner without a window does, for scripts that watch the manager.
  printf("started%s: %s\n", hidden ? " hidden" : "", qPrintable(commandLine));
  fflush(stdout);
  if (!hidden) show();
  core_.StartUp(commandLine);
  BuildLanguageMenu();
  Retranslate();
  if (isVisible() && core_.FInitDone && !core_.Allowed())
    ShowInformation(Tr(QStringLiteral(
        "You are running this application as a regular user and you cannot change any settings. In order to "
        "control the application you should launch it as administrator.")));
  // Scripts and the start-up benchmark learn that the manager is there once
  // start-up is done and a shown window has been drawn with the disks. The
  // display's expose, which draws a new window, is handled after posted
  // events: a line posted now would come before the window is drawn, so it
  // waits for the disk list's paint instead.
  if (isVisible()) {
    readyPending_ = true;
    DiskList->viewport()->update();
  } else {
    SayReady();
  }
}

void TBWMainGUIForm::SayReady() {
  printf("ready\n");
  fflush(stdout);
}

bool TBWMainGUIForm::eventFilter(QObject *watched, QEvent *event) {
  if (readyPending_ && event->type() == QEvent::Paint && watched == DiskList->viewport()) {
    readyPending_ = false;
    // Said once this paint and the rest of its pass are done.
    QTimer::singleShot(0, this, [this] { SayReady(); });
  }
  return QMainWindow::eventFilter(watched, event);
}

void TBWMainGUIForm::CommandLineReceived(const QString &commandLine) {
  printf("4000: %s\n", qPrintable(commandLine));
  fflush(stdout);
  // One arriving while an operation waits for the engine runs after it, so
  // that it cannot pull a disk from under the operation.
  if (operating_ > 0) {
    pendingCommandLines_.append(commandLine);
    return;
  }
  Run([&] { core_.ProcessCommandLine(commandLine); });
  UpdateDisplay();
}

void TBWMainGUIForm::ActivateRequested() {
  printf("4001\n");
  fflush(stdout);
  Activate();
}

// Closing, exit and the session's end.

void TBWMainGUIForm::closeEvent(QCloseEvent *event) {
  if (core_.FQuitting) {
    event->accept();
    return;
  }
  event->ignore();
  if (core_.FRegistry.ShowTrayWarning && core_.FConfig.TrayIcon) {
    ShowInformation(Tr(QStringLiteral(
        "The application will remain running in the system tray. In order to quit it choose 'Quit' from the popup "
        "menu.")));
    core_.FRegistry.ShowTrayWarning = false;
  }
  hide();
}

void TBWMainGUIForm::ExitApplication() {
  if (!core_.ConfirmExit()) return;
  core_.FQuitting = true;
  Finish();
  close();
  QCoreApplication::quit();
}

void TBWMainGUIForm::EndSession() {
  core_.SessionEnding();
  Finish();
  close();
  QCoreApplication::quit();
}

void TBWMainGUIForm::Finish() {
  if (finished_) return;
  finished_ = true;
  Timer.stop();
  core_.Finish();
  TrayIcon->hide();
}

}  // namespace Ramdeck
