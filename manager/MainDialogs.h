// The dialogs the main window opens, each behind one function: the window
// knows nothing of their fields, and tests put doubles in their place
// (TBWMainGUIForm::TDialogs).
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <cstdint>

class QWidget;

namespace Ramdeck {

class TUserVolume;
class TImageCreator;
class TManagerCore;

// The disk dialog on `disk` (a new or a configured one); `usedFreeMemory`:
// memory the disk gives back when it is remounted, counted as free.
bool ShowAddDiskDialog(QWidget *owner, TUserVolume &disk, bool boot, uint64_t usedFreeMemory);
bool ShowCreateImageDialog(QWidget *owner, TImageCreator &creator);
bool ShowMountImageDialog(QWidget *owner, QString &imageFile, QChar &letter, bool &hdd);
void ShowUnmountImageDialog(QWidget *owner, TManagerCore &core);
bool ShowSettingsDialog(QWidget *owner, TManagerCore &core);
bool ShowTempFolderDialog(QWidget *owner, TManagerCore &core);
bool ShowApplicationsDialog(QWidget *owner, QStringList &apps);
void ShowAboutDialog(QWidget *owner);

}  // namespace Ramdeck
