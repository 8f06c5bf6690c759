// lettermount as a Linux user meets it: ramvold with the drivers, a FAT32
// RAM disk on R:, the tool mounting it on a temporary folder, and ordinary
// shell tools working in that folder. What they did is then checked without
// the tool: through the Win32 calls on R:, and in the volume's bytes by
// fsck.fat and mtools.
#include "engine/format/tests/support/peer_support.h"
#include "platform/daemon/tests/engine_win32_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace bw::test {
namespace {

constexpr uint64_t kVolumeBytes = 64ull << 20;

class LettermountFat32 : public EngineWin32 {
 protected:
  void SetUp() override {
    int fuse = open("/dev/fuse", O_RDWR);
    if (fuse < 0) GTEST_SKIP() << "/dev/fuse cannot be opened: " << strerror(errno);
    close(fuse);
    if (FindTool("fusermount3").empty()) GTEST_SKIP() << "fusermount3 is missing (Debian package fuse3)";
    EngineWin32::SetUp();
    if (HasFatalFailure()) return;
    volume_ = CreateVolume(0, kVolumeBytes, FileSystem());
    ASSERT_NE(0u, volume_);
    ASSERT_TRUE(Link(volume_, ENGINE_LINK_CREATE, u'R')) << GetLastError();
    char pattern[] = "/tmp/lettermount.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    folder_ = pattern;
  }

  void TearDown() override {
    if (mounted_) Unmount();
    if (!folder_.empty()) rmdir(folder_.c_str());
    if (volume_) {
      EXPECT_TRUE(Link(volume_, ENGINE_LINK_DELETE, 0)) << GetLastError();
      EXPECT_TRUE(EngineWin32::Unmount(volume_)) << GetLastError();
    }
    if (control_ != INVALID_HANDLE_VALUE) EngineWin32::TearDown();
  }

  virtual uint32_t FileSystem() const { return ENGINE_FS_FAT32; }

  std::string Tool() const { return std::string(BW_BIN_DIR "/lettermount --root ") + daemon_.Root(); }

  // Mounts R: with the tool in the foreground of a child process, so that
  // an unmount can wait for the tool to have closed everything.
  void Mount() {
    tool_ = fork();
    if (tool_ == 0) {
      execl("/bin/sh", "sh", "-c", ("exec " + Tool() + " R: " + folder_ + " -f").c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200 && !Mounted(); ++i) usleep(50000);
    ASSERT_TRUE(Mounted());
    mounted_ = true;
  }

  // Mounts R: as a user does: the tool returns once the folder is mounted
  // and serves it in the background.
  void MountInBackground() {
    int code = -1;
    std::string out = bw::test::Run(Tool() + " R: " + folder_ + " 2>&1", &code);
    ASSERT_EQ(0, code) << out;
    ASSERT_TRUE(Mounted());
    mounted_ = true;
  }

  // After an unmount, the background tool ends once it has closed its
  // handles; until then R: is in use.
  void WaitForBackgroundTool() {
    for (int i = 0; i < 200; ++i) {
      if (!ToolServes()) return;
      usleep(50000);
    }
    ADD_FAILURE() << "lettermount did not end after its unmount";
  }

  // Whether a lettermount process names this test's folder.
  bool ToolServes() {
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
      std::vector<uint8_t> line = FileBytes(entry.path().string() + "/cmdline");
      std::string command(line.begin(), line.end());
      std::string program = command.substr(0, command.find('\0'));
      if (program.size() >= 12 && program.compare(program.size() - 12, 12, "/lettermount") == 0 &&
          command.find(folder_) != std::string::npos)
        return true;
    }
    return false;
  }

  bool Mounted() { return bw::test::Run("grep -c ' " + folder_ + " ' /proc/mounts") == "1\n"; }

  // fusermount3 -u, then the tool's exit.
  void Unmount() {
    int code = -1;
    std::string out = bw::test::Run("fusermount3 -u " + folder_ + " 2>&1", &code);
    EXPECT_EQ(0, code) << out;
    mounted_ = false;
    if (tool_ > 0) {
      int status = 0;
      EXPECT_EQ(tool_, waitpid(tool_, &status, 0));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      tool_ = -1;
    }
  }

  // Runs a shell command line in the mounted folder; its output and errors.
  std::string Shell(const std::string &command, int *code = nullptr) {
    return bw::test::Run("cd " + folder_ + " && { " + command + " ; } 2>&1", code);
  }

  // A file's bytes through the Win32 calls on R:.
  static std::vector<uint8_t> Win32Bytes(const std::u16string &path) {
    std::vector<uint8_t> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "opening a file on R: failed with " << GetLastError();
      return bytes;
    }
    uint8_t chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read) bytes.insert(bytes.end(), chunk, chunk + read);
    CloseHandle(file);
    return bytes;
  }

  // The names in a folder of R:, as FindFirstFileW lists them.
  static std::vector<std::u16string> Win32Names(const std::u16string &folder) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + u"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      std::u16string name = found.cFileName;
      if (name != u"." && name != u"..") names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  }

  // The volume's bytes, read through R: as a device, in a host image file.
  void SaveImage(const std::string &image) {
    HANDLE device = CreateFileW(u"\\\\.\\R:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, device) << GetLastError();
    std::vector<uint8_t> bytes(kVolumeBytes);
    for (uint64_t at = 0; at < kVolumeBytes; at += 1 << 20) {
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(at);
      DWORD read = 0;
      ASSERT_TRUE(ReadFile(device, bytes.data() + at, 1 << 20, &read, &where)) << GetLastError();
      ASSERT_EQ(1u << 20, read);
    }
    CloseHandle(device);
    ASSERT_TRUE(WriteHostFile(image, bytes));
  }

  void ExpectFsckClean(const std::string &image) {
    std::string fsck = FindTool("fsck.fat");
    BW_REQUIRE_PEER_TOOL(fsck, "fsck.fat", "dosfstools");
    CommandResult check = RunCommand(fsck + " -n " + ShellQuote(image));
    EXPECT_TRUE(FsckClean(check)) << check.output;
  }

  uint64_t volume_ = 0;
  std::string folder_;
  bool mounted_ = false;
  pid_t tool_ = -1;
};

TEST_F(LettermountFat32, ShellToolsWorkOnTheLetterAndLeaveAVolumeThePeersAccept) {
  TempFolder host;
  std::vector<uint8_t> big = PatternBytes(3 * (1 << 20) + 123, 7), middle = PatternBytes(4097, 8),
                       one = {0x5A};
  ASSERT_TRUE(WriteHostFile(host.File("empty"), {}));
  ASSERT_TRUE(WriteHostFile(host.File("one"), one));
  ASSERT_TRUE(WriteHostFile(host.File("middle"), middle));
  ASSERT_TRUE(WriteHostFile(host.File("big"), big));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(WriteHostFile(host.File("part" + std::to_string(i)), PatternBytes(700000, i)));
  Mount();

  int code = -1;
  std::string out = Shell("mkdir -p a/b/c && cp " + host.File("empty") + " " + host.File("one") + " " +
                              host.File("middle") + " " + host.File("big") + " a/b/c/",
                          &code);
  ASSERT_EQ(0, code) << out;
  // Four copies at once: each is served on its own thread and connection.
  out = Shell("mkdir parallel && for i in 0 1 2 3; do cp " + host.Path() + "/part$i parallel/ & done; wait", &code);
  ASSERT_EQ(0, code) << out;
  out = Shell("for f in empty one middle big; do cmp " + host.Path() + "/$f a/b/c/$f || exit 1; done", &code);
  EXPECT_EQ(0, code) << out;
  out = Shell("for i in 0 1 2 3; do cmp " + host.Path() + "/part$i parallel/part$i || exit 1; done", &code);
  EXPECT_EQ(0, code) << out;
  out = Shell("ls -la a/b/c", &code);
  EXPECT_EQ(0, code);
  EXPECT_NE(std::string::npos, out.find(" 3145851 ")) << out;  // big's size
  EXPECT_NE(std::string::npos, out.find(" 0 ")) << out;
  EXPECT_EQ("\x5A", Shell("cat a/b/c/one"));

  // Names: long, Unicode, a case-only rename and a move between folders.
  out = Shell("echo unicode > 'Grüße aus 日本.txt' && mv a/b/c/middle a/b/c/Middle && "
              "mv a/b/c/one a/moved && echo long > 'a name well past eight dot three characters.text'",
              &code);
  ASSERT_EQ(0, code) << out;
  out = Shell("ls a/b/c", &code);
  EXPECT_NE(std::string::npos, out.find("Middle")) << out;
  EXPECT_EQ(std::string::npos, out.find("middle")) << out;
  EXPECT_EQ("unicode\n", Shell("cat 'Grüße aus 日本.txt'"));

  // Writing inside a file, cutting and growing it, dropping names.
  out = Shell("printf 0123456789 > patched && printf XY | dd of=patched bs=1 seek=3 conv=notrunc status=none && "
              "truncate -s 5 a/moved && truncate -s 3 patched && truncate -s 6 patched && "
              "rm a/b/c/empty && mkdir gone && rmdir gone",
              &code);
  ASSERT_EQ(0, code) << out;
  EXPECT_EQ(std::string("012\0\0\0", 6), Shell("cat patched"));
  out = Shell("df -k . | tail -1", &code);
  EXPECT_EQ(0, code);
  EXPECT_NE(std::string::npos, out.find("lettermount-R:")) << out;
  Unmount();

  // Without the tool: the Win32 calls see the same tree and bytes.
  EXPECT_EQ(big, Win32Bytes(u"R:\\a\\b\\c\\big"));
  EXPECT_EQ(middle, Win32Bytes(u"R:\\a\\b\\c\\Middle"));
  EXPECT_EQ(std::vector<uint8_t>({0x5A, 0, 0, 0, 0}), Win32Bytes(u"R:\\a\\moved"));
  EXPECT_EQ(std::vector<uint8_t>({'0', '1', '2', 0, 0, 0}), Win32Bytes(u"R:\\patched"));
  EXPECT_EQ(std::vector<std::u16string>({u"Middle", u"big"}), Win32Names(u"R:\\a\\b\\c"));
  EXPECT_EQ((std::vector<std::u16string>{u"Grüße aus 日本.txt", u"a", u"a name well past eight dot three characters.text",
                                         u"parallel", u"patched"}),
            Win32Names(u"R:"));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(PatternBytes(700000, i), Win32Bytes(u"R:\\parallel\\part" + std::u16string(1, u'0' + i)));

  // And in the volume's bytes, as tools nobody here wrote read them.
  std::string image = host.File("volume.img");
  SaveImage(image);
  ExpectFsckClean(image);
  std::string mtype = FindTool("mtype");
  BW_REQUIRE_PEER_TOOL(mtype, "mtype", "mtools");
  CommandResult typed = RunCommand("MTOOLS_SKIP_CHECK=1 " + mtype + " -i " + ShellQuote(image) + " ::/patched");
  EXPECT_EQ(0, typed.exitCode) << typed.output;
  EXPECT_EQ(std::string("012\0\0\0", 6), typed.output);
  CommandResult copied = RunCommand("MTOOLS_SKIP_CHECK=1 " + FindTool("mcopy") + " -n -i " + ShellQuote(image) +
                                    " ::/a/b/c/big " + ShellQuote(host.File("big.back")));
  EXPECT_EQ(0, copied.exitCode) << copied.output;
  std::vector<uint8_t> back;
  EXPECT_TRUE(ReadHostFile(host.File("big.back"), &back));
  EXPECT_EQ(big, back);
}

TEST_F(LettermountFat32, TheShellSeesTheHostsErrorsAndAFullDiskFreesAgain) {
  Mount();
  std::string out = Shell("cat missing");
  EXPECT_NE(std::string::npos, out.find("No such file or directory")) << out;
  out = Shell("mkdir d && touch d/f && mkdir d");
  EXPECT_NE(std::string::npos, out.find("File exists")) << out;
  out = Shell("rmdir d");
  EXPECT_NE(std::string::npos, out.find("Directory not empty")) << out;
  out = Shell("ls d/f/x");
  EXPECT_NE(std::string::npos, out.find("Not a directory")) << out;
  // A name the volume can only take for another: refused, never made.
  out = Shell("touch 'back\\slash'");
  EXPECT_NE(std::string::npos, out.find("Invalid argument")) << out;
  // A read-only file refuses writing until its write bit is back.
  int code = -1;
  out = Shell("echo keep > ro && chmod a-w ro && ls -l ro", &code);
  ASSERT_EQ(0, code) << out;
  EXPECT_EQ(0u, out.find("-r--r--r--")) << out;
  out = Shell("echo more >> ro");
  EXPECT_NE(std::string::npos, out.find("Permission denied")) << out;
  EXPECT_EQ(FILE_ATTRIBUTE_READONLY, GetFileAttributesW(u"R:\\ro") & FILE_ATTRIBUTE_READONLY);
  out = Shell("chmod u+w ro && echo more >> ro && cat ro", &code);
  EXPECT_EQ("keep\nmore\n", out);

  // Filled to the last cluster: the writer is told, and the space comes back.
  out = Shell("dd if=/dev/zero of=fill bs=1M count=100 status=none", &code);
  EXPECT_NE(0, code);
  EXPECT_NE(std::string::npos, out.find("No space left on device")) << out;
  out = Shell("df -k --output=avail . | tail -1");
  EXPECT_LT(std::stoull(out), 1024u) << out;
  out = Shell("rm fill && df -k --output=avail . | tail -1", &code);
  ASSERT_EQ(0, code) << out;
  EXPECT_GT(std::stoull(out), 60000u) << out;
  Unmount();
  TempFolder host;
  SaveImage(host.File("volume.img"));
  ExpectFsckClean(host.File("volume.img"));
}

TEST_F(LettermountFat32, NothingWrittenIsLostWhenTheMountEnds) {
  // Right after a write, unmounted at once.
  MountInBackground();
  int code = -1;
  std::string out = Shell("head -c 1500000 /dev/urandom > data && sha256sum data | cut -c1-64", &code);
  ASSERT_EQ(0, code) << out;
  std::string sum = out;
  Unmount();
  WaitForBackgroundTool();
  std::vector<uint8_t> bytes = Win32Bytes(u"R:\\data");
  EXPECT_EQ(1500000u, bytes.size());
  TempFolder host;
  ASSERT_TRUE(WriteHostFile(host.File("data"), bytes));
  EXPECT_EQ(sum, bw::test::Run("sha256sum " + host.File("data") + " | cut -c1-64"));

  // A foreground tool ended by Ctrl-C while a program still holds a file
  // open: what it wrote is there, and the tool's handle is closed, so the
  // file opens without sharing at once.
  Mount();
  pid_t holder = fork();
  if (holder == 0) {
    execl("/bin/sh", "sh", "-c", ("exec 3>" + folder_ + "/held; echo still-open >&3; : >" + folder_ +
                                  ".written; sleep 30").c_str(),
          nullptr);
    _exit(127);
  }
  std::string written = folder_ + ".written";
  for (int i = 0; i < 100 && access(written.c_str(), F_OK) != 0; ++i) usleep(100000);
  unlink(written.c_str());
  kill(tool_, SIGINT);
  int status = 0;
  ASSERT_EQ(tool_, waitpid(tool_, &status, 0));
  EXPECT_TRUE(WIFEXITED(status)) << status;
  tool_ = -1;
  kill(holder, SIGKILL);
  waitpid(holder, &status, 0);
  mounted_ = Mounted();
  HANDLE held = CreateFileW(u"R:\\held", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, held) << GetLastError();
  CloseHandle(held);
  std::vector<uint8_t> expected = {'s', 't', 'i', 'l', 'l', '-', 'o', 'p', 'e', 'n', '\n'};
  EXPECT_EQ(expected, Win32Bytes(u"R:\\held"));
}

TEST(LettermountStart, AMissingDaemonOrLetterFailsBeforeAnythingIsMounted) {
  char pattern[] = "/tmp/lettermount.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  std::string folder = pattern;
  int code = -1;
  Daemon daemon;  // not started: nobody answers at its root
  std::string out = bw::test::Run(std::string(BW_BIN_DIR "/lettermount --root ") + daemon.Root() + " R: " + folder + " 2>&1",
                        &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_NE(std::string::npos, out.find("no ramvold answers")) << out;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  out = bw::test::Run(std::string(BW_BIN_DIR "/lettermount --root ") + daemon.Root() + " Q: " + folder + " 2>&1", &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_NE(std::string::npos, out.find("there is no drive Q:")) << out;
  EXPECT_EQ("0\n", bw::test::Run("grep -c ' " + folder + " ' /proc/mounts"));
  EXPECT_EQ(0, daemon.Stop());
  rmdir(folder.c_str());
}

// The same tool on an NTFS RAM disk: the shell's files and folders, a
// case-only rename and removals, seen afterwards through the Win32 calls.
class LettermountNtfs : public LettermountFat32 {
 protected:
  uint32_t FileSystem() const override { return ENGINE_FS_NTFS; }
};

TEST_F(LettermountNtfs, ShellToolsWorkOnAnNtfsLetter) {
  TempFolder host;
  std::vector<uint8_t> big = PatternBytes(2 * (1 << 20) + 77, 3);
  ASSERT_TRUE(WriteHostFile(host.File("big"), big));
  Mount();
  int code = -1;
  std::string out = Shell("mkdir -p a/b && cp " + host.File("big") + " a/b/ && echo text > a/Note.txt && "
                          "mv a/Note.txt a/note.txt && mkdir gone && rmdir gone && ls -la a a/b",
                          &code);
  ASSERT_EQ(0, code) << out;
  out = Shell("cmp " + host.File("big") + " a/b/big && cat a/note.txt", &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_EQ("text\n", out);
  Unmount();

  HANDLE file = CreateFileW(u"R:\\a\\b\\big", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  std::vector<uint8_t> back(big.size() + 16);
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &read, nullptr));
  back.resize(read);
  EXPECT_TRUE(back == big);
  CloseHandle(file);
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW(u"R:\\a\\note.txt", &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << GetLastError();
  EXPECT_EQ(std::u16string(u"note.txt"), std::u16string(found.cFileName));  // the case it was renamed to
  FindClose(find);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\gone"));
}

}  // namespace
}  // namespace bw::test
