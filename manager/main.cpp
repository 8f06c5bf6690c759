// Ramdeck's entry: the program switches, the hand-over to a running
// manager, the mutexes, then the manager itself (here without a window).
#include <memory>

#include "HeadlessManager.h"
#include "Language.h"
#include "ProgramStart.h"
#include "Settings.h"
#include "SystemErrorText.h"

int main(int argc, char **argv) {
  Ramdeck::TLanguage::TProgramInstance language;
  Ramdeck::TStartOptions options;
  options.NoAutoLoad = [] {
    Ramdeck::TRegistrySettings settings;
    try {
      Ramdeck::ReadRegistrySettings(settings, QString());
    } catch (const Ramdeck::Exception &) {
      // Unreadable settings keep their defaults.
    }
    return settings.NoAutoLoad;
  };
  options.SystemErrorText = [](uint32_t code) { return Ramdeck::SystemErrorText(code); };
  return Ramdeck::RunManager(argc, argv, options, [] { return std::make_unique<Ramdeck::THeadlessManager>(); });
}
