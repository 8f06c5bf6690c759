// ramsetup: installs, starts and removes the system's two drivers through
// the control library, as a Windows installer would, and tells whether the
// engine answers.
//   ramsetup install [--demand]   ramvol.sys and ramenum.inf from this program's folder
//   ramsetup uninstall
//   ramsetup start
//   ramsetup status
#include "ctl/ramctl.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The program's own folder as a Windows path on drive Z: (the host root).
std::u16string ProgramFile(const char *name) {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string folder = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string(".");
  folder = folder.substr(0, folder.rfind('/'));
  std::string path = folder + "/" + name;
  std::u16string windows = u"Z:";
  for (char c : path) windows += c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c));
  return windows;
}

int Failed(const char *what) {
  fprintf(stderr, "ramsetup: %s failed: error %u\n", what, RamctlGetErrorCode());
  return 1;
}

void Ignore(uint64_t, uint32_t) {}

int Status() {
  if (!RamctlInitialize(Ignore)) return Failed("reaching the engine");
  uint32_t count = 0;
  uint64_t *handles = nullptr;
  if (!RamctlGetVolumes(&count, &handles)) return Failed("listing the volumes");
  RamctlFree(reinterpret_cast<void **>(&handles));
  printf("the engine answers: %u volume%s\n", count, count == 1 ? "" : "s");
  return 0;
}

int Usage() {
  fprintf(stderr,
          "usage: ramsetup install [--demand] | uninstall | start | status\n"
          "  install    installs the volume engine (started with the system, or on\n"
          "             demand with --demand) and the disk bus from this program's\n"
          "             folder, and starts the engine\n"
          "  uninstall  removes both; their files go at the next start\n"
          "  start      starts the installed engine\n"
          "  status     tells whether the engine answers\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::u16string engine = ProgramFile("ramvol.sys");
  std::u16string inf = ProgramFile("ramenum.inf");
  if (command == "install" && (argc == 2 || (argc == 3 && strcmp(argv[2], "--demand") == 0))) {
    uint8_t reboot = 0;
    if (!RamctlInstallEngine(u"Brimwell RAM disk engine", argc == 2 ? 1 : 0, engine.c_str(), inf.c_str(), 1,
                             &reboot))
      return Failed("installing the drivers");
    printf("installed%s\n", reboot ? "; the system must restart to finish" : "");
    return Status();
  }
  if (argc != 2) return Usage();
  if (command == "uninstall") {
    if (!RamctlUninstallEngine(engine.c_str(), inf.c_str())) return Failed("removing the drivers");
    printf("removed; their files go at the next start of the system\n");
    return 0;
  }
  if (command == "start") return RamctlStartEngine() ? Status() : Failed("starting the engine");
  if (command == "status") return Status();
  return Usage();
}
