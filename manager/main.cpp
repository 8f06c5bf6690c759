// Ramdeck's entry: the program switches, the hand-over to a running
// manager, the mutexes, then the manager itself: its main window on the
// user's desktop, or the runner without a window when there is no display
// or RAMDECK_HEADLESS is set (scripts and system tests use it).
#include <QApplication>
#include <cstdlib>
#include <memory>

#include "HeadlessManager.h"
#include "Language.h"
#include "MainGUI.h"
#include "ProgramStart.h"
#include "SessionEnd.h"
#include "Settings.h"
#include "SystemErrorText.h"

namespace {

bool Set(const char *name) {
  const char *value = std::getenv(name);
  return value && *value;
}

bool Headless() {
  if (Set("RAMDECK_HEADLESS")) return true;
  return !Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY");
}

// The window, and the end of the session reaching it.
class TWindowHost : public Ramdeck::TManagerHost {
 public:
  TWindowHost() {
    QObject::connect(&sessionEnd_, &Ramdeck::TSessionEndWatch::SessionEnding, &window_,
                     [this] { window_.EndSession(); });
  }
  void Started(const QString &commandLine, bool hidden) override { window_.Started(commandLine, hidden); }
  void CommandLineReceived(const QString &commandLine) override { window_.CommandLineReceived(commandLine); }
  void ActivateRequested() override { window_.ActivateRequested(); }

 private:
  Ramdeck::TBWMainGUIForm window_;
  Ramdeck::TSessionEndWatch sessionEnd_;
};

}  // namespace

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
  if (Headless())
    return Ramdeck::RunManager(argc, argv, options, [] { return std::make_unique<Ramdeck::THeadlessManager>(); });
  options.MakeApplication = [](int &count, char **values) -> std::unique_ptr<QCoreApplication> {
    auto app = std::make_unique<QApplication>(count, values);
    // Closing the window leaves the manager in the notification area.
    app->setQuitOnLastWindowClosed(false);
    return app;
  };
  return Ramdeck::RunManager(argc, argv, options, [] { return std::make_unique<TWindowHost>(); });
}
