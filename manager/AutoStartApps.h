// The applications the manager starts each time it starts, after the disks
// are mounted: one command line each, kept in the configuration file's
// "autorun" list.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace Ramdeck {

// A command line split for the shell: the program (with its quotes, if it
// had any) and the parameter string.
struct TAppCommand {
  QString Program;
  QString Parameters;
};

// Splits at the first space outside double quotes; without one the whole
// text is the program.
TAppCommand SplitAppCommandLine(const QString &commandLine);


// A program path as the list keeps it: in double quotes when it has a space.
QString AppListEntry(const QString &programPath);

// The program of an entry, for showing its icon: enclosing quotes removed,
// variables expanded, and while the text names no existing file, cut at
// its last space (quotes removed again). Empty when nothing is left.
QString AppIconProgram(const QString &entry, const std::function<bool(const QString &)> &fileExists);

class TAutoStartingApps {
 public:
  QStringList Items;

  // Starts every entry in list order. A failure is reported through
  // `onError` ("Application", ": " and the system's text) and the next
  // entry is started all the same. Returns how many started.
  int StartAll(const std::function<void(const QString &)> &onError) const;
  // Starts one entry; false with the last error set when it could not.
  static bool Start(const QString &entry);
};

}  // namespace Ramdeck
