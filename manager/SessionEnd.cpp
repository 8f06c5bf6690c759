#include "SessionEnd.h"

#include <csignal>
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

}  // namespace

TSessionEndWatch::TSessionEndWatch() {
  if (pipe(gSignalPipe) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    if (read(gSignalPipe[0], &byte, 1) <= 0) return;
    notifier_->setEnabled(false);
    emit SessionEnding();
  });
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

TSessionEndWatch::~TSessionEndWatch() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  notifier_.reset();
  for (int &end : gSignalPipe) {
    if (end >= 0) close(end);
    end = -1;
  }
}

}  // namespace Ramdeck
