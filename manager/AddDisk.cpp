#include "AddDisk.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "DialogServices.h"
#include "ImageDialogs.h"
#include "Language.h"
#include "ManagerCore.h"
#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

namespace {

constexpr uint64_t kMB = 1048576;
constexpr int kMaxSizeMB = 2147483647;

QString Caption() { return QString::fromUtf16(kApplicationTitle); }

QLabel *BoldLabel(QWidget *parent) {
  auto *label = new QLabel(parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QPushButton *AddOkCancel(QDialog *dialog, QVBoxLayout *layout, QPushButton **cancel = nullptr) {
  auto *buttons = new QDialogButtonBox(dialog);
  auto *ok = buttons->addButton(Tr(QStringLiteral("&OK")), QDialogButtonBox::AcceptRole);
  auto *no = buttons->addButton(Tr(QStringLiteral("&Cancel")), QDialogButtonBox::RejectRole);
  ok->setDefault(true);
  QObject::connect(no, &QPushButton::clicked, dialog, &QDialog::reject);
  layout->addWidget(buttons);
  if (cancel) *cancel = no;
  return ok;
}

bool IsEnglish() {
  TLanguage *language = TLanguage::Instance();
  return !language || language->IsEnglish();
}

}  // namespace

bool FileSystemSizeRange(TFileSystemType fileSystem, uint32_t &low, uint32_t &high) {
  switch (fileSystem) {
    case fsFAT: low = 1, high = 2047; return true;
    case fsFAT32: low = 16, high = 32767; return true;
    case fsNTFS: low = 5, high = 2097151; return true;
    default: return false;
  }
}

uint64_t MemoryLimitMB(uint64_t availableBytes) {
  // 95 % in whole numbers, so that the rounding of halves is exact.
  uint64_t hundredths = availableBytes / kMB * 95;
  uint64_t limit = hundredths / 100, rest = hundredths % 100;
  if (rest > 50 || (rest == 50 && (limit & 1))) ++limit;
  return limit;
}

// ---------------------------------------------------------------------------
// The advanced-properties dialog.

TAddDiskMoreSettingsForm::TAddDiskMoreSettingsForm(QWidget *owner, TAdvancedSwitches switches)
    : QDialog(owner), switches_(switches) {
  setWindowTitle(Tr(QStringLiteral("Advanced Disk Properties")));
  auto *layout = new QVBoxLayout(this);

  auto *identification = new QGroupBox(Tr(QStringLiteral("Disk Identification")), this);
  auto *identificationLayout = new QFormLayout(identification);
  FLabel = new QLineEdit(identification);
  FLabel->setMaxLength(32);
  identificationLayout->addRow(Tr(QStringLiteral("Volume Label")), FLabel);
  layout->addWidget(identification);

  auto *compression = new QGroupBox(Tr(QStringLiteral("Disk Compression")), this);
  auto *compressionLayout = new QVBoxLayout(compression);
  FCompression = new QCheckBox(Tr(QStringLiteral("Enable compression to save disk space")), compression);
  compressionLayout->addWidget(FCompression);
  layout->addWidget(compression);

  auto *image = new QGroupBox(Tr(QStringLiteral("Image Options")), this);
  auto *imageLayout = new QHBoxLayout(image);
  FAutoFlush = new QCheckBox(Tr(QStringLiteral("Save contents to associated image every, min")), image);
  FFlushMinutes = new QSpinBox(image);
  FFlushMinutes->setRange(1, 1440);
  FFlushMinutes->setSingleStep(5);
  imageLayout->addWidget(FAutoFlush);
  imageLayout->addWidget(FFlushMinutes);
  layout->addWidget(image);

  auto *numa = new QGroupBox(Tr(QStringLiteral("NUMA Node")), this);
  auto *numaLayout = new QVBoxLayout(numa);
  FNumaNodes = new QComboBox(numa);
  if (std::optional<uint32_t> highest = DialogSystem().HighestNumaNode())
    for (uint32_t node = 0; node <= *highest; ++node) FNumaNodes->addItem(QString::number(node), node);
  FSpecNuma = new QCheckBox(Tr(QStringLiteral("Allocate within the specified NUMA node only")), numa);
  numaLayout->addWidget(FNumaNodes);
  numaLayout->addWidget(FSpecNuma);
  layout->addWidget(numa);

  FOK = AddOkCancel(this, layout);
  connect(FOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(FAutoFlush, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });

  FLabel->setEnabled(switches_.LabelEditable);
  FCompression->setEnabled(switches_.CompressionEditable);
  FAutoFlush->setEnabled(switches_.FlushEditable);
  bool numaUsable = DialogSystem().Windows8OrLater() && FNumaNodes->count() > 0;
  FNumaNodes->setEnabled(numaUsable);
  FSpecNuma->setEnabled(numaUsable);
  UpdateEnabling();
  setFixedSize(sizeHint());
}

void TAddDiskMoreSettingsForm::UpdateEnabling() {
  FFlushMinutes->setEnabled(switches_.FlushEditable && FAutoFlush->isChecked());
}

QString TAddDiskMoreSettingsForm::VolumeLabel() const { return FLabel->text(); }
void TAddDiskMoreSettingsForm::SetVolumeLabel(const QString &label) { FLabel->setText(label); }
bool TAddDiskMoreSettingsForm::VolumeCompression() const { return FCompression->isChecked(); }
void TAddDiskMoreSettingsForm::SetVolumeCompression(bool on) { FCompression->setChecked(on); }
bool TAddDiskMoreSettingsForm::AutoFlush() const { return FAutoFlush->isChecked(); }
void TAddDiskMoreSettingsForm::SetAutoFlush(bool on) { FAutoFlush->setChecked(on); }
int TAddDiskMoreSettingsForm::AutoFlushTime() const { return FFlushMinutes->value(); }
void TAddDiskMoreSettingsForm::SetAutoFlushTime(int minutes) { FFlushMinutes->setValue(minutes); }
bool TAddDiskMoreSettingsForm::SpecNuma() const { return FSpecNuma->isChecked(); }
void TAddDiskMoreSettingsForm::SetSpecNuma(bool on) { FSpecNuma->setChecked(on); }

uint32_t TAddDiskMoreSettingsForm::NumaNode() const {
  int index = FNumaNodes->currentIndex();
  return index < 0 ? numaNode_ : FNumaNodes->itemData(index).toUInt();
}

void TAddDiskMoreSettingsForm::SetNumaNode(uint32_t node) {
  numaNode_ = node;
  FNumaNodes->setCurrentIndex(FNumaNodes->findData(node));
}

// ---------------------------------------------------------------------------
// The disk dialog.

TAddDiskForm::TAddDiskForm(QWidget *owner, bool bootDisk, uint64_t usedFreeMemory)
    : QDialog(owner), bootDisk_(bootDisk), usedFreeMemory_(usedFreeMemory) {
  setWindowTitle(Tr(QStringLiteral("Add/Edit Disk")));
  auto *layout = new QVBoxLayout(this);

  auto *info = new QGroupBox(Tr(QStringLiteral("Disk Information")), this);
  auto *infoLayout = new QFormLayout(info);
  FFreeMemory = BoldLabel(info);
  FFreeMemory->setText(FormatText(Tr(QStringLiteral("%u MB free")), {QString::number(AvailableBytes() / kMB)}));
  infoLayout->addRow(FFreeMemory);
  FSize = new QSpinBox(info);
  FSize->setRange(1, kMaxSizeMB);
  FSize->setValue(1);
  FSizeLabel = new QLabel(Tr(QStringLiteral("Size (MB)")), info);
  infoLayout->addRow(FSizeLabel, FSize);
  auto *imageRow = new QHBoxLayout;
  FImage = new QLineEdit(info);
  // Room for a path such as "C:\Images\projects.img" without scrolling.
  FImage->setMinimumWidth(FImage->fontMetrics().averageCharWidth() * 28);
  FCreateImage = new QToolButton(info);
  FCreateImage->setIcon(style()->standardIcon(QStyle::SP_FileIcon));
  FCreateImage->setToolTip(Tr(QStringLiteral("Create Image")));
  FBrowseImage = new QToolButton(info);
  FBrowseImage->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  FBrowseImage->setToolTip(Tr(QStringLiteral("&Browse")).remove(u'&'));
  imageRow->addWidget(FImage);
  imageRow->addWidget(FCreateImage);
  imageRow->addWidget(FBrowseImage);
  infoLayout->addRow(Tr(QStringLiteral("Image File Name (optional)")), imageRow);
  FImageSize = BoldLabel(info);
  FImageSize->hide();
  infoLayout->addRow(FImageSize);
  layout->addWidget(info);

  auto *mount = new QGroupBox(Tr(QStringLiteral("Mount Options")), this);
  auto *mountLayout = new QFormLayout(mount);
  FLetter = new QComboBox(mount);
  FLetter->addItems(FreeLetterItems());
  FLetter->setCurrentIndex(FLetter->count() ? 0 : -1);
  mountLayout->addRow(Tr(QStringLiteral("Drive Letter")), FLetter);
  FRemovable = new QCheckBox(Tr(QStringLiteral("Mount as &Removable")), mount);
  FWipe = new QCheckBox(Tr(QStringLiteral("&Wipe Memory on Dismount")), mount);
  FSaveToImage = new QCheckBox(Tr(QStringLiteral("&Save Contents to Image")), mount);
  FHDDEmulation = new QCheckBox(Tr(QStringLiteral("&Hard Disk Emulation (slower)")), mount);
  mountLayout->addRow(FRemovable);
  mountLayout->addRow(FWipe);
  mountLayout->addRow(FSaveToImage);
  mountLayout->addRow(FHDDEmulation);
  if (bootDisk_) FWipe->hide();
  layout->addWidget(mount);

  auto *files = new QGroupBox(Tr(QStringLiteral("File System Options")), this);
  auto *filesLayout = new QFormLayout(files);
  FFileSystem = new QComboBox(files);
  FFileSystem->addItems({QStringLiteral("RAW"), QStringLiteral("FAT"), QStringLiteral("FAT32"), QStringLiteral("NTFS")});
  FFileSystem->setCurrentIndex(fsRAW);
  filesLayout->addRow(Tr(QStringLiteral("File System")), FFileSystem);
  FFoldersLabel = new QLabel(Tr(QStringLiteral("Create Folders")), files);
  FFolders = new QPlainTextEdit(files);
  FFolders->setLineWrapMode(QPlainTextEdit::NoWrap);
  FFolders->setFixedHeight(FFolders->fontMetrics().lineSpacing() * 4 + 12);
  filesLayout->addRow(FFoldersLabel, FFolders);
  FAdvanced = new QPushButton(Tr(QStringLiteral("&Advanced")), files);
  filesLayout->addRow(QString(), FAdvanced);
  layout->addWidget(files);

  FOK = AddOkCancel(this, layout, &FCancel);
  connect(FOK, &QPushButton::clicked, this, &TAddDiskForm::CheckAndAccept);
  connect(FImage, &QLineEdit::textChanged, this, &TAddDiskForm::ImageChanged);
  connect(FFileSystem, &QComboBox::currentIndexChanged, this, &TAddDiskForm::UpdateEnabling);
  connect(FAdvanced, &QPushButton::clicked, this, &TAddDiskForm::OpenAdvanced);
  connect(FCreateImage, &QToolButton::clicked, this, &TAddDiskForm::CreateImageFile);
  connect(FBrowseImage, &QToolButton::clicked, this, &TAddDiskForm::BrowseImage);

  UpdateEnabling();
  QSize size = sizeHint();
  // Other languages' texts run longer than the English ones.
  if (!IsEnglish()) size.setWidth(size.width() * 5 / 4);
  setFixedSize(size);
}

uint64_t TAddDiskForm::AvailableBytes() const { return DialogSystem().FreeMemory() + usedFreeMemory_; }

uint64_t TAddDiskForm::Size() const { return static_cast<uint64_t>(FSize->value()) * kMB; }
void TAddDiskForm::SetSize(uint64_t bytes) {
  FSize->setValue(static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(bytes / kMB, 1), kMaxSizeMB)));
}
QString TAddDiskForm::ImageFile() const { return FImage->text(); }
void TAddDiskForm::SetImageFile(const QString &fileName) { FImage->setText(fileName); }
QChar TAddDiskForm::Letter() const {
  QString item = FLetter->currentText();
  return item.isEmpty() ? QChar() : item.at(0);
}
void TAddDiskForm::SetLetter(QChar letter) {
  if (letter.isNull()) return;
  QString item = QString(letter.toUpper()) + u':';
  int index = FLetter->findText(item);
  if (index < 0) {
    index = 0;
    while (index < FLetter->count() && FLetter->itemText(index) < item) ++index;
    FLetter->insertItem(index, item);
  }
  FLetter->setCurrentIndex(index);
}
bool TAddDiskForm::SaveToImage() const { return FSaveToImage->isChecked(); }
void TAddDiskForm::SetSaveToImage(bool on) { FSaveToImage->setChecked(on); }
TFileSystemType TAddDiskForm::FileSystem() const { return static_cast<TFileSystemType>(FFileSystem->currentIndex()); }
void TAddDiskForm::SetFileSystem(TFileSystemType fileSystem) { FFileSystem->setCurrentIndex(fileSystem); }
QStringList TAddDiskForm::CreateFolders() const {
  QString text = FFolders->toPlainText();
  if (text.isEmpty()) return {};
  QStringList lines = text.split(u'\n');
  if (lines.last().isEmpty()) lines.removeLast();
  return lines;
}
void TAddDiskForm::SetCreateFolders(const QStringList &folders) { FFolders->setPlainText(folders.join(u'\n')); }
bool TAddDiskForm::Removable() const { return FRemovable->isChecked(); }
void TAddDiskForm::SetRemovable(bool on) { FRemovable->setChecked(on); }
bool TAddDiskForm::HDDEmulation() const { return FHDDEmulation->isChecked(); }
void TAddDiskForm::SetHDDEmulation(bool on) { FHDDEmulation->setChecked(on); }
bool TAddDiskForm::EraseEnabled() const { return FWipe->isChecked(); }
void TAddDiskForm::SetEraseEnabled(bool on) { FWipe->setChecked(on); }

void TAddDiskForm::UpdateEnabling() {
  bool noImage = FImage->text().isEmpty();
  TFileSystemType fileSystem = FileSystem();
  FSize->setEnabled(noImage);
  FFileSystem->setEnabled(noImage);
  FWipe->setEnabled(noImage);
  FSaveToImage->setEnabled(!noImage);
  bool folders = noImage && fileSystem != fsRAW;
  FFolders->setEnabled(folders);
  FFoldersLabel->setEnabled(folders);
}

void TAddDiskForm::ImageChanged() {
  UpdateEnabling();
  QString name = FImage->text();
  std::optional<uint64_t> size;
  if (!name.isEmpty() && DialogSystem().FileExists(name)) size = DialogSystem().ReadableFileSize(name);
  if (size) {
    FImageSize->setText(FormatText(Tr(QStringLiteral("Size %u MB")), {QString::number(*size / kMB)}));
    FImageSize->show();
  } else {
    FImageSize->hide();
  }
  if (isVisible()) FitHeight();
}

// The dialog's size is fixed: it grows or shrinks by the image-size line, so
// that no other row is squeezed under its neighbour. The group's layout is
// settled first, or the dialog would still see the old line.
void TAddDiskForm::FitHeight() {
  FImageSize->parentWidget()->layout()->activate();
  layout()->activate();
  setFixedHeight(sizeHint().height());
}

// Filled before it is shown (an edited disk's image): fitted once here.
void TAddDiskForm::showEvent(QShowEvent *event) {
  FitHeight();
  QDialog::showEvent(event);
}

TAdvancedSwitches TAddDiskForm::AdvancedSwitches() const {
  TFileSystemType fileSystem = FileSystem();
  TAdvancedSwitches switches;
  switches.LabelEditable = fileSystem != fsRAW;
  switches.CompressionEditable = fileSystem == fsNTFS;
  switches.FlushEditable = !FImage->text().isEmpty() && FSaveToImage->isChecked();
  return switches;
}

void TAddDiskForm::OpenAdvanced() {
  TAddDiskMoreSettingsForm form(this, AdvancedSwitches());
  form.SetVolumeLabel(VolumeLabel);
  form.SetVolumeCompression(VolumeCompression);
  form.SetAutoFlush(AutoFlush);
  form.SetAutoFlushTime(AutoFlushTime);
  form.SetNumaNode(NumaNode);
  form.SetSpecNuma(SpecNuma);
  if (form.exec() != QDialog::Accepted) return;
  VolumeLabel = form.VolumeLabel();
  VolumeCompression = form.VolumeCompression();
  AutoFlush = form.AutoFlush();
  AutoFlushTime = form.AutoFlushTime();
  NumaNode = form.NumaNode();
  SpecNuma = form.SpecNuma();
}

void TAddDiskForm::CreateImageFile() {
  TImageCreator creator;
  if (!ShowCreateImageDialog(this, creator)) return;
  creator.FOverwrite = true;
  DialogSystem().SetBusy(Tr(QStringLiteral("Creating image...")));
  try {
    DialogSystem().CreateImage(creator);
  } catch (const EVolumeError &e) {
    DialogSystem().SetBusy(QString());
    ShowDialogError(this, Caption(), e.Message());
    return;
  }
  DialogSystem().SetBusy(QString());
  FImage->setText(creator.FFileName);
}

void TAddDiskForm::BrowseImage() {
  QString name = DialogSystem().BrowseOpen(this, FImage->text(), ImageFileFilter());
  if (!name.isEmpty()) FImage->setText(name);
}

void TAddDiskForm::Inform(const QString &text) { ShowDialogInformation(this, Caption(), text); }

void TAddDiskForm::CheckAndAccept() {
  QString image = FImage->text();
  bool hasImage = !image.isEmpty();
  TFileSystemType fileSystem = FileSystem();
  uint32_t low = 0, high = 0;
  if (!hasImage && FileSystemSizeRange(fileSystem, low, high) &&
      (static_cast<uint32_t>(FSize->value()) < low || static_cast<uint32_t>(FSize->value()) > high)) {
    Inform(FormatText(Tr(QStringLiteral("%s requires the disk to be %u to %u MB in size")),
                      {FFileSystem->currentText(), QString::number(low), QString::number(high)}));
    return;
  }
  if (hasImage && !DialogSystem().FileExists(image)) {
    Inform(Tr(QStringLiteral("Specified image file does not exist")));
    return;
  }
  if (bootDisk_) {
    for (const QString &line : CreateFolders()) {
      if (line.contains(u'\\') || line.contains(u'/')) {
        Inform(Tr(QStringLiteral("Nested folders are not allowed on a boot disk")));
        return;
      }
    }
  }
  uint64_t sizeMB = FSize->value();
  if (hasImage) sizeMB = DialogSystem().ReadableFileSize(image).value_or(0) / kMB;
  if (sizeMB < 1 || sizeMB > static_cast<uint64_t>(kMaxSizeMB)) {
    Inform(FormatText(Tr(QStringLiteral("RAM disk size must be between %d and %d MB")),
                      {QString::number(1), QString::number(kMaxSizeMB)}));
    return;
  }
  if (sizeMB > MemoryLimitMB(AvailableBytes())) {
    Inform(Tr(QStringLiteral("You cannot create a RAM disk exceeding 95% of the available RAM")));
    return;
  }
  FSize->setValue(static_cast<int>(sizeMB));
  for (QCheckBox *box : {FRemovable, FWipe, FSaveToImage, FHDDEmulation})
    if (!box->isEnabled()) box->setChecked(false);
  if (hasImage) {
    FFileSystem->setCurrentIndex(fsRAW);
    FFolders->clear();
  }
  accept();
}

bool ShowAddDiskDialog(QWidget *owner, TUserVolume &disk, bool boot, uint64_t usedFreeMemory) {
  TAddDiskForm form(owner, boot, usedFreeMemory);
  auto *logon = dynamic_cast<TLogonVolume *>(&disk);
  form.SetSize(disk.FSize);
  form.SetLetter(disk.FLetter);
  form.SetRemovable(disk.FRemovable);
  form.SetHDDEmulation(disk.FHDDEmulation);
  form.SetEraseEnabled(logon && logon->FWipeOnDismount);
  form.SetFileSystem(disk.FFileSystem);
  form.SetCreateFolders(disk.FCreateFolders);
  form.SetImageFile(disk.FImageFile);
  form.SetSaveToImage(disk.FSaveToImage);
  form.VolumeLabel = disk.FVolumeLabel;
  form.VolumeCompression = disk.FCompressed;
  form.AutoFlush = disk.FAutoFlushEnabled;
  form.AutoFlushTime = disk.FAutoFlushTimeMin > 0 ? disk.FAutoFlushTimeMin : 60;
  form.NumaNode = disk.FNumaNode;
  form.SpecNuma = disk.FSpecNuma;
  if (form.exec() != QDialog::Accepted) return false;
  disk.FSize = form.Size();
  disk.FImageFile = form.ImageFile();
  disk.SetLetter(form.Letter());
  disk.FSaveToImage = form.SaveToImage();
  disk.FFileSystem = form.FileSystem();
  disk.FVolumeLabel = form.VolumeLabel;
  // Only NTFS compresses.
  disk.FCompressed = form.FileSystem() == fsNTFS && form.VolumeCompression;
  disk.FCreateFolders = form.CreateFolders();
  disk.FAutoFlushEnabled = form.AutoFlush;
  disk.FAutoFlushTimeMin = form.AutoFlushTime;
  disk.FRemovable = form.Removable();
  disk.FHDDEmulation = form.HDDEmulation();
  disk.FNumaNode = form.NumaNode;
  disk.FSpecNuma = form.SpecNuma;
  if (logon) logon->FWipeOnDismount = form.EraseEnabled();
  return true;
}

}  // namespace Ramdeck
