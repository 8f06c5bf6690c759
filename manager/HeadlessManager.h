// The manager without its window: the disk list and its actions, command
// lines from this and later starts, messages on standard error, and the
// logon disks removed when the process is told to end (SIGTERM, SIGINT,
// SIGHUP), as at the end of the user's session. Each command line it takes
// is told on standard output ("started: ...", "4000: ...", "4001").
#pragma once


#include "ManagerCore.h"
#include "ProgramStart.h"
#include "SessionEnd.h"

namespace Ramdeck {

// What a user would see, written as lines on standard error. A question is
// answered no: nothing is forced without /force.
class TConsoleUi : public TManagerUi {
 public:
  void ShowError(const QString &text) override;
  void ShowInformation(const QString &text) override;
  void ShowWarning(const QString &text) override;
  bool Confirm(const QString &text, bool warning) override;
  bool InformationWithDontShowAgain(const QString &text) override;
  void SetBusy(const QString &) override {}
  void ShowBalloon(const QString &text) override;
  bool WindowVisible() const override { return false; }
  void ProcessEvents() override;
  void Redraw() override {}
  void ShowTrayIcon(bool) override {}
  void Activate() override;
};

class THeadlessManager : public TManagerHost {
 public:
  THeadlessManager();
  ~THeadlessManager() override;
  void Started(const QString &commandLine, bool hidden) override;
  void CommandLineReceived(const QString &commandLine) override;
  void ActivateRequested() override;

 private:
  void Ending();

  TConsoleUi ui_;
  TManagerCore core_;
  TSessionEndWatch sessionEnd_;
};

}  // namespace Ramdeck
