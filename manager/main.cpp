// Ramdeck's entry: the program switches, the hand-over to a running
// manager, then the main window.
#include <QCoreApplication>

#include "AppVersion.h"

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  return 0;
}
