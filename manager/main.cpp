// Ramdeck's entry: the program switches, the hand-over to a running
// manager, the mutexes, then the main window. Until the window (or the
// runner over the disk list) takes its place, the host here only tells on
// standard output what the manager was handed, one line each.
#include <cstdio>
#include <memory>

#include "ProgramStart.h"

namespace {

class ReportingHost : public Ramdeck::TManagerHost {
 public:
  void Started(const QString &commandLine, bool hidden) override {
    printf("started%s: %s\n", hidden ? " hidden" : "", qPrintable(commandLine));
    fflush(stdout);
  }
  void CommandLineReceived(const QString &commandLine) override {
    printf("4000: %s\n", qPrintable(commandLine));
    fflush(stdout);
  }
  void ActivateRequested() override {
    printf("4001\n");
    fflush(stdout);
  }
};

}  // namespace

int main(int argc, char **argv) {
  Ramdeck::TStartOptions options;
  return Ramdeck::RunManager(argc, argv, options, [] { return std::make_unique<ReportingHost>(); });
}
