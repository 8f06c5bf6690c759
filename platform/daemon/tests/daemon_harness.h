// Starts and stops a real ramvold on a temporary root for system tests.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bw::test {

class Daemon {
 public:
  explicit Daemon(std::string root = "") : root_(std::move(root)) {
    if (root_.empty()) {
      char pattern[] = "/tmp/bwroot.XXXXXX";
      root_ = mkdtemp(pattern);
      ownsRoot_ = true;
    }
  }
  ~Daemon() {
    Stop();
    std::filesystem::remove(LogPath());
    if (ownsRoot_) std::filesystem::remove_all(root_);
  }

  // Starts ramvold; true once it reported ready. On failure, Output() has
  // what it printed and ExitCode() how it ended.
  bool Start(std::vector<std::string> extra = {}) {
    std::string log = LogPath();
    std::filesystem::remove(log);  // a restart must not see the last run's "ready"
    pid_ = fork();
    if (pid_ == 0) {
      FILE *out = freopen(log.c_str(), "w", stdout);
      (void)out;
      dup2(fileno(stdout), 2);
      std::vector<std::string> args = {BW_BIN_DIR "/ramvold", "--root", root_};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 600; ++i) {  // up to 30 s for a sanitized start
      if (Output().find("ready on") != std::string::npos) return true;
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
      }
      usleep(50000);
    }
    return false;
  }

  // SIGTERM and wait; returns the exit code.
  int Stop() {
    if (pid_ <= 0) return exitCode_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return exitCode_;
  }

  // SIGKILL: the system ends at once, in the middle of whatever it serves.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    exitCode_ = 128 + SIGKILL;
    pid_ = -1;
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status;
    return waitpid(pid_, &status, WNOHANG) == 0;
  }

  std::string Output() const {
    std::string text;
    if (FILE *f = fopen(LogPath().c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      fclose(f);
    }
    return text;
  }

  const std::string &Root() const { return root_; }
  int ExitCode() const { return exitCode_; }

 private:
  // Each daemon of a test writes its own log beside the root.
  std::string LogPath() const { return root_ + ".ramvold-" + std::to_string(id_) + ".out"; }
  static inline int nextId_ = 0;
  int id_ = nextId_++;
  std::string root_;
  bool ownsRoot_ = false;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// Runs a command and returns its standard output (and exit code).
inline std::string Run(const std::string &command, int *exitCode = nullptr) {
  std::string text;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return text;
}

// Bytes as devio takes them on its command line: two hex digits each.
inline std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

// A whole host file; empty when it cannot be read.
inline std::vector<uint8_t> FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs devio against `daemon` and returns what it printed (and its exit code).
inline std::string Devio(const Daemon &daemon, const std::string &args, int *exitCode = nullptr) {
  return Run("BRIMWELL_ROOT=" + daemon.Root() + " " BW_BIN_DIR "/devio " + args + " 2>&1",
             exitCode);
}

}  // namespace bw::test
