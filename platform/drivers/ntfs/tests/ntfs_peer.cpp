// Peer checks of the NTFS driver with ntfs-3g's own tools as judges: a tree
// written through the driver is clean for ntfsfix and reads back through an
// ntfs-3g mount with the same names and contents; a tree an ntfs-3g mount
// wrote reads back through the driver; a full disk is reported and leaves
// a clean volume; the root's compression and a folder's security
// descriptor set through the driver are what ntfs-3g sees.
#include "engine/format/tests/support/peer_support.h"
#include "platform/drivers/fat/tests/fat_peer_fixture.h"
#include "platform/drivers/ntfs/tests/ntfs_fixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace bw::test {
namespace {

namespace fs = std::filesystem;

std::string Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes = PatternBytes(length, seed);
  return std::string(bytes.begin(), bytes.end());
}

Tree SampleTree() {
  Tree tree;
  tree[u"README.TXT"] = "read me\r\n";
  tree[u"MiXeD.Txt"] = "mixed case";
  tree[u"empty file"] = "";
  tree[u"A long file name with blanks and several.dots.text"] = Pattern(1000, 1);
  tree[u"\u00dcnic\u00f6de \u00e9t\u00e9 \u4e2d\u6587 \U0001F600.txt"] = "unicode";
  tree[std::u16string(255, u'x')] = "the longest name";
  tree[u"Empty Folder"] = kFolder;
  // Resident in the record, one cluster, many clusters and not whole ones.
  tree[u"small.bin"] = Pattern(300, 2);
  tree[u"cluster.bin"] = Pattern(4096, 3);
  tree[u"big.bin"] = Pattern(2500000, 4);
  std::u16string deep;
  for (int i = 1; i <= 12; ++i) {
    deep += (i == 1 ? u"" : u"\\") + std::u16string(u"Level ") + static_cast<char16_t>(u'a' + i) + u" folder";
    tree[deep] = kFolder;
  }
  tree[deep + u"\\deep file.dat"] = Pattern(5000, 5);
  tree[u"Many"] = kFolder;
  for (int i = 0; i < 300; ++i) {
    std::u16string name = u"Many\\Entry number ";
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    tree[name + u".dat"] = i % 3 ? std::string("entry ") + std::to_string(i) : std::string();
  }
  return tree;
}

Tree HostTree(const fs::path &root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::u16string relative;
    for (const fs::path &part : fs::relative(it->path(), root)) {
      if (!relative.empty()) relative += u'\\';
      relative += part.u16string();
    }
    if (it->is_directory()) {
      tree[relative] = kFolder;
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      tree[relative] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  return tree;
}

void WriteHostTree(const fs::path &root, const Tree &tree) {
  for (const auto &[path, content] : tree) {
    std::string relative = Utf8(path);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    if (content == kFolder) {
      fs::create_directories(root / relative);
    } else {
      fs::create_directories((root / relative).parent_path());
      std::ofstream(root / relative, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
    }
  }
}

void ExpectSameTree(const Tree &expected, const Tree &actual) {
  for (const auto &[path, content] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      ADD_FAILURE() << "missing: " << Utf8(path);
    } else if (it->second != content) {
      ADD_FAILURE() << "differs: " << Utf8(path) << " (" << it->second.size() << " bytes, " << content.size()
                    << " expected)";
    }
  }
  for (const auto &[path, content] : actual)
    if (!expected.count(path)) ADD_FAILURE() << "unexpected: " << Utf8(path);
}

// An ntfs-3g mount of an image in a temporary folder, gone with the object.
class Ntfs3gMount {
 public:
  Ntfs3gMount(const std::string &tool, const std::string &image, const std::string &folder, bool readOnly)
      : folder_(folder) {
    fs::create_directories(folder);
    CommandResult r = RunCommand(tool + (readOnly ? " -o ro " : " ") + ShellQuote(image) + " " + ShellQuote(folder));
    mounted_ = r.exitCode == 0;
    EXPECT_TRUE(mounted_) << r.output;
  }
  ~Ntfs3gMount() { Unmount(); }
  void Unmount() {
    if (!mounted_) return;
    CommandResult r = RunCommand("umount " + ShellQuote(folder_));
    EXPECT_EQ(0, r.exitCode) << r.output;
    mounted_ = false;
  }
  bool Mounted() const { return mounted_; }
  fs::path Path() const { return folder_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

class NtfsPeerTest : public NtfsVolumeTest {
 protected:
  void SetUp() override {
    NtfsVolumeTest::SetUp();
    ntfsfix_ = FindTool("ntfsfix");
    ntfs3g_ = FindTool("ntfs-3g");
    mkntfs_ = FindTool("mkntfs");
  }

  void WriteThroughDriver(const Tree &tree) {
    for (const auto &[path, content] : tree) {
      HANDLE h = nullptr;
      bool folder = content == kFolder;
      ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\" + path, &h, folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE))
          << Utf8(path);
      // In pieces that end anywhere within a cluster.
      for (size_t at = 0; !folder && at < content.size(); at += 300000)
        ASSERT_STATUS(STATUS_SUCCESS, Write(h, content.substr(at, 300000), static_cast<LONGLONG>(at))) << Utf8(path);
      ZwClose(h);
    }
  }

  Tree ReadThroughDriver(const std::u16string &folder = u"") {
    Tree tree;
    HANDLE dir = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, OpenFile(u"\\" + folder, GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir));
    if (!dir) return tree;
    std::vector<std::u16string> names = List(dir);
    ZwClose(dir);
    for (const std::u16string &name : names) {
      if (name == u"." || name == u"..") continue;
      std::u16string path = folder.empty() ? name : folder + u"\\" + name;
      HANDLE h = nullptr;
      NTSTATUS s = OpenFile(u"\\" + path, GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &h);
      if (NT_SUCCESS(s)) {
        ZwClose(h);
        tree[path] = kFolder;
        Tree inner = ReadThroughDriver(path);
        tree.insert(inner.begin(), inner.end());
      } else {
        EXPECT_STATUS(STATUS_NOT_A_DIRECTORY, s) << Utf8(path);
        tree[path] = ReadWhole(u"\\" + path);
      }
    }
    return tree;
  }

  // ntfsfix -n (which changes nothing) finds the volume sound.
  void ExpectNtfsfixClean(const std::string &when) {
    CommandResult r = RunCommand(ntfsfix_ + " -n " + ShellQuote(imagePath_));
    EXPECT_EQ(0, r.exitCode) << when << "\n" << r.output;
    EXPECT_NE(std::string::npos, r.output.find("was processed successfully")) << when << "\n" << r.output;
  }

  // An extended attribute of a file on an ntfs-3g mount, as hex.
  static std::string Xattr(const fs::path &path, const std::string &name) {
    CommandResult r = RunCommand("python3 -c 'import os,sys; print(os.getxattr(sys.argv[1], sys.argv[2]).hex())' " +
                                 ShellQuote(path.string()) + " " + name);
    EXPECT_EQ(0, r.exitCode) << r.output;
    std::string out = r.output;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

  std::string ntfsfix_, ntfs3g_, mkntfs_;
};

#define BW_REQUIRE_NTFS_PEERS()                               \
  do {                                                        \
    BW_REQUIRE_PEER_TOOL(ntfsfix_, "ntfsfix", "ntfs-3g");     \
    BW_REQUIRE_PEER_TOOL(ntfs3g_, "ntfs-3g", "ntfs-3g");      \
    BW_REQUIRE_PEER_TOOL(mkntfs_, "mkntfs", "ntfs-3g");       \
  } while (0)

TEST_F(NtfsPeerTest, TreeWrittenThroughTheDriverReadsBackThroughNtfs3g) {
  BW_REQUIRE_NTFS_PEERS();
  LoadFormatted();
  Tree tree = SampleTree();
  WriteThroughDriver(tree);
  // A case-only rename and a move, which pass through the index twice.
  HANDLE h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\MiXeD.Txt", GENERIC_READ | DELETE, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"mixed.TXT"));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\Empty Folder\\mixed.TXT"));
  ZwClose(h);
  tree.erase(u"MiXeD.Txt");
  tree[u"Empty Folder\\mixed.TXT"] = "mixed case";
  SaveVolume(kNtfsImageBytes);
  ExpectNtfsfixClean("after the driver wrote the tree");
  TempFolder temp;
  Ntfs3gMount mount(ntfs3g_, imagePath_, temp.File("mnt"), true);
  ASSERT_TRUE(mount.Mounted());
  ExpectSameTree(tree, HostTree(mount.Path()));
}

TEST_F(NtfsPeerTest, TreeWrittenByNtfs3gReadsBackThroughTheDriver) {
  BW_REQUIRE_NTFS_PEERS();
  std::string image = MakeImage(kNtfsImageBytes, mkntfs_ + " -F -f -q -L PEER %s");
  Tree tree = SampleTree();
  {
    TempFolder temp;
    Ntfs3gMount mount(ntfs3g_, image, temp.File("mnt"), false);
    ASSERT_TRUE(mount.Mounted());
    WriteHostTree(mount.Path(), tree);
  }
  LoadImage(image);
  ExpectSameTree(tree, ReadThroughDriver());
  // Names ntfs-3g wrote open in any case.
  EXPECT_EQ("read me\r\n", ReadWhole(u"\\readme.txt"));
}

TEST_F(NtfsPeerTest, FullDiskIsReportedAndTheVolumeStaysSound) {
  BW_REQUIRE_NTFS_PEERS();
  LoadFormatted();
  HANDLE root = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &root));
  auto freeBytes = [&] {
    Reply r = SendIrp(root, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsFullSizeInformation, {}, 32);
    auto *s = reinterpret_cast<PFILE_FS_FULL_SIZE_INFORMATION>(r.output.data());
    return static_cast<ULONG64>(s->ActualAvailableAllocationUnits.QuadPart) * s->SectorsPerAllocationUnit *
           s->BytesPerSector;
  };
  ULONG64 before = freeBytes();
  std::string chunk = Pattern(1 << 20, 9);
  NTSTATUS status = STATUS_SUCCESS;
  int files = 0;
  std::vector<LONGLONG> sizes;
  while (NT_SUCCESS(status) && files < 64) {
    HANDLE h = nullptr;
    std::u16string name = u"\\fill" + std::u16string(1, static_cast<char16_t>(u'A' + files % 26)) +
                          std::u16string(1, static_cast<char16_t>(u'a' + files / 26));
    status = Create(name, &h);
    if (!NT_SUCCESS(status)) break;
    ++files;
    LONGLONG at = 0;
    while (NT_SUCCESS(status = Write(h, chunk, at))) at += static_cast<LONGLONG>(chunk.size());
    // The write that found no room left the file as it was.
    EXPECT_EQ(at, Size(h));
    sizes.push_back(at);
    ZwClose(h);
  }
  EXPECT_STATUS(STATUS_DISK_FULL, status);
  ULONG64 full = freeBytes();
  EXPECT_LT(full, before / 8);
  // A smaller write still finds what room is left, and deleting gives room back.
  HANDLE h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\fillAa", DELETE, kShareAll, FILE_OPEN, FILE_DELETE_ON_CLOSE, &h));
  ZwClose(h);
  EXPECT_GE(freeBytes(), full + static_cast<ULONG64>(sizes[0]));
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\after.txt", &h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, chunk));
  ZwClose(h);
  ULONG64 now = freeBytes();
  ZwClose(root);
  SaveVolume(kNtfsImageBytes);
  ExpectNtfsfixClean("after the disk was filled");
  // ntfs-3g counts the same free space and reads the last file whole.
  TempFolder temp;
  Ntfs3gMount mount(ntfs3g_, imagePath_, temp.File("mnt"), true);
  ASSERT_TRUE(mount.Mounted());
  CommandResult df = RunCommand("python3 -c 'import os,sys; s=os.statvfs(sys.argv[1]); print(s.f_bfree*s.f_frsize)' " +
                                ShellQuote(mount.Path().string()));
  EXPECT_EQ(std::to_string(now) + "\n", df.output);
  std::ifstream in(mount.Path() / "after.txt", std::ios::binary);
  EXPECT_EQ(chunk, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

TEST_F(NtfsPeerTest, RootCompressionAndFolderSecurityAreWhatNtfs3gSees) {
  BW_REQUIRE_NTFS_PEERS();
  LoadFormatted();
  HANDLE root = nullptr, h = nullptr, dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &root));
  ASSERT_STATUS(STATUS_SUCCESS, SetCompression(root, COMPRESSION_FORMAT_DEFAULT));
  ZwClose(root);
  std::string text;
  for (int i = 0; i < 30000; ++i) text += "a line that compresses well " + std::to_string(i % 7) + "\n";
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\packed.txt", &h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, text));
  ZwClose(h);

  // Owner Administrators, group SYSTEM, Users may read.
  UCHAR admins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  UCHAR system[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  UCHAR users[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};
  UCHAR aclBuffer[64];
  auto *acl = reinterpret_cast<PACL>(aclBuffer);
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof aclBuffer, ACL_REVISION));
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, users));
  SECURITY_DESCRIPTOR sd;
  RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  RtlSetOwnerSecurityDescriptor(&sd, admins, FALSE);
  RtlSetGroupSecurityDescriptor(&sd, system, FALSE);
  RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\guarded", GENERIC_ALL, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE, &dir));
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetSecurityObject(dir, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                             DACL_SECURITY_INFORMATION, &sd));
  Bytes ours(512);
  ULONG length = 0;
  ASSERT_STATUS(STATUS_SUCCESS, ZwQuerySecurityObject(dir, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                               DACL_SECURITY_INFORMATION,
                                                      ours.data(), static_cast<ULONG>(ours.size()), &length));
  ours.resize(length);
  ZwClose(dir);

  SaveVolume(kNtfsImageBytes);
  ExpectNtfsfixClean("after compression and security were set");
  TempFolder temp;
  Ntfs3gMount mount(ntfs3g_, imagePath_, temp.File("mnt"), true);
  ASSERT_TRUE(mount.Mounted());
  // The attributes, big-endian: the compressed bit on the root and the file.
  std::string rootAttrib = Xattr(mount.Path(), "system.ntfs_attrib_be");
  ASSERT_EQ(8u, rootAttrib.size());
  EXPECT_TRUE(std::stoul(rootAttrib, nullptr, 16) & FILE_ATTRIBUTE_COMPRESSED) << rootAttrib;
  std::string fileAttrib = Xattr(mount.Path() / "packed.txt", "system.ntfs_attrib_be");
  EXPECT_TRUE(std::stoul(fileAttrib, nullptr, 16) & FILE_ATTRIBUTE_COMPRESSED) << fileAttrib;
  std::ifstream in(mount.Path() / "packed.txt", std::ios::binary);
  EXPECT_EQ(text, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  // The folder's descriptor is ours, byte for byte.
  std::string hex;
  for (UCHAR b : ours) {
    char two[3];
    snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  EXPECT_EQ(hex, Xattr(mount.Path() / "guarded", "system.ntfs_acl"));
}

}  // namespace
}  // namespace bw::test
