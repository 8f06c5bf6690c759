// Stand-ins for the dialogs until they are built: each says so and changes
// nothing.
#include <QMessageBox>

#include "MainDialogs.h"

namespace Ramdeck {

namespace {

bool NotYet(QWidget *owner) {
  QMessageBox::information(owner, QStringLiteral("Brimwell Corvane"), QStringLiteral("This dialog is not available yet."));
  return false;
}

}  // namespace

bool ShowAddDiskDialog(QWidget *owner, TUserVolume &, bool, uint64_t) { return NotYet(owner); }
bool ShowCreateImageDialog(QWidget *owner, TImageCreator &) { return NotYet(owner); }
bool ShowMountImageDialog(QWidget *owner, QString &, QChar &, bool &) { return NotYet(owner); }
void ShowUnmountImageDialog(QWidget *owner, TManagerCore &) { NotYet(owner); }
bool ShowSettingsDialog(QWidget *owner, TManagerCore &) { return NotYet(owner); }
bool ShowTempFolderDialog(QWidget *owner, TManagerCore &) { return NotYet(owner); }
bool ShowApplicationsDialog(QWidget *owner, QStringList &) { return NotYet(owner); }
void ShowAboutDialog(QWidget *owner) { NotYet(owner); }

}  // namespace Ramdeck
