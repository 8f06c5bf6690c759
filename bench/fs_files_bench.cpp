// Many small files in one folder of a FAT32 RAM disk's letter, from a
// separate user process: 10 000 files of 100 bytes created (CreateFileW,
// WriteFile, CloseHandle), listed (FindFirstFileW/FindNextFileW) and
// deleted (DeleteFileW), against the same with POSIX calls on tmpfs.
// The letter's root folder is held open throughout, as on Windows, where a
// file system stays mounted between one open and the next: the stand-in's
// file systems leave with their volume's last reference and are mounted
// afresh (the whole table read again) by the next open, a cost of the
// stand-in that --no-hold shows.
//   fs_files_bench [--files N] [--tmpfs DIR] [--letter X] [--no-hold]
#include "bench/win32_volumes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr DWORD kFileBytes = 100;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Phases {
  double create = 0, list = 0, remove = 0;
};

Phases OnLetter(const std::u16string &folder, int files) {
  char payload[kFileBytes];
  memset(payload, 'p', sizeof payload);
  if (!CreateDirectoryW(folder.c_str(), nullptr)) bench::Win32Fail("CreateDirectoryW");
  auto name = [&](int i) {
    std::string digits = std::to_string(i);
    return folder + u"\\file-" + std::u16string(digits.begin(), digits.end()) + u".dat";
  };
  Phases p;
  double start = Now();
  for (int i = 0; i < files; ++i) {
    HANDLE file = CreateFileW(name(i).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) bench::Win32Fail("CreateFileW");
    DWORD written = 0;
    if (!WriteFile(file, payload, kFileBytes, &written, nullptr) || written != kFileBytes)
      bench::Win32Fail("WriteFile");
    CloseHandle(file);
  }
  p.create = Now() - start;
  start = Now();
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + u"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) bench::Win32Fail("FindFirstFileW");
  int seen = 0;
  do {
    if (found.cFileName[0] != u'.') ++seen;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  p.list = Now() - start;
  if (seen != files) {
    fprintf(stderr, "fs_files_bench: listed %d of %d files\n", seen, files);
    exit(1);
  }
  start = Now();
  for (int i = 0; i < files; ++i)
    if (!DeleteFileW(name(i).c_str())) bench::Win32Fail("DeleteFileW");
  p.remove = Now() - start;
  if (!RemoveDirectoryW(folder.c_str())) bench::Win32Fail("RemoveDirectoryW");
  return p;
}

Phases OnHost(const std::string &folder, int files) {
  char payload[kFileBytes];
  memset(payload, 'p', sizeof payload);
  if (mkdir(folder.c_str(), 0755) != 0) {
    perror("mkdir");
    exit(1);
  }
  auto name = [&](int i) { return folder + "/file-" + std::to_string(i) + ".dat"; };
  Phases p;
  double start = Now();
  for (int i = 0; i < files; ++i) {
    int fd = open(name(i).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (fd < 0 || write(fd, payload, kFileBytes) != kFileBytes) {
      perror("creating a file");
      exit(1);
    }
    close(fd);
  }
  p.create = Now() - start;
  start = Now();
  DIR *dir = opendir(folder.c_str());
  int seen = 0;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') ++seen;
  closedir(dir);
  p.list = Now() - start;
  if (seen != files) exit(1);
  start = Now();
  for (int i = 0; i < files; ++i) unlink(name(i).c_str());
  p.remove = Now() - start;
  rmdir(folder.c_str());
  return p;
}

void Report(const char *name, double ours, double anchor) {
  double ratio = ours / anchor;
  printf("%-7s ms %9.1f | anchor tmpfs POSIX ms %7.1f | ratio %7.1f (aim <= 20) %s\n", name, ours * 1000,
         anchor * 1000, ratio, ratio <= 20 ? "PASS" : "MISS");
}

}  // namespace

int main(int argc, char **argv) {
  int files = 10000;
  std::string tmpfs = "/dev/shm";
  char letter = 'R';
  bool hold = true;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--no-hold") hold = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--files") files = atoi(argv[i + 1]);
    else if (option == "--tmpfs") tmpfs = argv[i + 1];
    else if (option == "--letter") letter = argv[i + 1][0];
  }
  bench::Engine engine;
  uint64_t volume = engine.Create(256ull << 20, ENGINE_FS_FAT32);
  engine.Link(volume, letter);
  const char16_t root[] = {static_cast<char16_t>(letter), u':', u'\\', 0};
  HANDLE held = hold ? CreateFileW(root, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                     : INVALID_HANDLE_VALUE;
  if (hold && held == INVALID_HANDLE_VALUE) bench::Win32Fail("opening the root folder");
  Phases ours = OnLetter(std::u16string{static_cast<char16_t>(letter)} + u":\\many", files);
  Phases anchor = OnHost(tmpfs + "/bw-fs-files-" + std::to_string(getpid()), files);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  printf("%d files of %u bytes in one folder%s\n", files, kFileBytes,
         hold ? "" : ", the file system mounted afresh for each open");
  Report("create", ours.create, anchor.create);
  Report("list", ours.list, anchor.list);
  Report("delete", ours.remove, anchor.remove);
  Report("all", ours.create + ours.list + ours.remove, anchor.create + anchor.list + anchor.remove);
  fflush(stdout);
  engine.Link(volume, letter, false);
  engine.Unmount(volume);
  return 0;
}
