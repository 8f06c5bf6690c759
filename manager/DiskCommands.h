// What the command line asks of the manager's disks. The command-line
// processor calls these in the order the words come; the main window (and
// a headless runner) carries them out on the configured disks, reporting
// a disk operation's own failure itself and going on, and throwing
// Ramdeck::Exception only for what stops the command line (an import file
// that cannot be read).
#pragma once

#include <QChar>
#include <QString>
#include <cstdint>

#include "VolumeTypes.h"

namespace Ramdeck {

// The disk described by an add command; every other option is off.
struct TNewDiskParams {
  bool Boot = false;  // type=boot; otherwise a logon disk
  QChar Letter;       // upper case
  TFileSystemType FileSystem = fsRAW;
  QString ImageFile;  // empty: none
  uint64_t Size = 0;  // bytes; not read when an image is given
  QString Label;
  bool SaveToImage = false;
  bool Mount = true;
};

class TDiskCommandTarget {
 public:
  virtual ~TDiskCommandTarget() = default;
  // A configured disk has this letter (upper case).
  virtual bool HasDisk(QChar letter) const = 0;
  // Adds the logon and boot disks of an exported file, saves the
  // configuration and redraws.
  virtual void ImportDisks(const QString &fileName) = 0;
  virtual void MountDisk(QChar letter) = 0;
  virtual void MountAllDisks() = 0;
  virtual void UnmountDisk(QChar letter, bool force) = 0;
  virtual void UnmountAllDisks(bool force) = 0;
  virtual void DeleteDisk(QChar letter, bool force) = 0;
  virtual void DeleteAllDisks(bool force) = 0;  // from the last to the first
  virtual void AddDisk(const TNewDiskParams &params) = 0;
  virtual void SaveDisk(QChar letter) = 0;
  // Every mounted disk with save-to-image set and an image file.
  virtual void SaveAllDisks() = 0;
};

}  // namespace Ramdeck
