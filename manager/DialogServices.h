// What the disk and image dialogs ask of the system and of the user outside
// their own controls: free memory, drive letters, files, NUMA nodes, free
// disk space, the image creation, the busy window, message boxes and file
// browsing. Each is a replaceable function so that tests drive the real
// dialogs with a given machine and answer the boxes without blocking.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>

namespace Ramdeck {

class TImageCreator;

enum class TBoxKind { Information, Error, Warning };

struct TDialogSystem {
  // Bytes of memory the engine may still take (GetFreeMemory).
  std::function<uint64_t()> FreeMemory;
  // Bit n set: letter 'A' + n is in use (GetLogicalDrives).
  std::function<uint32_t()> LogicalDrives;
  std::function<bool(const QString &)> FileExists;
  // The size of a file opened for reading; none when it cannot be opened.
  std::function<std::optional<uint64_t>(const QString &)> ReadableFileSize;
  // The highest NUMA node number; none when the system cannot tell.
  std::function<std::optional<uint32_t>()> HighestNumaNode;
  std::function<bool()> Windows8OrLater;
  // Bytes the user may still write on the drive of `root` ("C:\"); 0 when
  // unknown.
  std::function<uint64_t(const QString &root)> FreeDiskSpace;
  // Makes the image file; throws EVolumeError.
  std::function<void(TImageCreator &)> CreateImage;
  // Shows the busy window with the text; an empty text hides it.
  std::function<void(const QString &)> SetBusy;
  // A message box; `question`: Yes/No, returning whether Yes was chosen.
  // An empty caption is the system's default caption.
  std::function<bool(QWidget *owner, TBoxKind kind, const QString &caption, const QString &text, bool question)>
      MessageBox;
  // A file chosen to open or to save ("" when cancelled), as a Windows path.
  std::function<QString(QWidget *owner, const QString &current, const QString &filter)> BrowseOpen;
  std::function<QString(QWidget *owner, const QString &current, const QString &filter, const QString &defaultSuffix)>
      BrowseSave;
};

// The program's services (the real system by default); tests replace
// members and call ResetDialogSystem() afterwards.
TDialogSystem &DialogSystem();
void ResetDialogSystem();

// Shorthands over DialogSystem().MessageBox.
void ShowDialogInformation(QWidget *owner, const QString &caption, const QString &text);
void ShowDialogError(QWidget *owner, const QString &caption, const QString &text);
bool AskDialogWarning(QWidget *owner, const QString &caption, const QString &text);

// "Brimwell Volume Image (*.img)", translated.
QString ImageFileFilter();
// A host file system path as the stand-in's Windows path (the host's root is
// Z:); a Windows path stays as it is.
QString WindowsPathOfChosenFile(const QString &path);
// "A:" .. "Z:" of the letters GetLogicalDrives does not report.
QStringList FreeLetterItems();

}  // namespace Ramdeck
