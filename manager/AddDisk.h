// The disk dialog (add or edit a RAM disk) and its advanced-properties
// dialog. They check the user's input and hand it back; the main window acts
// on it. Only the dialog's "create image" button touches anything before OK.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "VolumeTypes.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QToolButton;

namespace Ramdeck {

class TUserVolume;
class TImageCreator;

// Which of the advanced properties may be changed, decided by the disk
// dialog from its file system and image.
struct TAdvancedSwitches {
  bool LabelEditable = false;
  bool CompressionEditable = false;
  bool FlushEditable = false;
};

class TAddDiskMoreSettingsForm : public QDialog {
  Q_OBJECT
 public:
  TAddDiskMoreSettingsForm(QWidget *owner, TAdvancedSwitches switches);

  // Loaded before exec(), read after OK.
  QString VolumeLabel() const;
  void SetVolumeLabel(const QString &label);
  bool VolumeCompression() const;
  void SetVolumeCompression(bool on);
  bool AutoFlush() const;
  void SetAutoFlush(bool on);
  int AutoFlushTime() const;
  void SetAutoFlushTime(int minutes);
  // A node missing from the list leaves no entry selected; NumaNode() then
  // gives back the node it was set to, so OK keeps the stored node.
  uint32_t NumaNode() const;
  void SetNumaNode(uint32_t node);
  bool SpecNuma() const;
  void SetSpecNuma(bool on);

  QLineEdit *FLabel;
  QCheckBox *FCompression;
  QCheckBox *FAutoFlush;
  QSpinBox *FFlushMinutes;
  QComboBox *FNumaNodes;
  QCheckBox *FSpecNuma;
  QPushButton *FOK;

 private:
  void UpdateEnabling();

  TAdvancedSwitches switches_;
  uint32_t numaNode_ = 0;
};

class TAddDiskForm : public QDialog {
  Q_OBJECT
 public:
  // `usedFreeMemory`: bytes that become free again when the edited disk is
  // remounted (its size when it is mounted), else 0.
  TAddDiskForm(QWidget *owner, bool bootDisk, uint64_t usedFreeMemory);

  uint64_t Size() const;  // bytes
  void SetSize(uint64_t bytes);
  QString ImageFile() const;
  void SetImageFile(const QString &fileName);
  QChar Letter() const;
  // The letter is added to the list when it is missing (editing a disk
  // whose letter is in use by the disk itself) and selected.
  void SetLetter(QChar letter);
  bool SaveToImage() const;
  void SetSaveToImage(bool on);
  TFileSystemType FileSystem() const;
  void SetFileSystem(TFileSystemType fileSystem);
  QStringList CreateFolders() const;
  void SetCreateFolders(const QStringList &folders);
  bool Removable() const;
  void SetRemovable(bool on);
  bool HDDEmulation() const;
  void SetHDDEmulation(bool on);
  bool EraseEnabled() const;
  void SetEraseEnabled(bool on);

  // Held by the dialog, changed through the advanced dialog.
  QString VolumeLabel;
  bool VolumeCompression = false;
  bool AutoFlush = false;
  int AutoFlushTime = 60;
  uint32_t NumaNode = 0;
  bool SpecNuma = false;

  // The switches the advanced dialog opens with.
  TAdvancedSwitches AdvancedSwitches() const;
  // Runs the checks; on success adjusts the fields and accepts.
  void CheckAndAccept();

  QLabel *FFreeMemory;
  QSpinBox *FSize;
  QLabel *FSizeLabel;
  QLineEdit *FImage;
  QToolButton *FCreateImage;
  QToolButton *FBrowseImage;
  QLabel *FImageSize;
  QComboBox *FLetter;
  QCheckBox *FRemovable;
  QCheckBox *FWipe;
  QCheckBox *FSaveToImage;
  QCheckBox *FHDDEmulation;
  QComboBox *FFileSystem;
  QLabel *FFoldersLabel;
  QPlainTextEdit *FFolders;
  QPushButton *FAdvanced;
  QPushButton *FOK;
  QPushButton *FCancel;

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  void FitHeight();
  uint64_t AvailableBytes() const;
  void UpdateEnabling();
  void ImageChanged();
  void OpenAdvanced();
  void CreateImageFile();
  void BrowseImage();
  void Inform(const QString &text);

  bool bootDisk_;
  uint64_t usedFreeMemory_;
};

// The size limits a file system puts on a disk, in MB; false for RAW.
bool FileSystemSizeRange(TFileSystemType fileSystem, uint32_t &low, uint32_t &high);
// The largest disk in MB that the available bytes allow: 95 % of them,
// rounded to the nearest (halves to even).
uint64_t MemoryLimitMB(uint64_t availableBytes);

// Shows the disk dialog filled from `disk` (a disk without a letter is a new
// one) and on OK writes the values back. `usedFreeMemory` as above.
bool ShowAddDiskDialog(QWidget *owner, TUserVolume &disk, bool boot, uint64_t usedFreeMemory);

}  // namespace Ramdeck
