// Peer checks of the FAT driver on FAT12, FAT16 and FAT32: a tree written
// through the driver is clean for fsck.fat and reads back through mtools
// with the same names and contents; a tree that mtools wrote reads back
// through the driver the same way.
#include "platform/drivers/fat/tests/fat_peer_fixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

namespace bw::test {
namespace {

namespace fs = std::filesystem;

std::string Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes = PatternBytes(length, seed);
  return std::string(bytes.begin(), bytes.end());
}

// The names a person gives: 8.3 in either case, long, with blanks and
// several dots, Unicode beyond the OEM code page, deep, empty, large.
Tree SampleTree(const FatKind &kind) {
  Tree tree;
  tree[u"README.TXT"] = "read me\r\n";
  tree[u"lower.c"] = "int main() { return 0; }\n";
  tree[u"MiXeD.Txt"] = "mixed case";
  tree[u"empty file"] = "";
  tree[u"A long file name with blanks.text"] = Pattern(1000, 1);
  tree[u"archive.tar.gz"] = Pattern(777, 2);
  tree[u"\u00dcnic\u00f6de \u00e9t\u00e9 \u4e2d\u6587.txt"] = "unicode";
  tree[u"caf\u00e9"] = "OEM letters";
  tree[u"Empty Folder"] = kFolder;
  // Across many clusters, and not a whole number of them.
  tree[u"big.bin"] = Pattern(kind.bits == 12 ? 300000 : 1500000, 3);
  std::u16string deep;
  for (int i = 1; i <= 8; ++i) {
    deep += (i == 1 ? u"" : u"\\") + std::u16string(u"Level ") + static_cast<char16_t>(u'0' + i) + u" folder";
    tree[deep] = kFolder;
  }
  tree[deep + u"\\deep file.dat"] = Pattern(5000, 4);
  tree[u"Many"] = kFolder;
  for (int i = 0; i < 300; ++i) {
    std::u16string name = u"Many\\Entry number ";
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    tree[name + u".dat"] = i % 3 ? std::string("entry ") + std::to_string(i) : std::string();
  }
  return tree;
}

// The tree as mcopy extracted it into a host folder.
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

class FatToolsTest : public FatPeerTest {
 protected:
  void WriteThroughDriver(const Tree &tree) {
    for (const auto &[path, content] : tree) {
      HANDLE h = nullptr;
      bool folder = content == kFolder;
      ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\" + path, &h, folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE))
          << Utf8(path);
      // In pieces that end anywhere within a cluster.
      for (size_t at = 0; !folder && at < content.size(); at += 40000)
        ASSERT_STATUS(STATUS_SUCCESS, Write(h, content.substr(at, 40000), static_cast<LONGLONG>(at))) << Utf8(path);
      ZwClose(h);
    }
  }

  // Every folder of the driver's view, walked by listing.
  Tree ReadThroughDriver(const std::u16string &folder = u"") {
    Tree tree;
    HANDLE dir = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS,
                  OpenFile(u"\\" + folder, GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir));
    if (!dir) return tree;
    std::vector<std::u16string> names = List(dir);
    ZwClose(dir);
    for (const std::u16string &shown : names) {
      std::u16string name = shown.substr(0, shown.find(u'|'));
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

  Tree ExtractWithMtools(const TempFolder &temp) {
    fs::path out = temp.File("out");
    fs::create_directories(out);
    CommandResult r = RunCommand(Mtools(mcopy_) + " -s -n -i " + ShellQuote(imagePath_) + " '::*' " +
                                 ShellQuote(out.string() + "/"));
    EXPECT_EQ(0, r.exitCode) << r.output;
    return HostTree(out);
  }
};

// Full trees compare badly in a failure message: the differing paths only.
void ExpectSameTree(const Tree &expected, const Tree &actual) {
  for (const auto &[path, content] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      ADD_FAILURE() << "missing: " << Utf8(path);
    } else if (it->second != content) {
      ADD_FAILURE() << "differs: " << Utf8(path) << " (" << it->second.size() << " bytes, expected "
                    << content.size() << ")";
    }
  }
  for (const auto &[path, content] : actual)
    if (!expected.count(path)) ADD_FAILURE() << "unexpected: " << Utf8(path);
}

TEST_P(FatToolsTest, TreeWrittenByTheDriverIsCleanAndReadsBackThroughMtools) {
  BW_REQUIRE_FAT_PEERS();
  LoadImage(MkfsImage());
  Tree tree = SampleTree(GetParam());
  WriteThroughDriver(tree);
  ASSERT_FALSE(HasFatalFailure());

  // Changes by ZwSetInformationFile and renames: case only (8.3 and long),
  // to a longer name, into another folder; a file grown and one cut by
  // end of file; a deleted file and folder leave nothing behind.
  HANDLE h = nullptr;
  IO_STATUS_BLOCK iosb;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\lower.c", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"LOWER.C"));
  ZwClose(h);
  tree[u"LOWER.C"] = tree[u"lower.c"];
  tree.erase(u"lower.c");
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\README.TXT", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"readme.txt"));
  ZwClose(h);
  tree[u"readme.txt"] = tree[u"README.TXT"];
  tree.erase(u"README.TXT");
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\A long file name with blanks.text", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"A LONG FILE NAME with blanks.text"));
  ZwClose(h);
  tree[u"A LONG FILE NAME with blanks.text"] = tree[u"A long file name with blanks.text"];
  tree.erase(u"A long file name with blanks.text");
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\MiXeD.Txt", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\Many\\Moved into a crowded folder, with a longer name.txt"));
  ZwClose(h);
  tree[u"Many\\Moved into a crowded folder, with a longer name.txt"] = tree[u"MiXeD.Txt"];
  tree.erase(u"MiXeD.Txt");

  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\archive.tar.gz", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  FILE_END_OF_FILE_INFORMATION eof{};
  eof.EndOfFile.QuadPart = 100000;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &eof, sizeof eof, FileEndOfFileInformation));
  ZwClose(h);
  tree[u"archive.tar.gz"].resize(100000, '\0');
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\big.bin", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  eof.EndOfFile.QuadPart = 70001;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &eof, sizeof eof, FileEndOfFileInformation));
  ZwClose(h);
  tree[u"big.bin"].resize(70001);

  FILE_DISPOSITION_INFORMATION doomed{TRUE};
  for (std::u16string path : {u"\\Many\\Entry number 7.dat", u"\\Empty Folder"}) {
    ASSERT_STATUS(STATUS_SUCCESS, OpenFile(path, GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &doomed, sizeof doomed, FileDispositionInformation));
    ZwClose(h);
    tree.erase(path.substr(1));
  }
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Empty Folder 2", &h, FILE_DIRECTORY_FILE));
  ZwClose(h);
  tree[u"Empty Folder 2"] = kFolder;

  // The driver sees what it wrote; then the tools do.
  ExpectSameTree(tree, ReadThroughDriver());
  SaveVolume(GetParam().bytes);
  ExpectFsckClean("after the driver's writes");
  TempFolder temp;
  ExpectSameTree(tree, ExtractWithMtools(temp));
  CommandResult listing = RunCommand(Mtools(mdir_) + " -/ -a -i " + ShellQuote(imagePath_) + " ::");
  EXPECT_EQ(0, listing.exitCode) << listing.output;
  // mdir shows long names as they are (8.3 names it shows in columns).
  static const std::regex plain(R"(^[A-Za-z0-9_]{1,8}(\.[A-Za-z0-9_]{1,3})?$)");
  for (const auto &[path, content] : tree) {
    std::string leaf = Utf8(path.substr(path.rfind(u'\\') == std::u16string::npos ? 0 : path.rfind(u'\\') + 1));
    if (!std::regex_match(leaf, plain)) {
      EXPECT_NE(std::string::npos, listing.output.find(leaf)) << leaf;
    }
  }
}

TEST_P(FatToolsTest, TreeWrittenByMtoolsReadsThroughTheDriver) {
  BW_REQUIRE_FAT_PEERS();
  std::string image = MkfsImage();
  TempFolder temp;
  fs::path source = temp.File("source");
  Tree tree = SampleTree(GetParam());
  tree.erase(u"Empty Folder");  // made by mmd below
  WriteHostTree(source, tree);
  CommandResult r = RunCommand(Mtools(mcopy_) + " -s -i " + ShellQuote(image) + " " + ShellQuote(source.string()) +
                               "/* ::");
  ASSERT_EQ(0, r.exitCode) << r.output;
  r = RunCommand(Mtools(mmd_) + " -i " + ShellQuote(image) + " '::/Empty Folder'");
  ASSERT_EQ(0, r.exitCode) << r.output;
  tree[u"Empty Folder"] = kFolder;
  LoadImage(image);
  ExpectSameTree(tree, ReadThroughDriver());

  // The driver changes the tools' volume; both tools agree after it.
  HANDLE h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\big.bin", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  FILE_DISPOSITION_INFORMATION doomed{TRUE};
  IO_STATUS_BLOCK iosb;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &doomed, sizeof doomed, FileDispositionInformation));
  ZwClose(h);
  tree.erase(u"big.bin");
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\Many\\Entry number 1.dat", GENERIC_ALL, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, " and more", 7));
  ZwClose(h);
  tree[u"Many\\Entry number 1.dat"] = "entry 1 and more";
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Many\\Entry number 300.dat", &h));
  ZwClose(h);
  tree[u"Many\\Entry number 300.dat"] = "";
  SaveVolume(GetParam().bytes);
  ExpectFsckClean("after the driver changed the tools' volume");
  TempFolder again;
  Tree extracted = ExtractWithMtools(again);
  // mtools lower-cases only ASCII letters of a short name that its flags
  // say is lower case, and so extracts CAF\x90 as "cafÉ"; the driver showed
  // "café" above, as Windows does.
  extracted.erase(u"caf\u00c9");
  tree.erase(u"caf\u00e9");
  ExpectSameTree(tree, extracted);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatToolsTest, ::testing::ValuesIn(kFatKinds), KindName);

}  // namespace
}  // namespace bw::test
