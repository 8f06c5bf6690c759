// The logic of the "Windows Temporary Folder" dialog, which points the
// user's TEMP and TMP variables at a folder (typically on a RAM disk), and
// the start-up checks of the manager's own TEMP and TMP. The windows show
// what these return.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace Ramdeck {

// What the dialog shows on opening: the user's TEMP and TMP (also its
// "previous values") and the history for both drop-down lists.
struct TTempVariables {
  bool Opened = false;  // the user's "Environment" key could be read
  QString Temp;
  QString Tmp;
  QStringList History;
};

// The entries of the comma-separated history (`TempBackup`), empty ones left out.
QStringList SplitTempHistory(const QString &tempBackup);

// TEMP and TMP of HKEY_CURRENT_USER\Environment and the history; when the
// key cannot be opened, the fields stay empty (and so does the history,
// as the dialog's lists do).
TTempVariables ReadTempVariables(const QString &tempBackup);

// The value the TEMP field gives both variables: its text without a
// trailing backslash ("R:\Temp\" is "R:\Temp").
QString TempFolderValue(const QString &tempField);

// Writes TempFolderValue(tempField) to TEMP and TMP of the user's
// environment as expandable strings and tells every top-level window that
// the environment changed (WM_SETTINGCHANGE "Environment"). False, with
// nothing written, when the key cannot be opened for writing.
bool ApplyTempFolder(const QString &tempField);

// The new history (the text of `TempBackup`): every entry of both lists,
// and each previous value whose field now differs from it (its first
// letter upper-cased), sorted without regard to case and without
// duplicates or empty entries, joined with commas.
QString UpdateTempHistory(const QStringList &tempList, const QStringList &tmpList,
                          const QString &previousTemp, const QString &tempField,
                          const QString &previousTmp, const QString &tmpField);

// The start-up checks of TEMP and TMP (the manager's own environment).
// `isMemoryVolume` tells whether a memory volume has the drive letter.
struct TTempCheck {
  // Drive letters are session-local and TEMP or TMP is on a RAM disk:
  // installation programs that run elsewhere may not find it.
  bool OnLocalRamDisk = false;
  // TEMP or TMP is a RAM disk's root (ends with ":" or "\"), and the user
  // has not turned the warning off.
  bool AtRamDiskRoot = false;
};
TTempCheck CheckTempVariables(const QString &temp, const QString &tmp, bool localLinks,
                              bool showTempRootWarning,
                              const std::function<bool(QChar)> &isMemoryVolume);
// The same for the process's own TEMP and TMP.
TTempCheck CheckOwnTempVariables(bool localLinks, bool showTempRootWarning,
                                 const std::function<bool(QChar)> &isMemoryVolume);

}  // namespace Ramdeck
