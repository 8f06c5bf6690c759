// The start of the manager's process: the program switches install,
// uninstall and hide, the hand-over to a manager already running, and the
// two named mutexes that tell installers a manager runs.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

class QCoreApplication;

namespace Ramdeck {

struct TStartOptions {
  // The per-user setting NoAutoLoad; none: false.
  std::function<bool()> NoAutoLoad;
  // The system's text for a Windows error code; none: the number alone.
  std::function<QString(uint32_t code)> SystemErrorText;
  // Where a failed installation or removal is told (the window shows a
  // dialog); none: standard error.
  std::function<void(const QString &text)> ReportError;
  // The host folder of ramvol.sys and ramenum.inf; empty: the program's own.
  QString ProgramFolder;
  // The process's application object (the window needs a QApplication);
  // none: a QCoreApplication. `argc` must outlive it.
  std::function<std::unique_ptr<QCoreApplication>(int &argc, char **argv)> MakeApplication;
};

struct TStartResult {
  bool Run = false;  // go on to the main window
  int ExitCode = 0;  // when not
  bool Hidden = false;
};

// The steps before the main window, in order: install or uninstall and
// end; end at once when hidden and NoAutoLoad; hand the command line to a
// running manager and end; create the mutexes "BWCorvane" and
// "Global\BWCorvane" (kept until the process ends). `arguments` are the
// process's, its path first.
TStartResult StartProgram(const QStringList &arguments, const TStartOptions &options);

// The host folder of the running program.
QString ProgramFolder();
// A host path as Windows sees it through drive Z: (the host's root).
std::u16string WindowsPathOf(const QString &hostPath);

// What the running manager does with its command lines: the main window,
// or a runner without one.
class TManagerHost {
 public:
  virtual ~TManagerHost() = default;
  // Once, after start-up, with the process's own command line.
  virtual void Started(const QString &commandLine, bool hidden) = 0;
  // A later start handed over its command line (data id 4000).
  virtual void CommandLineReceived(const QString &commandLine) = 0;
  // A later start without parameters (data id 4001): show and flash.
  virtual void ActivateRequested() = 0;
};

class TSingleInstanceServer;
// Hands the messages of later starts to `host`.
void ServeLaterStarts(TSingleInstanceServer &server, TManagerHost &host);

// The whole process: StartProgram, then the channel for later starts and
// the host, until the application quits. Returns the exit code.
int RunManager(int argc, char **argv, const TStartOptions &options,
               const std::function<std::unique_ptr<TManagerHost>()> &makeHost);

}  // namespace Ramdeck
