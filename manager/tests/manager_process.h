// A Ramdeck process of a test, its standard output and error in a file.
#pragma once

#include "platform/daemon/tests/daemon_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <string>
#include <vector>

namespace Ramdeck::test {

inline const std::string kRamdeck = BW_BIN_DIR "/Ramdeck";

// A Ramdeck process whose standard output goes to a file.
class Manager {
 public:
  Manager(const std::string &root, std::vector<std::string> args, std::string logonSession = "",
          std::string program = kRamdeck, bool window = false) {
    char pattern[] = "/tmp/ramdeck-out.XXXXXX";
    int fd = mkstemp(pattern);
    output_ = pattern;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("BRIMWELL_ROOT", root.c_str(), 1);
      if (logonSession.empty())
        unsetenv("BRIMWELL_LOGON_SESSION");
      else
        setenv("BRIMWELL_LOGON_SESSION", logonSession.c_str(), 1);
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      // The runner without a window unless the test wants the window (on
      // the offscreen display); both tell what they take on standard output.
      if (window)
        unsetenv("RAMDECK_HEADLESS");
      else
        setenv("RAMDECK_HEADLESS", "1", 1);
      std::vector<char *> argv{program.data()};
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(fd);
  }
  ~Manager() {
    Signal(SIGTERM);
    std::filesystem::remove(output_);
  }
  std::string Output() const {
    auto bytes = bw::test::FileBytes(output_);
    return std::string(bytes.begin(), bytes.end());
  }
  // Waits up to 30 s for `text` in the output.
  bool WaitFor(const std::string &text) const {
    for (int i = 0; i < 600; ++i) {
      if (Output().find(text) != std::string::npos) return true;
      usleep(50000);
    }
    return false;
  }
  // Waits up to 30 s for the process to end; its exit code, or -1.
  int Wait() {
    for (int i = 0; i < 600 && pid_ > 0; ++i) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else {
        usleep(50000);
      }
    }
    return exitCode_;
  }
  void Signal(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// Waits up to `ms` for the condition to hold.
inline bool WaitFor(const std::function<bool()> &condition, int ms = 30000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// Whether a volume answers at the root.
inline bool HasLetter(const char16_t *root) {
  char16_t fs[16] = {};
  return GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fs, 16);
}

}  // namespace Ramdeck::test
