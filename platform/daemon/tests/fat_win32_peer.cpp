// FAT RAM disks judged by tools nobody here wrote: files and folders written
// through R:\ by the Win32 calls of this process, the volume saved to an
// image, and that image checked by fsck.fat -n and read back by mtools;
// the other way round, an image made and filled by mkfs.fat and mtools,
// loaded by the engine and read through R:\. A file left open while the
// image is saved or autoflushed is there as far as it was written, because
// the file system's buffers are flushed first.
#include "platform/daemon/tests/fat_win32_fixture.h"

#include <unistd.h>

#include <atomic>
#include <map>
#include <regex>
#include <sstream>

namespace bw::test {
namespace {

struct FatKind {
  const char *name;
  uint32_t fileSystem;
  uint64_t bytes;
  const char16_t *fileSystemName;
  int mkfsBits;
};

// The engine picks FAT12 for the 2 MiB volume and FAT16 for the 16 MiB
// one, both named FAT as Windows names them; all three have 512-byte
// clusters.
const FatKind kKinds[] = {
    {"Fat12", ENGINE_FS_FAT, 2ull << 20, u"FAT", 12},
    {"Fat16", ENGINE_FS_FAT, 16ull << 20, u"FAT", 16},
    {"Fat32", ENGINE_FS_FAT32, 64ull << 20, u"FAT32", 32},
};
constexpr size_t kCluster = 512;

std::string Utf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The peer tools, and an image file beside the daemon's root.
class FatPeerTools : public FatWin32 {
 protected:
  void SetUp() override {
    for (const char *tool :
         {"/usr/sbin/fsck.fat", "/usr/bin/mcopy", "/usr/bin/mdir", "/usr/sbin/mkfs.fat"})
      ASSERT_EQ(0, access(tool, X_OK)) << tool << " is missing: install dosfstools and mtools";
    FatWin32::SetUp();
    image_ = daemon_.Root() + "/volume.img";
  }

  static std::string Mtools(const std::string &tool) {
    return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 /usr/bin/" + tool;
  }

  // fsck.fat -n has nothing to say about the image but its banner, its
  // summary, and the fixed label "Tavik" that the engine's FAT12 and FAT16
  // boot sectors carry whatever the volume's label.
  void ExpectFsckClean(const std::string &image, const std::string &when) {
    static const std::regex intended[] = {
        std::regex(R"(^fsck\.fat \S+ \(.*\)$)"),
        std::regex(
            R"(^Volume label '.*' stored in root directory and label 'Tavik' stored in boot sector and different\.$)"),
        std::regex(R"(^  Auto-copying volume label from root directory to boot sector\.$)"),
        std::regex(
            R"(^Label in boot sector is 'Tavik', but there is no volume label in root directory\.$)"),
        std::regex(R"(^  Auto-removing label from boot sector\.$)"),
        std::regex(R"(^Leaving filesystem unchanged\.$)"),
        std::regex(R"(^$)"),
        std::regex(R"(^.*: \d+ files, \d+/\d+ clusters$)"),
    };
    int code = -1;
    std::string out = ::bw::test::Run("/usr/sbin/fsck.fat -n " + Quote(image) + " 2>&1", &code);
    EXPECT_TRUE(code == 0 || code == 1) << when << "\n" << out;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      bool known = false;
      for (const auto &re : intended) known = known || std::regex_match(line, re);
      EXPECT_TRUE(known) << when << ": " << line << "\n" << out;
    }
    EXPECT_NE(std::string::npos, out.find(" clusters")) << when << "\n" << out;
  }
  // The file at Path ('\\' between components) as mtools reads it.
  bool PeerRead(const std::string &image, const std::u16string &path, std::vector<uint8_t> *bytes) {
    std::string dos = "::/" + Utf8(path);
    for (char &c : dos)
      if (c == '\\') c = '/';
    std::string out = daemon_.Root() + "/peer.out";
    int code = -1;
    std::string said = ::bw::test::Run(Mtools("mcopy") + " -n -o -i " + Quote(image) + " " +
                                           Quote(dos) + " " + Quote(out) + " 2>&1",
                                       &code);
    EXPECT_EQ(0, code) << Utf8(path) << ": " << said;
    *bytes = FileBytes(out);
    unlink(out.c_str());
    return code == 0;
  }
  std::string PeerList(const std::string &image, const std::string &folder) {
    return ::bw::test::Run(Mtools("mdir") + " -b -i " + Quote(image) + " " + Quote("::/" + folder) +
                           " 2>&1");
  }

  std::string image_;
};

class FatWin32Peer : public FatPeerTools, public ::testing::WithParamInterface<FatKind> {
 protected:
  uint64_t CreateKind() {
    // A raw store: its saved image is the volume's bytes and nothing else.
    uint64_t volume = CreateVolume(ENGINE_MOUNT_RAW_IMAGE, GetParam().bytes, GetParam().fileSystem);
    EXPECT_NE(0u, volume);
    EXPECT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
    ExpectFileSystem();
    return volume;
  }
  void ExpectFileSystem() {
    WCHAR fileSystem[16] = {};
    EXPECT_TRUE(
        GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16));
    EXPECT_EQ(std::u16string(GetParam().fileSystemName), std::u16string(fileSystem));
  }
};

TEST_P(FatWin32Peer, FilesOfManySizesAndNamesReadBackByThePeerTools) {
  uint64_t volume = CreateKind();
  std::map<std::u16string, std::vector<uint8_t>> files;
  const size_t big = GetParam().bytes > (4u << 20) ? 3u << 20 : 1u << 20;
  uint32_t seed = 10;
  for (size_t size : {size_t(0), size_t(1), size_t(511), size_t(512), size_t(513), 2 * kCluster - 1,
                      2 * kCluster, 2 * kCluster + 1, big}) {
    std::u16string name =
        u"size " + std::u16string(1, static_cast<char16_t>(u'a' + seed - 10)) + u".bin";
    files[name] = Pattern(size, seed++);
  }
  // Long, 8.3, lower-case 8.3, mixed case, accented, CJK and a name with
  // a character beyond the basic plane.
  for (const char16_t *name :
       {u"A rather long file name, with spaces and (brackets).text", u"SHORT.TXT", u"lower.txt",
        u"MiXeD.CaSe", u"Ünïcödé café.txt", u"日本語のファイル.dat", u"smile \U0001F600.bin"})
    files[name] = Pattern(700, seed++);

  ASSERT_TRUE(CreateDirectoryW(u"R:\\Folder", nullptr)) << GetLastError();
  files[u"Folder\\inner file.txt"] = Pattern(1500, seed++);
  // Folders nested until the path nearly reaches MAX_PATH.
  std::u16string deep = u"R:";
  std::u16string deepRelative;
  for (int level = 0; deep.size() + 12 + 10 < MAX_PATH; ++level) {
    std::u16string part =
        u"level " + std::u16string(1, static_cast<char16_t>(u'A' + level)) + u"xxxx";
    deep += u"\\" + part;
    deepRelative += (deepRelative.empty() ? u"" : u"\\") + part;
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError() << " at " << deep.size();
  }
  files[deepRelative + u"\\end.txt"] = Pattern(600, seed++);
  EXPECT_GT(deep.size() + 8, 240u);

  for (const auto &[name, bytes] : files)
    ASSERT_TRUE(PutFile((u"R:\\" + name).c_str(), bytes)) << Utf8(name);

  // Names differing only in case are one name; a case-only rename keeps
  // the file and shows the new spelling; trailing dots and spaces are not
  // part of a name.
  HANDLE twin = Create(u"R:\\TWIN.TXT", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, twin) << GetLastError();
  CloseHandle(twin);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Create(u"R:\\twin.txt", GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  files[u"TWIN.TXT"] = {};
  ASSERT_TRUE(MoveFileExW(u"R:\\lower.txt", u"R:\\LOWER.TXT", 0)) << GetLastError();
  files[u"LOWER.TXT"] = files[u"lower.txt"];
  files.erase(u"lower.txt");
  ASSERT_TRUE(MoveFileExW(u"R:\\MiXeD.CaSe", u"R:\\Mixed.Case", 0)) << GetLastError();
  files[u"Mixed.Case"] = files[u"MiXeD.CaSe"];
  files.erase(u"MiXeD.CaSe");
  ASSERT_TRUE(PutFile(u"R:\\trailing. . ", Pattern(30, seed)));
  files[u"trailing"] = Pattern(30, seed++);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\trailing"));

  ASSERT_TRUE(SetVolumeLabelW(u"R:\\", u"Ram Files")) << GetLastError();

  // Everything reads back through the letter before the peers look.
  for (const auto &[name, bytes] : files) {
    std::vector<uint8_t> back;
    EXPECT_TRUE(GetFile((u"R:\\" + name).c_str(), &back)) << Utf8(name) << " " << GetLastError();
    EXPECT_EQ(bytes, back) << Utf8(name);
  }

  ASSERT_TRUE(Save(volume, image_, true)) << GetLastError();
  ASSERT_EQ(GetParam().bytes, FileBytes(image_).size());
  ExpectFsckClean(image_, "after writing through R:");
  for (const auto &[name, bytes] : files) {
    // mtools knows no characters beyond the basic plane: fsck.fat and the
    // reading through R:\ above judge that name.
    if (name.find(u'\xD83D') != std::u16string::npos) continue;
    std::vector<uint8_t> peer;
    if (PeerRead(image_, name, &peer)) {
      EXPECT_EQ(bytes, peer) << Utf8(name);
    }
  }
  std::string label = ::bw::test::Run(Mtools("mlabel") + " -s -i " + Quote(image_) + " :: 2>&1");
  EXPECT_NE(std::string::npos, label.find("RAM FILES")) << label;
  std::string root = PeerList(image_, "");
  EXPECT_NE(std::string::npos, root.find("/LOWER.TXT")) << root;
  EXPECT_EQ(std::string::npos, root.find("/lower.txt")) << root;
  EXPECT_NE(std::string::npos, root.find("/Mixed.Case")) << root;
  EXPECT_EQ(std::string::npos, root.find("twin.txt")) << root;
  EXPECT_NE(std::string::npos, root.find("/trailing\n")) << root;

  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

TEST_P(FatWin32Peer, AFullDiskRefusesTheLastWriteAndStaysSound) {
  uint64_t volume = CreateKind();
  ULARGE_INTEGER available, total, freeBefore;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &freeBefore)) << GetLastError();
  ASSERT_TRUE(PutFile(u"R:\\small.txt", Pattern(100, 1)));

  // Writes of 64 KiB until one is refused: the disk is full, and what was
  // written before stays.
  HANDLE file = Create(u"R:\\filler.bin");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  std::vector<uint8_t> chunk = Pattern(64 << 10, 2);
  uint64_t written = 0;
  DWORD done = 0, error = 0;
  while (written <= total.QuadPart) {
    if (!WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &done, nullptr)) {
      error = GetLastError();
      break;
    }
    written += done;
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), error);
  // The rest of the room, to the last cluster, in single clusters.
  std::vector<uint8_t> cluster = Pattern(kCluster, 3);
  while (WriteFile(file, cluster.data(), kCluster, &done, nullptr)) written += done;
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  ULARGE_INTEGER freeFull;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &freeFull)) << GetLastError();
  EXPECT_EQ(0u, freeFull.QuadPart);
  EXPECT_EQ(freeBefore.QuadPart - kCluster, written)
      << "every free cluster but small.txt's is the filler's";
  LARGE_INTEGER size = {};
  EXPECT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(written, static_cast<uint64_t>(size.QuadPart));
  EXPECT_TRUE(CloseHandle(file));
  // A folder needs a cluster of its own: refused, and nothing of it left.
  EXPECT_FALSE(CreateDirectoryW(u"R:\\no room", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\no room"));

  ASSERT_TRUE(Save(volume, image_, true)) << GetLastError();
  ExpectFsckClean(image_, "with the disk full");
  std::vector<uint8_t> peer;
  if (PeerRead(image_, u"small.txt", &peer)) {
    EXPECT_EQ(Pattern(100, 1), peer);
  }

  // Deleted, the room is all back.
  EXPECT_TRUE(DeleteFileW(u"R:\\filler.bin")) << GetLastError();
  ULARGE_INTEGER freeAfter;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &freeAfter)) << GetLastError();
  EXPECT_EQ(freeBefore.QuadPart - kCluster, freeAfter.QuadPart);
  ASSERT_TRUE(Save(volume, image_, true)) << GetLastError();
  ExpectFsckClean(image_, "after deleting the filler");

  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

TEST_P(FatWin32Peer, AnImageFilledByThePeersReadsBackThroughTheLetter) {
  ASSERT_EQ(
      0, system(("/usr/sbin/mkfs.fat -C -F " + std::to_string(GetParam().mkfsBits) + " -n PEERS " +
                 Quote(image_) + " " + std::to_string(GetParam().bytes / 1024) + " >/dev/null 2>&1")
                    .c_str()));
  std::string source = daemon_.Root() + "/source.bin";
  std::vector<uint8_t> data = Pattern(300000, 4);
  ASSERT_TRUE(std::ofstream(source, std::ios::binary)
                  .write(reinterpret_cast<const char *>(data.data()),
                         static_cast<std::streamsize>(data.size())));
  int code = -1;
  std::string said =
      ::bw::test::Run(Mtools("mmd") + " -i " + Quote(image_) + " '::/Peer folder' 2>&1", &code);
  ASSERT_EQ(0, code) << said;
  said = ::bw::test::Run(Mtools("mcopy") + " -i " + Quote(image_) + " " + Quote(source) + " " +
                             Quote("::/Peer folder/" + Utf8(u"données longues.bin")) + " 2>&1",
                         &code);
  ASSERT_EQ(0, code) << said;

  uint64_t volume = MountRawImage(image_);
  ASSERT_NE(0u, volume);
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  ExpectFileSystem();
  WCHAR label[32] = {};
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", label, 32, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(std::u16string(u"PEERS"), std::u16string(label));
  std::vector<uint8_t> back;
  EXPECT_TRUE(GetFile(u"R:\\Peer folder\\données longues.bin", &back)) << GetLastError();
  EXPECT_EQ(data, back);
  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(u"R:\\peer FOLDER\\*.bin", &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << GetLastError();
  EXPECT_EQ(std::u16string(u"données longues.bin"), std::u16string(found.cFileName));
  FindClose(find);

  // What the letter adds, the image file holds (it is the store), and the
  // peers agree once the volume is gone.
  ASSERT_TRUE(PutFile(u"R:\\Peer folder\\added.txt", Pattern(2000, 5)));
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
  EXPECT_TRUE(WaitUntilGone(volume));
  ExpectFsckClean(image_, "after writing onto the mounted image");
  std::vector<uint8_t> peer;
  if (PeerRead(image_, u"Peer folder\\added.txt", &peer)) {
    EXPECT_EQ(Pattern(2000, 5), peer);
  }
}

TEST_P(FatWin32Peer, AFileStillOpenIsInTheSavedAndTheAutoflushedImage) {
  // A memory volume loaded from an image mkfs.fat made, saved back to it.
  ASSERT_EQ(
      0, system(("/usr/sbin/mkfs.fat -C -F " + std::to_string(GetParam().mkfsBits) + " " +
                 Quote(image_) + " " + std::to_string(GetParam().bytes / 1024) + " >/dev/null 2>&1")
                    .c_str()));
  uint64_t volume = LoadRawImage(image_);
  ASSERT_NE(0u, volume);
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  ExpectFileSystem();

  std::vector<uint8_t> first = Pattern(GetParam().bytes / 4, 6);
  HANDLE file = Create(u"R:\\open file.bin");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  ASSERT_TRUE(Write(file, first));

  // SaveImage with the flush of the file system, to another file.
  std::string saved = daemon_.Root() + "/saved.img";
  ASSERT_TRUE(Save(volume, saved, true)) << GetLastError();
  ExpectFsckClean(saved, "saved with a file open");
  std::vector<uint8_t> peer;
  if (PeerRead(saved, u"open file.bin", &peer)) {
    EXPECT_EQ(first, peer);
  }

  // The autoflush with flag 0x1, every second, into the volume's own image.
  std::vector<uint8_t> more = Pattern(5000, 7);
  ASSERT_TRUE(Write(file, more));
  first.insert(first.end(), more.begin(), more.end());
  ASSERT_TRUE(SetFlushState(volume, 1, ENGINE_SAVE_FLUSH_FIRST)) << GetLastError();
  bool flushed = false;
  for (int i = 0; i < 300 && !flushed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string out = daemon_.Root() + "/flushed.out";
    int code = -1;
    ::bw::test::Run(Mtools("mcopy") + " -n -o -i " + Quote(image_) + " '::/open file.bin' " +
                        Quote(out) + " 2>/dev/null",
                    &code);
    flushed = code == 0 && FileBytes(out) == first;
  }
  EXPECT_TRUE(flushed) << "the autoflushed image never held the open file";
  ASSERT_TRUE(SetFlushState(volume, 0, 0)) << GetLastError();
  ExpectFsckClean(image_, "autoflushed with a file open");

  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

// Saves while a program writes: the autoflush's changed-block writes and
// whole saves to another file hold the volume's writers off for a moment;
// the file system's writes wait for them instead of failing.
class FatWin32Saving : public FatPeerTools {};

TEST_F(FatWin32Saving, WritesGoOnWhileTheVolumeIsSaved) {
  ASSERT_EQ(
      0,
      system(("/usr/sbin/mkfs.fat -C -F 32 " + Quote(image_) + " 65536 >/dev/null 2>&1").c_str()));
  uint64_t volume = LoadRawImage(image_);
  ASSERT_NE(0u, volume);
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  constexpr size_t kChunk = 1 << 20, kChunks = 24;
  std::vector<uint8_t> expected;
  for (size_t i = 0; i < kChunks; ++i) {
    std::vector<uint8_t> chunk = Pattern(kChunk, static_cast<uint32_t>(i));
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  ASSERT_TRUE(PutFile(u"R:\\busy.bin", expected));
  ASSERT_TRUE(SetFlushState(volume, 1, ENGINE_SAVE_FLUSH_FIRST)) << GetLastError();

  std::atomic<bool> stop{false};
  int writes = 0, failures = 0;
  DWORD lastError = 0;
  std::thread writer([&] {
    HANDLE file =
        Create(u"R:\\busy.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
      failures = -1;
      return;
    }
    while (!stop) {
      size_t at = static_cast<size_t>(writes) % kChunks;
      std::vector<uint8_t> chunk = Pattern(kChunk, static_cast<uint32_t>(1000 + writes));
      LARGE_INTEGER to;
      to.QuadPart = static_cast<LONGLONG>(at * kChunk);
      ++writes;
      if (!SetFilePointerEx(file, to, nullptr, FILE_BEGIN) || !Write(file, chunk)) {
        ++failures;
        lastError = GetLastError();
      } else {
        std::copy(chunk.begin(), chunk.end(),
                  expected.begin() + static_cast<std::ptrdiff_t>(at * kChunk));
      }
    }
    CloseHandle(file);
  });
  // Whole saves to another file meanwhile, between the autoflushes.
  std::string other = daemon_.Root() + "/other.img";
  bool saved = true;
  for (int i = 0; i < 3; ++i) {
    saved = Save(volume, other, true) && saved;
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
  }
  stop = true;
  writer.join();
  EXPECT_TRUE(saved) << GetLastError();
  EXPECT_EQ(0, failures) << "of " << writes << " writes; the last error " << lastError;
  ASSERT_TRUE(SetFlushState(volume, 0, ENGINE_SAVE_FLUSH_FIRST)) << GetLastError();

  // What the program wrote last is what the peers read.
  ASSERT_TRUE(Save(volume, other, true)) << GetLastError();
  ExpectFsckClean(other, "saved after the writes");
  std::vector<uint8_t> peer;
  if (PeerRead(other, u"busy.bin", &peer)) {
    EXPECT_TRUE(peer == expected) << "the saved file differs from what was written";
  }
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

TEST_F(FatWin32Saving, AVolumeSavedAtShutdownHoldsTheFileStillOpen) {
  ASSERT_EQ(
      0,
      system(("/usr/sbin/mkfs.fat -C -F 16 " + Quote(image_) + " 16384 >/dev/null 2>&1").c_str()));
  uint64_t volume = LoadRawImage(image_);
  ASSERT_NE(0u, volume);
  PropertiesRequest properties = {volume, ENGINE_PROPERTY_SAVE_AT_SHUTDOWN, 0};
  ASSERT_TRUE(Control(IOCTL_ENGINE_SET_PROPERTIES, Tail(&properties, sizeof properties, u"", 0)))
      << GetLastError();
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  ASSERT_TRUE(CreateDirectoryW(u"R:\\kept", nullptr)) << GetLastError();
  std::vector<uint8_t> data = Pattern(123456, 8);
  HANDLE file = Create(u"R:\\kept\\open at shutdown.bin");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  ASSERT_TRUE(Write(file, data));

  // The system shuts down with the file open.
  EXPECT_EQ(0, daemon_.Stop());
  ExpectFsckClean(image_, "saved at shutdown");
  std::vector<uint8_t> peer;
  if (PeerRead(image_, u"kept\\open at shutdown.bin", &peer)) {
    EXPECT_TRUE(peer == data) << "the image differs from what was written";
  }
}

INSTANTIATE_TEST_SUITE_P(FatKinds, FatWin32Peer, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<FatKind> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace bw::test
