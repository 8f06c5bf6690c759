// The manager's command line: the program switches examined at start, the
// split of a command line into words, and the disk commands carried out on
// the configured disks.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "DiskCommands.h"

namespace Ramdeck {

// A whole argument "/name" or "-name", any case, anywhere after the
// program's own path (arguments[0]).
bool HasSwitch(const QStringList &arguments, const QString &name);

// The words of a command line: a double quote toggles the quoted state and
// is dropped, a space outside quotes ends a word, empty words are left out.
QStringList SplitCommandLine(const QString &commandLine);

// The arguments of a process as one command line, quoted where a word
// needs it, so that SplitCommandLine gives them back.
QString JoinCommandLine(const QStringList &arguments);

// The new disk an add command's parameter list describes; ECmdLineError for
// a missing or malformed letter or size.
TNewDiskParams ParseNewDiskParams(const QString &parameters);

// Carries out the disk commands of a command line, in the order of its
// words, on `target`. What stops the command line (a parameter that does
// not fit, a disk that is not there, an import file that cannot be read)
// goes to `reportError` as "Command line error: <message>", and the words
// after it are left.
class TCommandLineProcessor {
 public:
  using ErrorReport = std::function<void(const QString &text)>;
  TCommandLineProcessor(TDiskCommandTarget &target, ErrorReport reportError)
      : target_(target), reportError_(std::move(reportError)) {}

  // False when an error stopped the processing.
  bool Process(const QString &commandLine);

 private:
  void Execute(int command, const QString &value);
  // The letter a mount, unmount, del or save value selects; ECmdLineError
  // when no disk has it.
  QChar SelectedDisk(const QString &value) const;
  bool IsAll(const QString &value) const;

  TDiskCommandTarget &target_;
  ErrorReport reportError_;
  bool force_ = false;
};

}  // namespace Ramdeck
