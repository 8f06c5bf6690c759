#include "HeadlessManager.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace Ramdeck {

namespace {

// The signal handler only writes a byte; the manager reads it on its thread.
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  if (write(gSignalPipe[1], &byte, 1) < 0) {
  }
}

void Say(const char *kind, const QString &text) {
  fprintf(stderr, "Ramdeck: %s%s\n", kind, qPrintable(text));
  fflush(stderr);
}

}  // namespace

void TConsoleUi::ShowError(const QString &text) { Say("error: ", text); }
void TConsoleUi::ShowInformation(const QString &text) { Say("", text); }
void TConsoleUi::ShowWarning(const QString &text) { Say("warning: ", text); }
bool TConsoleUi::Confirm(const QString &text, bool) {
  Say("", text + QStringLiteral(" (no)"));
  return false;
}
bool TConsoleUi::InformationWithDontShowAgain(const QString &text) {
  Say("", text);
  return false;
}
void TConsoleUi::ShowBalloon(const QString &text) { Say("", text); }
void TConsoleUi::ProcessEvents() { QCoreApplication::processEvents(); }
void TConsoleUi::Activate() { Say("", QStringLiteral("already running")); }

THeadlessManager::THeadlessManager() : core_(ui_) {
  if (pipe(gSignalPipe) == 0) {
    signals_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(signals_.get(), &QSocketNotifier::activated, [this] {
      char byte;
      if (read(gSignalPipe[0], &byte, 1) > 0) Ending();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
  }
}

THeadlessManager::~THeadlessManager() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signals_.reset();
  if (gSignalPipe[0] >= 0) close(gSignalPipe[0]);
  if (gSignalPipe[1] >= 0) close(gSignalPipe[1]);
  gSignalPipe[0] = gSignalPipe[1] = -1;
}

// Each command line the manager takes is told on standard output first.
void THeadlessManager::Started(const QString &commandLine, bool hidden) {
  printf("started%s: %s\n", hidden ? " hidden" : "", qPrintable(commandLine));
  fflush(stdout);
  core_.StartUp(commandLine);
}

void THeadlessManager::CommandLineReceived(const QString &commandLine) {
  printf("4000: %s\n", qPrintable(commandLine));
  fflush(stdout);
  core_.ProcessCommandLine(commandLine);
}

void THeadlessManager::ActivateRequested() {
  printf("4001\n");
  fflush(stdout);
  ui_.Activate();
}

void THeadlessManager::Ending() {
  signals_->setEnabled(false);
  core_.FQuitting = true;
  core_.Finish();
  QCoreApplication::quit();
}

}  // namespace Ramdeck
