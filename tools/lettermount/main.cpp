// lettermount: shows the file system behind a drive letter of the running
// ramvold in a host folder, through FUSE, every host file operation made
// of the Win32 file calls on that letter.
#include "tools/lettermount/operations.h"

#include "platform/transport/wire.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: lettermount [--root DIR] LETTER: FOLDER [-f] [-d] [-s] [-o OPTIONS]\n"
    "  Mounts the file system of drive LETTER: of the running ramvold on the\n"
    "  host folder FOLDER. ramvold is found through --root, else BRIMWELL_ROOT\n"
    "  as by every program. -f stays in the foreground (Ctrl-C unmounts), -d\n"
    "  prints FUSE's debug trace, -s serves one request at a time, -o passes\n"
    "  FUSE mount options. Unmount with: fusermount3 -u FOLDER\n";

int Usage(const char *problem) {
  if (problem) fprintf(stderr, "lettermount: %s\n", problem);
  fputs(kUsage, stderr);
  return 2;
}

// Whether the letter answers as a file system: a clear word and false when
// ramvold is not there, the letter is not, or nothing on it has folders.
bool CheckLetter(char16_t letter) {
  char name[3] = {static_cast<char>(letter), ':', 0};
  SetLastError(ERROR_SUCCESS);
  DWORD drives = GetLogicalDrives();
  if (drives == 0 && GetLastError() != ERROR_SUCCESS) {
    fprintf(stderr, "lettermount: no ramvold answers at %s (error %u)\n",
            bw::wire::SocketPath(bw::wire::DefaultRoot()).c_str(), GetLastError());
    return false;
  }
  if (!(drives & (DWORD{1} << (letter - u'A')))) {
    fprintf(stderr, "lettermount: there is no drive %s\n", name);
    return false;
  }
  const char16_t root[] = {letter, u':', u'\\', 0};
  DWORD attributes = GetFileAttributesW(root);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    fprintf(stderr, "lettermount: drive %s holds no file system with folders (error %u)\n", name,
            GetLastError());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> fuseArgs = {argv[0]};
  std::string letterArg, folder;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--root") {
      if (++i == argc) return Usage("--root needs a folder");
      setenv("BRIMWELL_ROOT", argv[i], 1);
    } else if (arg == "-o") {
      if (++i == argc) return Usage("-o needs options");
      fuseArgs.push_back("-o");
      fuseArgs.push_back(argv[i]);
    } else if (arg == "-f" || arg == "-d" || arg == "-s") {
      fuseArgs.push_back(arg);
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else if (letterArg.empty()) {
      letterArg = arg;
    } else if (folder.empty()) {
      folder = arg;
    } else {
      return Usage("too many arguments");
    }
  }
  if (folder.empty()) return Usage("a drive letter and a folder are needed");
  char first = letterArg[0];
  if (first >= 'a' && first <= 'z') first = static_cast<char>(first - 'a' + 'A');
  if (first < 'A' || first > 'Z' || (letterArg.size() != 1 && letterArg != std::string{letterArg[0], ':'}))
    return Usage(("not a drive letter: " + letterArg).c_str());

  static lettermount::Mount mount;
  mount.letter = static_cast<char16_t>(first);
  mount.uid = getuid();
  mount.gid = getgid();
  // Before anything is mounted. The connection this makes is the parent's:
  // once FUSE puts the server in the background, the child connects anew.
  if (!CheckLetter(mount.letter)) return 1;

  fuseArgs.push_back("-o");
  // Threads enough for a few programs at once; each has its own connection
  // to ramvold.
  fuseArgs.push_back(std::string("fsname=lettermount-") + first + ":,subtype=lettermount,max_threads=16");
  fuseArgs.push_back(folder);
  std::vector<char *> fuseArgv;
  for (auto &arg : fuseArgs) fuseArgv.push_back(arg.data());
  fuseArgv.push_back(nullptr);
  return fuse_main(static_cast<int>(fuseArgs.size()), fuseArgv.data(), &lettermount::Operations(), &mount);
}
