// Directory queries on host folders: patterns, the classes' records, the
// search kept from call to call, restarts, single entries, a buffer too
// small for an entry, and what a query on a file answers.
#include "platform/kernel/tests/hostfs_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace bw::test {
namespace {

class HostFsDirectoryTest : public HostFsTest {
 protected:
  void SetUp() override {
    HostFsTest::SetUp();
    mkdir(Host("dir").c_str(), 0755);
    for (const char *name : {"b.txt", "A.TXT", "c.log", "README"}) MakeFile(std::string("dir/") + name, "12345");
    mkdir(Host("dir/sub").c_str(), 0755);
    ASSERT_STATUS(STATUS_SUCCESS, Open(&dir_, "dir", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
  }
  void TearDown() override {
    if (dir_) ZwClose(dir_);
    HostFsTest::TearDown();
  }

  // One query; the names it returned, in order.
  NTSTATUS Query(std::vector<std::u16string> *names, const char16_t *pattern = nullptr,
                 bool restart = false, bool single = false, ULONG length = 4096,
                 FILE_INFORMATION_CLASS cls = FileBothDirectoryInformation) {
    std::vector<UCHAR> buffer(length);
    std::u16string p = pattern ? pattern : u"";
    UNICODE_STRING name{static_cast<USHORT>(p.size() * 2), static_cast<USHORT>(p.size() * 2),
                        p.data()};
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwQueryDirectoryFile(dir_, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                           length, cls, single, pattern ? &name : nullptr,
                                           restart);
    names->clear();
    if (status != STATUS_SUCCESS) return status;
    EXPECT_LE(iosb.Information, length);
    for (ULONG at = 0;;) {
      EXPECT_EQ(0u, at % 8) << "entries start on 8-byte boundaries";
      auto *e = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(buffer.data() + at);
      names->emplace_back(e->FileName, e->FileNameLength / 2);
      if (!e->NextEntryOffset) break;
      at += e->NextEntryOffset;
    }
    return status;
  }

  HANDLE dir_ = nullptr;
};

using Names = std::vector<std::u16string>;

TEST_F(HostFsDirectoryTest, PatternsMatchWithoutRegardToCase) {
  Names names;
  ASSERT_STATUS(STATUS_SUCCESS, Query(&names, u"*"));
  // Sorted without regard to case, "." and ".." first below the root.
  EXPECT_EQ((Names{u".", u"..", u"A.TXT", u"b.txt", u"c.log", u"README", u"sub"}), names);
  struct Case {
    const char16_t *pattern;
    Names expected;
  } cases[] = {
      {u"*.txt", {u"A.TXT", u"b.txt"}},
      {u"?.LOG", {u"c.log"}},
      {u"readme", {u"README"}},
      {u"<\"", {u".", u"..", u"README", u"sub"}},  // "*." of DOS: no extension
      {u"s*", {u"sub"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern)));
    ASSERT_STATUS(STATUS_SUCCESS, Query(&names, c.pattern, true));
    EXPECT_EQ(c.expected, names);
  }
  EXPECT_STATUS(STATUS_NO_SUCH_FILE, Query(&names, u"*.none", true));
}

TEST_F(HostFsDirectoryTest, SearchGoesOnFromCallToCallUntilRestarted) {
  Names names, all;
  // The pattern of the first query holds; later names are not taken.
  ASSERT_STATUS(STATUS_SUCCESS, Query(&names, u"*.txt", false, true));
  all = names;
  ASSERT_STATUS(STATUS_SUCCESS, Query(&names, u"*.log", false, true));
  all.insert(all.end(), names.begin(), names.end());
  EXPECT_EQ((Names{u"A.TXT", u"b.txt"}), all);
  EXPECT_STATUS(STATUS_NO_MORE_FILES, Query(&names));
  EXPECT_STATUS(STATUS_NO_MORE_FILES, Query(&names));
  // A restart takes a new pattern (or keeps the old one without).
  ASSERT_STATUS(STATUS_SUCCESS, Query(&names, u"*.log", true));
  EXPECT_EQ((Names{u"c.log"}), names);
  ASSERT_STATUS(STATUS_SUCCESS, Query(&names, nullptr, true));
  EXPECT_EQ((Names{u"c.log"}), names);
}

TEST_F(HostFsDirectoryTest, SmallBuffersReturnWhatFitsAndLoseNothing) {
  Names names, all;
  const ULONG oneEntry = FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName) + 16;
  NTSTATUS status;
  while ((status = Query(&names, u"*", false, false, oneEntry)) == STATUS_SUCCESS)
    all.insert(all.end(), names.begin(), names.end());
  EXPECT_STATUS(STATUS_NO_MORE_FILES, status);
  EXPECT_EQ((Names{u".", u"..", u"A.TXT", u"b.txt", u"c.log", u"README", u"sub"}), all);

  // A name longer than the room: cut, STATUS_BUFFER_OVERFLOW, and it stays next.
  MakeFile("dir/a-very-long-name-indeed.bin", "");
  std::vector<UCHAR> buffer(FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName) + 8);
  std::u16string pattern = u"a-very*";
  UNICODE_STRING name{static_cast<USHORT>(pattern.size() * 2),
                      static_cast<USHORT>(pattern.size() * 2), pattern.data()};
  IO_STATUS_BLOCK iosb{};
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW,
                ZwQueryDirectoryFile(dir_, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                     static_cast<ULONG>(buffer.size()), FileBothDirectoryInformation,
                                     FALSE, &name, TRUE));
  auto *e = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(buffer.data());
  EXPECT_EQ(27u * 2, e->FileNameLength);
  ASSERT_STATUS(STATUS_SUCCESS, Query(&names, nullptr, false, false, 4096));
  EXPECT_EQ((Names{u"a-very-long-name-indeed.bin"}), names);
  // Below the fixed part the I/O manager refuses.
  EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH, ZwQueryDirectoryFile(
      dir_, nullptr, nullptr, nullptr, &iosb, buffer.data(), 16, FileBothDirectoryInformation,
      FALSE, nullptr, TRUE));
}

TEST_F(HostFsDirectoryTest, EveryClassDescribesTheEntry) {
  struct stat st;
  ASSERT_EQ(0, stat(Host("dir/b.txt").c_str(), &st));
  for (FILE_INFORMATION_CLASS cls :
       {FileDirectoryInformation, FileFullDirectoryInformation, FileBothDirectoryInformation,
        FileIdBothDirectoryInformation, FileIdFullDirectoryInformation, FileNamesInformation}) {
    SCOPED_TRACE(cls);
    std::vector<UCHAR> buffer(1024);
    std::u16string pattern = u"b.txt";
    UNICODE_STRING name{10, 10, pattern.data()};
    IO_STATUS_BLOCK iosb{};
    ASSERT_STATUS(STATUS_SUCCESS, ZwQueryDirectoryFile(dir_, nullptr, nullptr, nullptr, &iosb,
                                                       buffer.data(), 1024, cls, FALSE, &name,
                                                       TRUE));
    const WCHAR *fileName;
    ULONG nameLength;
    if (cls == FileNamesInformation) {
      auto *e = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer.data());
      fileName = e->FileName;
      nameLength = e->FileNameLength;
      EXPECT_EQ(FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) + 10u, iosb.Information);
    } else {
      auto *e = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(buffer.data());
      EXPECT_EQ(5, e->EndOfFile.QuadPart);
      EXPECT_EQ(static_cast<ULONG>(FILE_ATTRIBUTE_ARCHIVE), e->FileAttributes);
      EXPECT_NE(0, e->LastWriteTime.QuadPart);
      nameLength = e->FileNameLength;
      fileName = reinterpret_cast<const WCHAR *>(
          buffer.data() + (cls == FileDirectoryInformation       ? 64
                           : cls == FileFullDirectoryInformation ? 68
                           : cls == FileIdFullDirectoryInformation ? 80
                           : cls == FileBothDirectoryInformation ? 94
                                                                 : 104));
      if (cls == FileIdBothDirectoryInformation) {
        EXPECT_EQ(static_cast<LONGLONG>(st.st_ino),
                  reinterpret_cast<PFILE_ID_BOTH_DIR_INFORMATION>(buffer.data())->FileId.QuadPart);
      }
    }
    EXPECT_EQ(u"b.txt", std::u16string(fileName, nameLength / 2));
  }
}

TEST_F(HostFsDirectoryTest, QueriesOnFilesAndBadClassesFail) {
  HANDLE file;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&file, "dir/b.txt", GENERIC_READ, 0, FILE_OPEN));
  std::vector<UCHAR> buffer(512);
  IO_STATUS_BLOCK iosb{};
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                ZwQueryDirectoryFile(file, nullptr, nullptr, nullptr, &iosb, buffer.data(), 512,
                                     FileDirectoryInformation, FALSE, nullptr, FALSE));
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                ZwQueryDirectoryFile(dir_, nullptr, nullptr, nullptr, &iosb, buffer.data(), 512,
                                     FileBasicInformation, FALSE, nullptr, FALSE));
  ZwClose(file);
  // The root folder has no "." or "..".
  HANDLE root;
  std::u16string path = u"\\??\\Z:\\";
  UNICODE_STRING us{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                    path.data()};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_STATUS(STATUS_SUCCESS, ZwCreateFile(&root, FILE_LIST_DIRECTORY | SYNCHRONIZE, &oa, &iosb,
                                             nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, 0));
  std::u16string dot = u".*";
  UNICODE_STRING name{4, 4, dot.data()};
  NTSTATUS status = ZwQueryDirectoryFile(root, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                         512, FileNamesInformation, TRUE, &name, TRUE);
  if (status == STATUS_SUCCESS) {
    auto *e = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer.data());
    EXPECT_NE(u".", std::u16string(e->FileName, e->FileNameLength / 2));
  } else {
    EXPECT_STATUS(STATUS_NO_SUCH_FILE, status);
  }
  ZwClose(root);
}

}  // namespace
}  // namespace bw::test
