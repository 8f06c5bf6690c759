// ramvold: hosts the kernel stand-in with the drivers and serves user
// processes. Starting it is the system start; SIGTERM is the shutdown.
#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "platform/daemon/server.h"
#include "platform/daemon/system_drive.h"
#include "platform/transport/wire.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

void Usage() {
  fprintf(stderr,
          "usage: ramvold [--root DIR] [--load-drivers] [--system-version MAJOR.MINOR]\n"
          "  --root DIR        machine state folder (default: $BRIMWELL_ROOT, else a\n"
          "                    per-user folder under $XDG_STATE_HOME)\n"
          "  --load-drivers    load ramenum and ramvol from the program's own folder\n"
          "  --system-version  the Windows version the kernel reports (default 10.0)\n"
          "  --driver FILE=SERVICE  also load the driver FILE as SERVICE (tests)\n");
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = 0;
  std::string s(path);
  return s.substr(0, s.rfind('/'));
}

bool MakeFolders(const std::string &path) {
  std::string current;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!current.empty() && mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    if (i < path.size()) current += path[i];
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::string root = bw::wire::DefaultRoot();
  bool loadDrivers = false;
  std::vector<std::pair<std::string, std::u16string>> extraDrivers;
  bw::BootOptions boot;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--load-drivers") {
      loadDrivers = true;
    } else if (arg == "--system-version" && i + 1 < argc) {
      unsigned major = 0, minor = 0;
      if (sscanf(argv[++i], "%u.%u", &major, &minor) != 2) {
        Usage();
        return 2;
      }
      boot.majorVersion = major;
      boot.minorVersion = minor;
    } else if (arg == "--driver" && i + 1 < argc) {
      std::string argument = argv[++i];
      size_t eq = argument.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == argument.size()) {
        Usage();
        return 2;
      }
      std::u16string service(argument.begin() + eq + 1, argument.end());
      extraDrivers.emplace_back(argument.substr(0, eq), service);
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      fprintf(stderr, "ramvold: unknown argument '%s'\n", arg.c_str());
      Usage();
      return 2;
    }
  }
  if (!MakeFolders(root)) {
    fprintf(stderr, "ramvold: cannot create the root folder %s: %s\n", root.c_str(),
            strerror(errno));
    return 1;
  }
  // One ramvold per root: the lock stays with the running one.
  std::string lockPath = root + "/ramvold.lock";
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0 || flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    fprintf(stderr, "ramvold: another ramvold is already running on %s\n", root.c_str());
    return 1;
  }

  // SIGTERM and SIGINT end the system; they are taken by a waiting thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  boot.root = root;
  std::string error;
  if (!NT_SUCCESS(bw::KernelBoot(boot, &error))) {
    fprintf(stderr, "ramvold: %s\n", error.c_str());
    return 1;
  }
  if (!bw::PrepareSystemDrive(root, &error)) {
    fprintf(stderr, "ramvold: %s\n", error.c_str());
    bw::KernelShutdown();
    return 1;
  }
  // Windows' own drivers start with the system, before any product driver.
  if (!NT_SUCCESS(bw::LoadSystemDrivers(ProgramFolder(), &error))) {
    fprintf(stderr, "ramvold: cannot start the system drivers: %s\n", error.c_str());
    bw::KernelShutdown();
    return 1;
  }
  if (loadDrivers) {
    std::string folder = ProgramFolder();
    struct {
      const char *file;
      const char16_t *service;
    } drivers[] = {{"ramenum.sys", u"Ramenum"}, {"ramvol.sys", u"RamvolEngine"}};
    for (auto &d : drivers) {
      NTSTATUS status = bw::LoadDriver(folder + "/" + d.file, d.service, &error);
      if (!NT_SUCCESS(status)) {
        fprintf(stderr, "ramvold: cannot start %s: %s\n", d.file, error.c_str());
        bw::KernelShutdown();
        return 1;
      }
    }
    // The bus is a root-enumerated device: installed once (the registry
    // keeps it), started by the PnP manager once its driver is there.
    NTSTATUS status = bw::EnsureRootDevice(u"Root\\BWRD", u"Ramenum", nullptr);
    if (!NT_SUCCESS(status) || !bw::WaitForPnpIdle()) {
      fprintf(stderr, "ramvold: cannot start the disk bus: %s\n", bw::StatusText(status).c_str());
      bw::KernelShutdown();
      return 1;
    }
  }

  for (auto &[file, service] : extraDrivers) {
    NTSTATUS status = bw::LoadDriver(file, service, &error);
    if (!NT_SUCCESS(status)) {
      fprintf(stderr, "ramvold: cannot start %s: %s\n", file.c_str(), error.c_str());
      bw::KernelShutdown();
      return 1;
    }
  }

  bw::Server server;
  if (!server.Listen(bw::wire::SocketPath(root), &error)) {
    fprintf(stderr, "ramvold: %s\n", error.c_str());
    bw::KernelShutdown();
    return 1;
  }
  std::thread signalWaiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    server.Stop();
  });
  printf("ramvold: ready on %s%s\n", bw::wire::SocketPath(root).c_str(),
         loadDrivers ? " with ramenum and ramvol loaded" : "");
  fflush(stdout);
  server.Run();
  server.Join();
  bw::KernelShutdown();
  // The waiter has already returned when a signal ended the run.
  if (signalWaiter.joinable()) {
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
  }
  close(lockFd);
  printf("ramvold: stopped\n");
  return 0;
}
