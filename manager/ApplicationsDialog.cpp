// The applications dialog: the list of command lines the manager starts,
// each shown with its program's icon.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <windows.h>

#include "AutoStartApps.h"
#include "ProgramStart.h"
#include "SettingsDialogs.h"
#include "Translate.h"

namespace Ramdeck {

namespace {

bool WindowsFileExists(const QString &path) {
  DWORD attributes = GetFileAttributesW(reinterpret_cast<LPCWSTR>(path.utf16()));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

QString DefaultChooseFile(QWidget *owner) {
  QString host = QFileDialog::getOpenFileName(owner, Tr(QStringLiteral("Application")), QString(),
                                              Tr(QStringLiteral("Applications")) + QStringLiteral(" (*.exe *.cmd *.bat)"));
  // The host's file dialog shows host paths.
  return host.isEmpty() ? QString() : QString::fromStdU16String(WindowsPathOf(host));
}

}  // namespace

QIcon TApplicationsForm::ProgramIcon(const QString &entry) {
  QString program = AppIconProgram(entry, WindowsFileExists);
  // Without a file there is no icon, as the shell gives none.
  if (program.isEmpty()) return {};
  QStyle *style = QApplication::style();
  QString lower = program.toLower();
  if (lower.endsWith(QStringLiteral(".exe")) || lower.endsWith(QStringLiteral(".com")))
    return QIcon::fromTheme(QStringLiteral("application-x-executable"), style->standardIcon(QStyle::SP_ComputerIcon));
  if (lower.endsWith(QStringLiteral(".cmd")) || lower.endsWith(QStringLiteral(".bat")))
    return QIcon::fromTheme(QStringLiteral("text-x-script"), style->standardIcon(QStyle::SP_FileDialogDetailedView));
  return QIcon::fromTheme(QStringLiteral("text-x-generic"), style->standardIcon(QStyle::SP_FileIcon));
}

TApplicationsForm::TApplicationsForm(QWidget *owner, const QStringList &apps)
    : QDialog(owner), ChooseFile(DefaultChooseFile) {
  setWindowTitle(Tr(QStringLiteral("Automatically Starting Applications")));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);
  ListApps = new QTreeWidget(this);
  ListApps->setColumnCount(1);
  ListApps->setHeaderLabels({Tr(QStringLiteral("Application"))});
  ListApps->setRootIsDecorated(false);
  ListApps->setSelectionMode(QAbstractItemView::SingleSelection);
  ListApps->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::SelectedClicked);
  ListApps->setMinimumSize(460, 200);
  for (const QString &entry : apps) AppendRow(entry);
  // An edited command line may name another program.
  connect(ListApps, &QTreeWidget::itemChanged, this, &TApplicationsForm::ItemChanged);

  ButtonAdd = new QPushButton(Tr(QStringLiteral("&Add")), this);
  ButtonDelete = new QPushButton(Tr(QStringLiteral("&Delete")), this);
  connect(ButtonAdd, &QPushButton::clicked, this, &TApplicationsForm::AddClicked);
  connect(ButtonDelete, &QPushButton::clicked, this, &TApplicationsForm::DeleteClicked);
  auto enableDelete = [this] { ButtonDelete->setEnabled(!ListApps->selectedItems().isEmpty()); };
  connect(ListApps, &QTreeWidget::itemSelectionChanged, this, enableDelete);
  enableDelete();

  auto *buttons = new QDialogButtonBox(this);
  ButtonOK = buttons->addButton(Tr(QStringLiteral("&OK")), QDialogButtonBox::AcceptRole);
  ButtonCancel = buttons->addButton(Tr(QStringLiteral("&Cancel")), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto *side = new QVBoxLayout;
  side->addWidget(ButtonAdd);
  side->addWidget(ButtonDelete);
  side->addStretch();
  auto *top = new QHBoxLayout;
  top->addWidget(ListApps);
  top->addLayout(side);
  auto *layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(buttons);
}

void TApplicationsForm::AppendRow(const QString &entry) {
  auto *item = new QTreeWidgetItem(ListApps, {entry});
  item->setFlags(item->flags() | Qt::ItemIsEditable);
  item->setIcon(0, ProgramIcon(entry));
}

void TApplicationsForm::ItemChanged(QTreeWidgetItem *item) {
  const QSignalBlocker blocker(ListApps);  // setting the icon changes the item again
  item->setIcon(0, ProgramIcon(item->text(0)));
}

void TApplicationsForm::AddClicked() {
  QString path = ChooseFile ? ChooseFile(this) : QString();
  if (path.isEmpty()) return;
  {
    const QSignalBlocker blocker(ListApps);
    AppendRow(AppListEntry(path));
  }
  ListApps->setCurrentItem(ListApps->topLevelItem(ListApps->topLevelItemCount() - 1));
}

void TApplicationsForm::DeleteClicked() {
  const QList<QTreeWidgetItem *> selected = ListApps->selectedItems();
  for (QTreeWidgetItem *item : selected) delete item;
}

QStringList TApplicationsForm::Applications() const {
  QStringList apps;
  for (int i = 0; i < ListApps->topLevelItemCount(); ++i) {
    // A row edited to nothing would fail to start at every start.
    QString entry = ListApps->topLevelItem(i)->text(0).trimmed();
    if (!entry.isEmpty()) apps << entry;
  }
  return apps;
}

bool ShowApplicationsDialog(QWidget *owner, QStringList &apps) {
  TApplicationsForm form(owner, apps);
  if (form.exec() != QDialog::Accepted) return false;
  apps = form.Applications();
  return true;
}

}  // namespace Ramdeck
