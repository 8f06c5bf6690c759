// The image dialogs: create an image file, mount an image as a volume, and
// unmount an image-backed engine volume.
#pragma once

#include <QChar>
#include <QDialog>
#include <QString>
#include <memory>

#include "VolumeTypes.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QToolButton;
class QTreeWidget;

namespace Ramdeck {

class TImageCreator;
class TManagerCore;
class TOpenVolumeList;

class TCreateImageForm : public QDialog {
  Q_OBJECT
 public:
  explicit TCreateImageForm(QWidget *owner);

  // The dialog's results in the creator: name, size in bytes, file system,
  // the label made fit for that file system, HDD emulation.
  void FillCreator(TImageCreator &creator) const;

  QLineEdit *FFileName;
  QToolButton *FBrowse;
  QLabel *FFreeSpace;
  QSpinBox *FSize;
  QComboBox *FFileSystem;
  QLineEdit *FLabel;
  QComboBox *FImageType;
  QPushButton *FOK;

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  void FileNameChanged();
  void FitHeight();

  bool invalidName_ = false;
};

class TMountImageForm : public QDialog {
  Q_OBJECT
 public:
  explicit TMountImageForm(QWidget *owner);
  void CheckAndAccept();

  QLineEdit *FFileName;
  QToolButton *FBrowse;
  QComboBox *FLetter;
  QCheckBox *FHDDEmulation;
  QPushButton *FOK;
};

class TUnmountImageForm : public QDialog {
  Q_OBJECT
 public:
  TUnmountImageForm(QWidget *owner, TManagerCore &core);
  ~TUnmountImageForm() override;
  // The engine's image volumes listed again (the engine removed one).
  void RefreshList();
  // Dismounts the selected volume; closes after success.
  void DismountSelected();

  QTreeWidget *FVolumes;
  QPushButton *FOK;

 private:
  TManagerCore &core_;
  std::unique_ptr<TOpenVolumeList> volumes_;
};

// A path the create-image dialog may take: rooted ("X:\..." or "\...") and
// not a network path.
bool IsLocalRootedPath(const QString &path);
// Characters Windows refuses in a path ('<', '>', '"', '|', '?', '*',
// controls, a ':' other than the drive's).
bool HasInvalidPathCharacters(const QString &path);

bool ShowCreateImageDialog(QWidget *owner, TImageCreator &creator);
bool ShowMountImageDialog(QWidget *owner, QString &imageFile, QChar &letter, bool &hdd);
void ShowUnmountImageDialog(QWidget *owner, TManagerCore &core);

}  // namespace Ramdeck
