#include "ImageDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "DialogServices.h"
#include "ManagerCore.h"
#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

namespace {

constexpr uint64_t kMB = 1048576;

QPushButton *AddOkCancel(QDialog *dialog, QVBoxLayout *layout) {
  auto *buttons = new QDialogButtonBox(dialog);
  auto *ok = buttons->addButton(Tr(QStringLiteral("&OK")), QDialogButtonBox::AcceptRole);
  auto *cancel = buttons->addButton(Tr(QStringLiteral("&Cancel")), QDialogButtonBox::RejectRole);
  ok->setDefault(true);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  layout->addWidget(buttons);
  return ok;
}

QToolButton *BrowseButton(QWidget *parent) {
  auto *button = new QToolButton(parent);
  button->setIcon(parent->style()->standardIcon(QStyle::SP_DirOpenIcon));
  button->setToolTip(Tr(QStringLiteral("&Browse")).remove(u'&'));
  return button;
}

// The "Image File Name" row: the name field and its browse button.
void AddImageNameRow(QWidget *parent, QFormLayout *form, QLineEdit **name, QToolButton **browse) {
  auto *row = new QHBoxLayout;
  *name = new QLineEdit(parent);
  *browse = BrowseButton(parent);
  row->addWidget(*name);
  row->addWidget(*browse);
  form->addRow(Tr(QStringLiteral("Image File Name")), row);
}

bool IsSeparator(QChar c) { return c == u'\\' || c == u'/'; }

bool HasDrive(const QString &path) { return path.size() >= 2 && path[1] == u':' && path[0].isLetter(); }

}  // namespace

bool IsLocalRootedPath(const QString &path) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;  // \\server\share
  if (HasDrive(path)) return path.size() >= 3 && IsSeparator(path[2]);
  return !path.isEmpty() && IsSeparator(path[0]);
}

bool HasInvalidPathCharacters(const QString &path) {
  for (int i = 0; i < path.size(); ++i) {
    QChar c = path[i];
    if (c.unicode() < 32 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') return true;
    if (c == u':' && !(i == 1 && HasDrive(path))) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Create image.

TCreateImageForm::TCreateImageForm(QWidget *owner) : QDialog(owner) {
  setWindowTitle(Tr(QStringLiteral("Create Image")));
  auto *layout = new QVBoxLayout(this);
  auto *form = new QFormLayout;
  AddImageNameRow(this, form, &FFileName, &FBrowse);
  FFreeSpace = new QLabel(this);
  QFont bold = FFreeSpace->font();
  bold.setBold(true);
  FFreeSpace->setFont(bold);
  FFreeSpace->hide();
  form->addRow(FFreeSpace);
  FSize = new QSpinBox(this);
  FSize->setRange(1, 2147483647);
  FSize->setValue(1);
  form->addRow(Tr(QStringLiteral("Size (MB)")), FSize);
  FFileSystem = new QComboBox(this);
  FFileSystem->addItems({QStringLiteral("RAW"), QStringLiteral("FAT"), QStringLiteral("FAT32"), QStringLiteral("NTFS")});
  form->addRow(Tr(QStringLiteral("File System")), FFileSystem);
  FLabel = new QLineEdit(this);
  form->addRow(Tr(QStringLiteral("Volume Label")), FLabel);
  FImageType = new QComboBox(this);
  FImageType->addItems({Tr(QStringLiteral("Volume")), Tr(QStringLiteral("Hard Disk"))});
  form->addRow(Tr(QStringLiteral("Image Type")), FImageType);
  layout->addLayout(form);
  FOK = AddOkCancel(this, layout);
  connect(FOK, &QPushButton::clicked, this, &QDialog::accept);

  connect(FFileName, &QLineEdit::textChanged, this, &TCreateImageForm::FileNameChanged);
  connect(FFileSystem, &QComboBox::currentIndexChanged, this,
          [this](int index) { FLabel->setEnabled(index != fsRAW); });
  connect(FBrowse, &QToolButton::clicked, this, [this] {
    QString name = DialogSystem().BrowseSave(this, FFileName->text(), ImageFileFilter(), QStringLiteral("img"));
    if (!name.isEmpty()) FFileName->setText(name);
  });
  FLabel->setEnabled(false);
  FileNameChanged();
  setFixedSize(sizeHint().expandedTo(QSize(420, 0)));
}

void TCreateImageForm::FileNameChanged() {
  QString name = FFileName->text();
  uint64_t freeBytes = 0;
  QString drive = HasDrive(name) ? name.left(2).toUpper() : QString();
  if (!drive.isEmpty()) freeBytes = DialogSystem().FreeDiskSpace(drive + u'\\');
  FFreeSpace->setText(FormatText(Tr(QStringLiteral("Free Space on %s\\ %u MB")),
                                 {drive, QString::number(freeBytes / kMB)}));
  FFreeSpace->setVisible(freeBytes / kMB != 0);
  if (isVisible()) FitHeight();
  bool invalid = HasInvalidPathCharacters(name);
  FOK->setEnabled(!invalid && IsLocalRootedPath(name));
  // Told once when the name turns invalid, not again at every key typed
  // after it.
  if (invalid && !invalidName_) ShowDialogError(this, QString(), Tr(QStringLiteral("Illegal characters in path.")));
  invalidName_ = invalid;
}

// The dialog's size is fixed: it follows the free-space line, so that no
// other row is squeezed.
void TCreateImageForm::FitHeight() {
  layout()->activate();
  setFixedHeight(sizeHint().height());
}

void TCreateImageForm::showEvent(QShowEvent *event) {
  FitHeight();
  QDialog::showEvent(event);
}

void TCreateImageForm::FillCreator(TImageCreator &creator) const {
  auto fileSystem = static_cast<TFileSystemType>(FFileSystem->currentIndex());
  creator.FFileName = FFileName->text();
  creator.FImageSize = static_cast<uint64_t>(FSize->value()) * kMB;
  creator.FFileSystem = fileSystem;
  creator.FVolumeLabel = QString::fromLatin1(MakeVolumeLabel(fileSystem, FLabel->text()));
  creator.FHDDEmulation = FImageType->currentIndex() == 1;
}

bool ShowCreateImageDialog(QWidget *owner, TImageCreator &creator) {
  TCreateImageForm form(owner);
  if (form.exec() != QDialog::Accepted) return false;
  form.FillCreator(creator);
  return true;
}

// ---------------------------------------------------------------------------
// Mount image.

TMountImageForm::TMountImageForm(QWidget *owner) : QDialog(owner) {
  setWindowTitle(Tr(QStringLiteral("Mount Image")));
  auto *layout = new QVBoxLayout(this);
  auto *form = new QFormLayout;
  AddImageNameRow(this, form, &FFileName, &FBrowse);
  FLetter = new QComboBox(this);
  FLetter->addItems(FreeLetterItems());
  FLetter->setCurrentIndex(FLetter->count() ? 0 : -1);
  form->addRow(Tr(QStringLiteral("Drive Letter")), FLetter);
  FHDDEmulation = new QCheckBox(Tr(QStringLiteral("&Hard Disk Emulation (slower)")), this);
  form->addRow(FHDDEmulation);
  layout->addLayout(form);
  FOK = AddOkCancel(this, layout);
  connect(FOK, &QPushButton::clicked, this, &TMountImageForm::CheckAndAccept);
  connect(FBrowse, &QToolButton::clicked, this, [this] {
    QString name = DialogSystem().BrowseOpen(this, FFileName->text(), ImageFileFilter());
    if (!name.isEmpty()) FFileName->setText(name);
  });
  setFixedSize(sizeHint().expandedTo(QSize(420, 0)));
}

void TMountImageForm::CheckAndAccept() {
  if (!DialogSystem().FileExists(FFileName->text())) {
    ShowDialogInformation(this, QString(), Tr(QStringLiteral("Specified image file does not exist")));
    return;
  }
  accept();
}

bool ShowMountImageDialog(QWidget *owner, QString &imageFile, QChar &letter, bool &hdd) {
  TMountImageForm form(owner);
  if (form.exec() != QDialog::Accepted) return false;
  imageFile = form.FFileName->text();
  QString item = form.FLetter->currentText();
  letter = item.isEmpty() ? QChar() : item.at(0);
  hdd = form.FHDDEmulation->isChecked();
  return true;
}

// ---------------------------------------------------------------------------
// Unmount image.

TUnmountImageForm::TUnmountImageForm(QWidget *owner, TManagerCore &core) : QDialog(owner), core_(core) {
  setWindowTitle(Tr(QStringLiteral("Unmount Image")));
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Tr(QStringLiteral("Currently mounted images")), this));
  FVolumes = new QTreeWidget(this);
  FVolumes->setRootIsDecorated(false);
  FVolumes->setHeaderLabels(
      {Tr(QStringLiteral("Drive Letter")), Tr(QStringLiteral("Size (MB)")), Tr(QStringLiteral("Image File"))});
  FVolumes->header()->setStretchLastSection(true);
  // Letter and size as wide as their headings, which translations lengthen.
  FVolumes->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  FVolumes->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  layout->addWidget(FVolumes);
  FOK = AddOkCancel(this, layout);
  connect(FOK, &QPushButton::clicked, this, &TUnmountImageForm::DismountSelected);
  // The engine's reports reach the window first; the list follows them.
  connect(&core_, &TManagerCore::EngineEvent, this, &TUnmountImageForm::RefreshList, Qt::QueuedConnection);
  RefreshList();
  setFixedSize(QSize(520, 300));
}

TUnmountImageForm::~TUnmountImageForm() = default;

void TUnmountImageForm::RefreshList() {
  FVolumes->clear();
  volumes_.reset();
  try {
    volumes_ = std::make_unique<TOpenVolumeList>(etFile);
  } catch (const Exception &e) {
    ShowDialogError(this, QString(), e.Message());
    return;
  }
  for (int i = 0; i < volumes_->Count(); ++i) {
    TOpenVolume *volume = volumes_->Items(i);
    auto *item = new QTreeWidgetItem(
        FVolumes, {QString(volume->Letter()) + u':', QString::number(volume->Size() / kMB), volume->ImageFile()});
    item->setData(0, Qt::UserRole, i);
  }
}

void TUnmountImageForm::DismountSelected() {
  QTreeWidgetItem *item = FVolumes->currentItem();
  if (!item || !volumes_) return;
  // A copy: the list is made again when the engine reports the removal
  // while the dismount waits for it.
  TOpenVolume volume = *volumes_->Items(item->data(0, Qt::UserRole).toInt());
  try {
    if (!core_.DismountOpenVolume(volume)) return;
  } catch (const Exception &e) {
    ShowDialogError(this, QString(), e.Message());
    return;
  }
  accept();
}

void ShowUnmountImageDialog(QWidget *owner, TManagerCore &core) {
  TUnmountImageForm form(owner, core);
  form.exec();
}

}  // namespace Ramdeck
