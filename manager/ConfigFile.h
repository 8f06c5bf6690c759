// The machine-wide configuration file (settings, logon disks, applications
// to start) and the export/import format of disks: one XML document whose
// sections a mask selects.
#pragma once

#include <QString>
#include <QStringList>

#include "Volumes.h"

namespace Ramdeck {

// The settings the file keeps for every user of the computer.
struct TConfigSettings {
  bool UserAccess = true;   // non-administrators may change settings and disks
  bool LocalLinks = false;  // drive letters only in the user's session
  bool TrayIcon = true;
  bool AllowEject = true;   // honour eject requests of removable RAM disks
};

// Section mask bits.
enum : int {
  cfConfig = 1,     // config, autorun and the logon disks
  cfLogon = 2,      // the logon disks
  cfBoot = 4,       // the boot disks
  cfExport = cfLogon | cfBoot,
};

class TConfigFile {
 public:
  TConfigFile(TUserVolumeList &Disks, TConfigSettings &Settings, QStringList &Applications)
      : FDisks(Disks), FSettings(Settings), FApplications(Applications) {}

  // "<common application data>\Brimwell\Ramdeck\Ramdeck.xml", its folder
  // made with all parents; Exception when the folder cannot be determined.
  static QString DefaultPath();

  // A complete new document replacing the file (empty path: DefaultPath).
  void Write(int Mask, const QString &FileName = QString()) const;
  // Nothing happens when the file does not exist. An error ends the read
  // where it happened: the disk being read is dropped, those appended stay.
  void Read(int Mask, const QString &FileName = QString());

 private:
  TUserVolumeList &FDisks;
  TConfigSettings &FSettings;
  QStringList &FApplications;
};

// The text-to-boolean rule of the file: true/false in any case, or a
// number (non-zero is true); false in *ok for anything else.
bool TextToBool(const QString &text, bool *ok);

}  // namespace Ramdeck
