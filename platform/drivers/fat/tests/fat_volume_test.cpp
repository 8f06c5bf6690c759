// The FAT driver on volumes made by this project's formatter: mounting,
// files and folders by path, every create disposition, reads and writes,
// information, listings, renames, deletion, labels, the lock and dismount.
#include "platform/drivers/fat/tests/fat_fixture.h"

namespace bw::test {
namespace {

constexpr ULONG64 kFat16Bytes = 16ull << 20;
constexpr ULONG64 kFat12Bytes = 2ull << 20;

class FatDriverTest : public FatVolumeTest {
 protected:
  void Mount(ULONG64 bytes = kFat16Bytes) { LoadImage(Formatted(bytes, "fat")); }
};

TEST_F(FatDriverTest, MountsTheFormattersVolumeAndAnswersVolumeQueries) {
  Mount();
  HANDLE volume = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kFatDisk, GENERIC_READ, kShareAll, &volume));
  Reply r = SendIrp(volume, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsAttributeInformation, {}, 64);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  auto *attributes = reinterpret_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(r.output.data());
  EXPECT_EQ(std::u16string(u"FAT"), std::u16string(reinterpret_cast<char16_t *>(attributes->FileSystemName), 3));
  EXPECT_EQ(255, attributes->MaximumComponentNameLength);
  EXPECT_EQ(ULONG(FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK), attributes->FileSystemAttributes);

  r = SendIrp(volume, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsVolumeInformation, {}, 64);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  auto *info = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(r.output.data());
  EXPECT_EQ(0x12345678u, info->VolumeSerialNumber);
  EXPECT_EQ(u"TESTVOL", std::u16string(reinterpret_cast<char16_t *>(info->VolumeLabel), info->VolumeLabelLength / 2));

  FILE_FS_SIZE_INFORMATION size{};
  IO_STATUS_BLOCK iosb;
  ASSERT_STATUS(STATUS_SUCCESS, ZwQueryVolumeInformationFile(volume, &iosb, &size, sizeof size, FileFsSizeInformation));
  EXPECT_EQ(512u, size.BytesPerSector);
  EXPECT_GT(size.TotalAllocationUnits.QuadPart, 30000);
  EXPECT_EQ(size.TotalAllocationUnits.QuadPart, size.AvailableAllocationUnits.QuadPart);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, SendIrp(volume, IRP_MJ_QUERY_SECURITY, 0, 0, {}, 0).status);
  ZwClose(volume);

  // A trailing backslash names the root folder, which opens for anything a
  // folder allows, adding files included; without one the name is the volume.
  HANDLE root = nullptr, file = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_ALL, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &root));
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\sub", &file, FILE_DIRECTORY_FILE));
  ZwClose(file);
  EXPECT_EQ(std::vector<std::u16string>({u"sub"}), List(root));
  ZwClose(root);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\sub\\", GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN, 0, &file));
  ZwClose(file);
  EXPECT_STATUS(STATUS_NOT_A_DIRECTORY, OpenFile(u"", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &root));
  // The same through a drive letter's link.
  std::u16string letter = u"\\??\\Q:", rootPath = letter + u"\\", disk = kFatDisk;
  UNICODE_STRING link = View(letter), target = View(disk), name = View(rootPath);
  ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  EXPECT_STATUS(STATUS_SUCCESS, ZwCreateFile(&root, GENERIC_READ, &oa, &iosb, nullptr, 0, kShareAll, FILE_OPEN,
                                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0));
  EXPECT_EQ(std::vector<std::u16string>({u"sub"}), List(root));
  ZwClose(root);
  IoDeleteSymbolicLink(&link);
}

TEST_F(FatDriverTest, CreateDispositionsAnswerAsWindowsDoes) {
  Mount(kFat12Bytes);
  HANDLE h = nullptr;
  ULONG_PTR info = 0;
  auto open = [&](ULONG disposition, ULONG options = 0) {
    return OpenFile(u"\\a.txt", GENERIC_READ | GENERIC_WRITE, kShareAll, disposition, options, &h, &info);
  };
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, open(FILE_OPEN));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, open(FILE_OVERWRITE));
  ASSERT_STATUS(STATUS_SUCCESS, open(FILE_CREATE));
  EXPECT_EQ(ULONG_PTR(FILE_CREATED), info);
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "hello"));
  ZwClose(h);
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, open(FILE_CREATE));
  ASSERT_STATUS(STATUS_SUCCESS, open(FILE_OPEN_IF));
  EXPECT_EQ(ULONG_PTR(FILE_OPENED), info);
  EXPECT_EQ("hello", Read(h, 100));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, open(FILE_OVERWRITE_IF));
  EXPECT_EQ(ULONG_PTR(FILE_OVERWRITTEN), info);
  EXPECT_EQ("", Read(h, 100));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, open(FILE_SUPERSEDE));
  EXPECT_EQ(ULONG_PTR(FILE_SUPERSEDED), info);
  ZwClose(h);
  EXPECT_STATUS(STATUS_NOT_A_DIRECTORY, open(FILE_OPEN, FILE_DIRECTORY_FILE));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                OpenFile(u"\\none\\a.txt", GENERIC_READ, kShareAll, FILE_OPEN_IF, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, OpenFile(u"\\a?b", GENERIC_READ, kShareAll, FILE_CREATE, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                OpenFile(u"\\" + std::u16string(256, u'x'), GENERIC_READ, kShareAll, FILE_CREATE, 0, &h));

  HANDLE dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Folder", &dir, FILE_DIRECTORY_FILE));
  ZwClose(dir);
  EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY,
                OpenFile(u"\\folder", GENERIC_READ, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &h));
}

TEST_F(FatDriverTest, DataWrittenThroughOneHandleIsReadThroughAnother) {
  Mount();
  HANDLE w = nullptr, r = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\data.bin", &w));
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 7);
  ASSERT_STATUS(STATUS_SUCCESS, Write(w, big));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\DATA.BIN", GENERIC_READ, kShareAll, FILE_OPEN, 0, &r));
  EXPECT_EQ(big, Read(r, 400000));
  // A write past the end leaves zeros before it; unaligned pieces land.
  ASSERT_STATUS(STATUS_SUCCESS, Write(w, "tail", 300100));
  std::string back = Read(r, 200, 299990);
  EXPECT_EQ(big.substr(299990), back.substr(0, 10));
  EXPECT_EQ(std::string(100, '\0'), back.substr(10, 100));
  EXPECT_EQ("tail", back.substr(110));
  ASSERT_STATUS(STATUS_SUCCESS, Write(w, "XY", 1001));
  EXPECT_EQ("XY", Read(r, 2, 1001));
  NTSTATUS status = STATUS_SUCCESS;
  Read(r, 10, 400000, &status);
  EXPECT_STATUS(STATUS_END_OF_FILE, status);

  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK iosb;
  ASSERT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(r, &iosb, &standard, sizeof standard, FileStandardInformation));
  EXPECT_EQ(300104, standard.EndOfFile.QuadPart);
  FILE_END_OF_FILE_INFORMATION eof{};
  eof.EndOfFile.QuadPart = 10;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(w, &iosb, &eof, sizeof eof, FileEndOfFileInformation));
  EXPECT_EQ(big.substr(0, 10), Read(r, 100));
  EXPECT_STATUS(STATUS_SUCCESS, ZwFlushBuffersFile(w, &iosb));
  ZwClose(w);
  ZwClose(r);
}

TEST_F(FatDriverTest, ListsLongAndShortNamesWithWildcards) {
  Mount();
  HANDLE h = nullptr, dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Sub", &dir, FILE_DIRECTORY_FILE));
  for (const char16_t *n : {u"\\Sub\\A long file name.text", u"\\Sub\\A long file name.txt2", u"\\Sub\\README.TXT",
                            u"\\Sub\\lower.c", u"\\Sub\\\u00dcnic\u00f6de \u4e2d.txt"}) {
    ASSERT_STATUS(STATUS_SUCCESS, Create(n, &h));
    ZwClose(h);
  }
  std::vector<std::u16string> all = List(dir);
  std::vector<std::u16string> expected = {u".", u"..", u"A long file name.text|ALONGF~1.TEX",
                                          u"A long file name.txt2|ALONGF~1.TXT", u"README.TXT", u"lower.c",
                                          u"\u00dcnic\u00f6de \u4e2d.txt|\u00dcNIC\u00d6D~1.TXT"};
  EXPECT_EQ(expected, all);
  // Short names match too, as on Windows: "*.txt" finds "...txt2" by ALONGF~1.TXT.
  EXPECT_EQ(std::vector<std::u16string>({u"A long file name.txt2|ALONGF~1.TXT", u"README.TXT",
                                         u"\u00dcnic\u00f6de \u4e2d.txt|\u00dcNIC\u00d6D~1.TXT"}),
            List(dir, u"*.txt"));
  EXPECT_EQ(std::vector<std::u16string>({u"A long file name.text|ALONGF~1.TEX"}), List(dir, u"alongf~1.t?x"));
  // Short names open the same file.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\SUB\\ALONGF~1.TEX", GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
  ZwClose(h);
  std::u16string nothing = u"*.none";
  UNICODE_STRING none = View(nothing);
  HANDLE other = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\Sub", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &other));
  EXPECT_STATUS(STATUS_NO_SUCH_FILE, SendIrp(other, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY,
                                             FileNamesInformation, {}, 512, 0, &none).status);
  EXPECT_STATUS(STATUS_NO_MORE_FILES, SendIrp(other, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY,
                                              FileNamesInformation, {}, 512).status);
  // One record that does not fit: its head and STATUS_BUFFER_OVERFLOW.
  std::u16string star = u"*";
  UNICODE_STRING any = View(star);
  Reply r = SendIrp(other, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, FileNamesInformation, {}, 16,
                    SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY, &any);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);  // "." fits
  r = SendIrp(other, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, FileNamesInformation, {}, 16);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);  // ".." fits
  r = SendIrp(other, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, FileNamesInformation, {}, 16);
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, r.status);
  EXPECT_EQ(16u, r.information);
  ZwClose(other);
  ZwClose(dir);
}

TEST_F(FatDriverTest, RenamesDeletesAndSharing) {
  Mount();
  HANDLE a = nullptr, b = nullptr, dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\one.txt", &a));
  ASSERT_STATUS(STATUS_SUCCESS, Write(a, "one"));
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Dir", &dir, FILE_DIRECTORY_FILE));
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\two.txt", &b));
  ZwClose(b);
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(a, u"two.txt"));
  EXPECT_STATUS(STATUS_SUCCESS, Rename(a, u"ONE.txt"));  // case only
  EXPECT_STATUS(STATUS_SUCCESS, Rename(a, u"\\Dir\\moved.txt"));
  EXPECT_STATUS(STATUS_SUCCESS, Rename(a, u"\\two.txt", true));
  EXPECT_EQ("one", ReadWhole(u"\\two.txt"));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\two.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &b));
  HANDLE c = nullptr;
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, OpenFile(u"\\two.txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, 0, &c));
  ZwClose(b);

  // Delete pending: new opens fail; the last handle deletes.
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  IO_STATUS_BLOCK iosb;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(a, &iosb, &disposition, sizeof disposition, FileDispositionInformation));
  EXPECT_STATUS(STATUS_DELETE_PENDING, OpenFile(u"\\two.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &c));
  ZwClose(a);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\two.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &c));

  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Dir\\inner", &c));
  ZwClose(c);
  EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                ZwSetInformationFile(dir, &iosb, &disposition, sizeof disposition, FileDispositionInformation));
  ZwClose(dir);
}

// The root cannot go, and an open that asked for its deletion leaves none
// of the access it asked for behind: later opens share only with the
// handles really open.
TEST_F(FatDriverTest, RefusedRootDeletionKeepsNoShareAccess) {
  Mount();
  HANDLE reader = nullptr, refused = nullptr, alone = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &reader));
  EXPECT_STATUS(STATUS_CANNOT_DELETE, OpenFile(u"\\", GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, FILE_OPEN,
                                               FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, &refused));
  EXPECT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE, &alone));
  ZwClose(alone);
  ZwClose(reader);
}

TEST_F(FatDriverTest, LockDismountAndLabel) {
  Mount();
  HANDLE volume = nullptr, file = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kFatDisk, GENERIC_READ | GENERIC_WRITE, kShareAll, &volume));
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\f.txt", &file));
  IO_STATUS_BLOCK iosb;
  EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                ZwFsControlFile(file, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_COMPRESSION, nullptr, 0, nullptr, 0));

  std::u16string label = u"New label";
  Bytes input(4 + label.size() * 2);
  *reinterpret_cast<ULONG *>(input.data()) = static_cast<ULONG>(label.size() * 2);
  memcpy(input.data() + 4, label.data(), label.size() * 2);
  EXPECT_STATUS(STATUS_SUCCESS, SendIrp(volume, IRP_MJ_SET_VOLUME_INFORMATION, 0, FileFsLabelInformation, input, 0).status);
  Reply r = SendIrp(volume, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsVolumeInformation, {}, 64);
  auto *info = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(r.output.data());
  EXPECT_EQ(u"NEW LABEL", std::u16string(reinterpret_cast<char16_t *>(info->VolumeLabel), info->VolumeLabelLength / 2));
  std::u16string tooLong = u"ABCDEFGHIJKL";
  input.assign(4 + tooLong.size() * 2, 0);
  *reinterpret_cast<ULONG *>(input.data()) = static_cast<ULONG>(tooLong.size() * 2);
  memcpy(input.data() + 4, tooLong.data(), tooLong.size() * 2);
  EXPECT_STATUS(STATUS_INVALID_VOLUME_LABEL,
                SendIrp(volume, IRP_MJ_SET_VOLUME_INFORMATION, 0, FileFsLabelInformation, input, 0).status);

  ASSERT_STATUS(STATUS_SUCCESS, ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0));
  EXPECT_STATUS(STATUS_VOLUME_DISMOUNTED, Write(file, "x"));
  ZwClose(file);
  ZwClose(volume);
  // The next open mounts afresh and finds what was written.
  HANDLE again = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\F.TXT", GENERIC_READ, kShareAll, FILE_OPEN, 0, &again));
  ZwClose(again);
}

}  // namespace
}  // namespace bw::test
