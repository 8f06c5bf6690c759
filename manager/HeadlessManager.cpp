#include "HeadlessManager.h"

#include <QCoreApplication>
#include <cstdio>

namespace Ramdeck {

namespace {

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
  QObject::connect(&sessionEnd_, &TSessionEndWatch::SessionEnding, [this] { Ending(); });
}

THeadlessManager::~THeadlessManager() = default;

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
  core_.FQuitting = true;
  core_.Finish();
  QCoreApplication::quit();
}

}  // namespace Ramdeck
