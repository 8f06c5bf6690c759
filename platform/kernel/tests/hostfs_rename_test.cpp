// Renames and links through the I/O manager on host files: bare names and
// full paths, the target folder opened with SL_OPEN_TARGET_DIRECTORY,
// replacing, what may not be replaced or moved, another volume, and the
// names open handles see afterwards.
#include "platform/kernel/tests/hostfs_fixture.h"

#include "io/io_internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace bw::test {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class HostFsRenameTest : public HostFsTest {
 protected:
  // A rename (or link) record naming `target`: a bare name as it is, else
  // the NT path of the test folder's `target`.
  static std::vector<UCHAR> Record(const std::u16string &target, bool replace) {
    std::vector<UCHAR> record(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + target.size() * 2);
    auto *info = reinterpret_cast<PFILE_RENAME_INFORMATION>(record.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(target.size() * 2);
    memcpy(info->FileName, target.data(), target.size() * 2);
    return record;
  }
  NTSTATUS Rename(HANDLE h, const std::u16string &target, bool replace,
                  FILE_INFORMATION_CLASS cls = FileRenameInformation) {
    std::vector<UCHAR> record = Record(target, replace);
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(h, &iosb, record.data(), static_cast<ULONG>(record.size()), cls);
  }
  std::u16string NameOf(HANDLE h) {
    std::vector<UCHAR> buffer(1024);
    IO_STATUS_BLOCK iosb{};
    EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &iosb, buffer.data(), 1024,
                                                         FileNameInformation));
    auto *info = reinterpret_cast<PFILE_NAME_INFORMATION>(buffer.data());
    std::u16string name(info->FileName, info->FileNameLength / 2);
    return name.substr(name.rfind(u'\\') + 1);
  }
  HANDLE OpenForRename(const std::string &name, ULONG options = 0) {
    HANDLE h = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, Open(&h, name, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                       kShareAll, FILE_OPEN,
                                       FILE_SYNCHRONOUS_IO_NONALERT | options));
    return h;
  }
};

TEST_F(HostFsRenameTest, BareNamesAndFullPathsMoveTheFileAndItsHandles) {
  MakeFile("a.txt", "A");
  mkdir(Host("sub").c_str(), 0755);
  HANDLE h = OpenForRename("a.txt");
  // A bare name stays in the folder.
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"b.txt", false));
  EXPECT_FALSE(HostExists("a.txt"));
  EXPECT_EQ("A", HostContent("b.txt"));
  EXPECT_EQ(u"b.txt", NameOf(h));
  // A full path goes to another folder.
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, Nt("sub/c.txt"), false));
  EXPECT_EQ("A", HostContent("sub/c.txt"));
  EXPECT_EQ(u"c.txt", NameOf(h));
  // A case-only rename is a rename.
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"C.TXT", false));
  EXPECT_EQ("A", HostContent("sub/C.TXT"));
  // The renamed file can still be deleted through its handle.
  FILE_DISPOSITION_INFORMATION remove{TRUE};
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &remove, sizeof remove,
                                                     FileDispositionInformation));
  ZwClose(h);
  EXPECT_FALSE(HostExists("sub/C.TXT"));
}

TEST_F(HostFsRenameTest, ReplacingOnlyWhenAskedAndOnlyFilesNobodyHolds) {
  MakeFile("from", "new");
  MakeFile("to", "old");
  mkdir(Host("folder").c_str(), 0755);
  HANDLE h = OpenForRename("from");
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(h, Nt("to"), false));
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(h, u"to", false));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, Nt("folder"), true));
  HANDLE holder;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&holder, "to", GENERIC_READ, kShareAll, FILE_OPEN));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, Nt("to"), true));
  ZwClose(holder);
  chmod(Host("to").c_str(), 0444);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(h, Nt("to"), true));
  chmod(Host("to").c_str(), 0644);
  EXPECT_EQ("old", HostContent("to"));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, Nt("to"), true));
  EXPECT_EQ("new", HostContent("to"));
  EXPECT_FALSE(HostExists("from"));
  ZwClose(h);
}

TEST_F(HostFsRenameTest, FoldersMoveUnlessSomethingBelowIsOpen) {
  mkdir(Host("dir").c_str(), 0755);
  MakeFile("dir/inner", "i");
  HANDLE dir = OpenForRename("dir", FILE_DIRECTORY_FILE);
  HANDLE inner;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&inner, "dir/inner", GENERIC_READ, kShareAll, FILE_OPEN));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(dir, u"moved", false));
  ZwClose(inner);
  ASSERT_STATUS(STATUS_SUCCESS, Rename(dir, u"moved", false));
  EXPECT_EQ("i", HostContent("moved/inner"));
  ZwClose(dir);
}

TEST_F(HostFsRenameTest, TargetsThatCannotBeReached) {
  MakeFile("f", "x");
  HANDLE h = OpenForRename("f");
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Rename(h, Nt("missing/f2"), false));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Rename(h, u"bad:name", false));
  EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD, Rename(h, u"relative\\path", false));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, [&] {
    std::vector<UCHAR> record = Record(u"a-longer-name", false);
    reinterpret_cast<PFILE_RENAME_INFORMATION>(record.data())->FileNameLength = 4096;
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(h, &iosb, record.data(), static_cast<ULONG>(record.size()),
                                FileRenameInformation);
  }());
  // A folder on another device is refused before the file system is asked.
  std::string error;
  ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(BW_BIN_DIR "/testdrv.sys", u"BwTest", &error)) << error;
  EXPECT_STATUS(STATUS_NOT_SAME_DEVICE, Rename(h, u"\\??\\BwTest\\f", false));
  EXPECT_TRUE(HostExists("f"));
  ZwClose(h);
  EXPECT_STATUS(STATUS_SUCCESS, UnloadDriver(u"BwTest"));
}

TEST_F(HostFsRenameTest, TheTargetFolderOpenTellsWhetherTheNameExists) {
  MakeFile("there", "x");
  PFILE_OBJECT file = nullptr;
  ULONG_PTR information = 0;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFileObject(Nt("there"), FILE_ADD_FILE | SYNCHRONIZE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0,
                                               KernelMode, &file, &information,
                                               SL_OPEN_TARGET_DIRECTORY));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_EXISTS), information);
  // What was opened is the folder.
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS, FileQueryInformation(file, KernelMode, &standard, sizeof standard,
                                                     FileStandardInformation, &iosb));
  EXPECT_TRUE(standard.Directory);
  ObfDereferenceObject(file);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFileObject(Nt("not-there"), FILE_ADD_FILE | SYNCHRONIZE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0,
                                               KernelMode, &file, &information,
                                               SL_OPEN_TARGET_DIRECTORY));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_DOES_NOT_EXIST), information);
  ObfDereferenceObject(file);
}

TEST_F(HostFsRenameTest, LinksAddANameToTheSameFile) {
  MakeFile("f", "x");
  MakeFile("taken", "t");
  HANDLE h = OpenForRename("f");
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, Nt("second"), false, FileLinkInformation));
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(h, u"taken", false, FileLinkInformation));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"taken", true, FileLinkInformation));
  struct stat a, b, c;
  ASSERT_EQ(0, stat(Host("f").c_str(), &a));
  ASSERT_EQ(0, stat(Host("second").c_str(), &b));
  ASSERT_EQ(0, stat(Host("taken").c_str(), &c));
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_ino, c.st_ino);
  ZwClose(h);
}

}  // namespace
}  // namespace bw::test
