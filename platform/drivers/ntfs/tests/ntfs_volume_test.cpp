// The NTFS driver in a booted kernel, on the test driver's disk formatted
// by our own formatter: opens of every kind, data, names, listings,
// renames, sharing and deletion, volume information, compression,
// security, and the volume's lock and dismount.
#include "platform/drivers/ntfs/tests/ntfs_fixture.h"

#include <set>

namespace bw::test {
namespace {

class NtfsDriverTest : public NtfsVolumeTest {
 protected:
  void SetUp() override {
    NtfsVolumeTest::SetUp();
    LoadFormatted();
  }
};

TEST_F(NtfsDriverTest, VolumeSaysItIsNtfsWithItsLabelAndSizes) {
  HANDLE root = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &root));
  Reply attr = SendIrp(root, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsAttributeInformation, {}, 64);
  ASSERT_STATUS(STATUS_SUCCESS, attr.status);
  auto *a = reinterpret_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(attr.output.data());
  EXPECT_EQ(u"NTFS", std::u16string(reinterpret_cast<char16_t *>(a->FileSystemName), a->FileSystemNameLength / 2));
  EXPECT_TRUE(a->FileSystemAttributes & FILE_PERSISTENT_ACLS);
  EXPECT_TRUE(a->FileSystemAttributes & FILE_FILE_COMPRESSION);
  EXPECT_TRUE(a->FileSystemAttributes & FILE_UNICODE_ON_DISK);
  EXPECT_EQ(255u, a->MaximumComponentNameLength);

  Reply vol = SendIrp(root, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsVolumeInformation, {}, 128);
  ASSERT_STATUS(STATUS_SUCCESS, vol.status);
  auto *v = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(vol.output.data());
  EXPECT_EQ(u"NTFSVOL", std::u16string(reinterpret_cast<char16_t *>(v->VolumeLabel), v->VolumeLabelLength / 2));
  // The serial is the boot sector's.
  Bytes boot = ReadVolume(512);
  ULONG serial;
  memcpy(&serial, boot.data() + 0x48, 4);
  EXPECT_EQ(serial, v->VolumeSerialNumber);

  Reply size = SendIrp(root, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsFullSizeInformation, {}, 32);
  ASSERT_STATUS(STATUS_SUCCESS, size.status);
  auto *s = reinterpret_cast<PFILE_FS_FULL_SIZE_INFORMATION>(size.output.data());
  ULONG64 bytes = s->TotalAllocationUnits.QuadPart * s->SectorsPerAllocationUnit * s->BytesPerSector;
  EXPECT_LE(bytes, kNtfsImageBytes);
  EXPECT_GT(bytes, kNtfsImageBytes / 2);
  EXPECT_GT(s->ActualAvailableAllocationUnits.QuadPart, 0);
  EXPECT_LT(s->ActualAvailableAllocationUnits.QuadPart, s->TotalAllocationUnits.QuadPart);

  // A new label, longer than FAT allows and with Unicode, stays.
  std::u16string label = u"Daten \u00e4\u00f6 RAM disk";
  Bytes in(FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel) + label.size() * 2);
  auto *l = reinterpret_cast<PFILE_FS_LABEL_INFORMATION>(in.data());
  l->VolumeLabelLength = static_cast<ULONG>(label.size() * 2);
  memcpy(l->VolumeLabel, label.data(), label.size() * 2);
  EXPECT_STATUS(STATUS_SUCCESS, SendIrp(root, IRP_MJ_SET_VOLUME_INFORMATION, 0, FileFsLabelInformation, in, 0).status);
  vol = SendIrp(root, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsVolumeInformation, {}, 128);
  v = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(vol.output.data());
  EXPECT_EQ(label, std::u16string(reinterpret_cast<char16_t *>(v->VolumeLabel), v->VolumeLabelLength / 2));
  ZwClose(root);
}

TEST_F(NtfsDriverTest, EveryCreateDispositionAnswersAsWindows) {
  HANDLE h = nullptr;
  ULONG_PTR info = 0;
  const ACCESS_MASK rw = GENERIC_READ | GENERIC_WRITE;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\a.txt", rw, kShareAll, FILE_OPEN, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\a.txt", rw, kShareAll, FILE_OVERWRITE, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\a.txt", rw, kShareAll, FILE_CREATE, 0, &h, &info));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_CREATED), info);
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "hello world"));
  ZwClose(h);
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, OpenFile(u"\\A.TXT", rw, kShareAll, FILE_CREATE, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\A.txt", rw, kShareAll, FILE_OPEN_IF, 0, &h, &info));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_OPENED), info);
  EXPECT_EQ(11, Size(h));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\a.txt", rw, kShareAll, FILE_OVERWRITE, 0, &h, &info));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_OVERWRITTEN), info);
  EXPECT_EQ(0, Size(h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "again"));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\a.txt", rw, kShareAll, FILE_SUPERSEDE, 0, &h, &info));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_SUPERSEDED), info);
  EXPECT_EQ(0, Size(h));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\b.txt", rw, kShareAll, FILE_OVERWRITE_IF, 0, &h, &info));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_CREATED), info);
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\b.txt", rw, kShareAll, FILE_OVERWRITE_IF, 0, &h, &info));
  EXPECT_EQ(static_cast<ULONG_PTR>(FILE_OVERWRITTEN), info);
  ZwClose(h);

  // Folders and files are told apart.
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\dir", &h, FILE_DIRECTORY_FILE));
  ZwClose(h);
  EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, OpenFile(u"\\dir", rw, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &h));
  EXPECT_STATUS(STATUS_NOT_A_DIRECTORY, OpenFile(u"\\a.txt", rw, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, OpenFile(u"\\DIR", rw, kShareAll, FILE_OVERWRITE_IF, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, OpenFile(u"\\nowhere\\x", rw, kShareAll, FILE_OPEN_IF, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, OpenFile(u"\\a.txt\\x", rw, kShareAll, FILE_OPEN_IF, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, OpenFile(u"\\bad?name", rw, kShareAll, FILE_CREATE, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, OpenFile(u"\\" + std::u16string(256, u'n'), rw, kShareAll, FILE_CREATE, 0, &h));
  // The volume's own files are no user files.
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\$MFT", GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
  // The root is a folder and cannot be deleted.
  EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY, OpenFile(u"\\", GENERIC_READ, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &h));
  EXPECT_STATUS(STATUS_CANNOT_DELETE, OpenFile(u"\\", DELETE, kShareAll, FILE_OPEN, FILE_DELETE_ON_CLOSE, &h));
}

TEST_F(NtfsDriverTest, DataReadsBackAtEveryOffsetAndSize) {
  HANDLE h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\data.bin", &h));
  // Small (resident in its record), then across many clusters.
  std::string small = "tiny";
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, small));
  EXPECT_EQ(small, Read(h, 100));
  std::string big(3 * 1000 * 1000 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, big));
  EXPECT_EQ(static_cast<LONGLONG>(big.size()), Size(h));
  EXPECT_EQ(big, Read(h, static_cast<ULONG>(big.size() + 100)));
  EXPECT_EQ(big.substr(12345, 7777), Read(h, 7777, 12345));
  // An overwrite in the middle, not on sector bounds.
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "PATCH", 1000001));
  big.replace(1000001, 5, "PATCH");
  // A write past the end leaves zeros between.
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "tail", static_cast<LONGLONG>(big.size() + 5000)));
  big += std::string(5000, '\0') + "tail";
  EXPECT_EQ(big, Read(h, static_cast<ULONG>(big.size())));
  NTSTATUS status = STATUS_SUCCESS;
  Read(h, 10, static_cast<LONGLONG>(big.size()), &status);
  EXPECT_STATUS(STATUS_END_OF_FILE, status);
  // End of file cuts and grows.
  FILE_END_OF_FILE_INFORMATION eof{};
  eof.EndOfFile.QuadPart = 10;
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &eof, sizeof eof, FileEndOfFileInformation));
  EXPECT_EQ(big.substr(0, 10), Read(h, 100));
  ZwClose(h);
  EXPECT_EQ(big.substr(0, 10), ReadWhole(u"\\DATA.BIN"));
}

TEST_F(NtfsDriverTest, NamesKeepTheirCaseAndOpenWithoutIt) {
  HANDLE dir = nullptr, h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Mixed Case Folder", &dir, FILE_DIRECTORY_FILE));
  std::u16string unicode = u"\u00dcnic\u00f6de \u4e2d\u6587 \U0001F600.txt";
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Mixed Case Folder\\" + unicode, &h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "u"));
  ZwClose(h);
  std::u16string longName(255, u'L');
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\Mixed Case Folder\\" + longName, &h));
  ZwClose(h);
  EXPECT_EQ("u", ReadWhole(u"\\MIXED CASE FOLDER\\\u00fcNIC\u00d6DE \u4e2d\u6587 \U0001F600.TXT"));
  std::vector<std::u16string> names = List(dir);
  std::set<std::u16string> set(names.begin(), names.end());
  EXPECT_EQ((std::set<std::u16string>{u".", u"..", unicode, longName}), set);

  // The name a file is opened by is told back as it is kept.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\mixed case folder\\" + unicode, GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
  Bytes name(1024);
  IO_STATUS_BLOCK iosb{};
  EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &iosb, name.data(), 1024, FileNameInformation));
  auto *n = reinterpret_cast<PFILE_NAME_INFORMATION>(name.data());
  EXPECT_EQ(u"\\Mixed Case Folder\\" + unicode, std::u16string(reinterpret_cast<char16_t *>(n->FileName), n->FileNameLength / 2));
  ZwClose(h);
  ZwClose(dir);

  // Deep paths.
  std::u16string deep;
  for (int i = 0; i < 20; ++i) {
    deep += u"\\level" + std::u16string(1, static_cast<char16_t>(u'a' + i));
    ASSERT_STATUS(STATUS_SUCCESS, Create(deep, &h, FILE_DIRECTORY_FILE));
    ZwClose(h);
  }
  ASSERT_STATUS(STATUS_SUCCESS, Create(deep + u"\\leaf", &h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "deep"));
  ZwClose(h);
  EXPECT_EQ("deep", ReadWhole(deep + u"\\LEAF"));
}

TEST_F(NtfsDriverTest, ListingsResumeWithoutLosingOrRepeatingEntries) {
  HANDLE dir = nullptr, h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\many", &dir, FILE_DIRECTORY_FILE));
  std::set<std::u16string> expected{u".", u".."};
  for (int i = 0; i < 400; ++i) {
    std::u16string name = u"entry number " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    name += i % 2 ? u".dat" : u".txt";
    ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\many\\" + name, &h));
    ZwClose(h);
    expected.insert(name);
  }
  // A 4 KiB buffer takes some tens of entries per query.
  std::vector<std::u16string> names = List(dir);
  EXPECT_EQ(expected.size(), names.size());
  EXPECT_EQ(expected, std::set<std::u16string>(names.begin(), names.end()));

  // A pattern, matched without regard to case.
  names = List(dir, u"ENTRY NUMBER A*.TXT");
  for (const auto &name : names) EXPECT_EQ(u".txt", name.substr(name.size() - 4));
  EXPECT_EQ(16u, names.size());  // 0, 26, 52 ... 390
  ZwClose(dir);

  // Nothing matches on the first query: no such file; a file is no folder.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\many", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir));
  std::u16string none = u"zzz*";
  UNICODE_STRING u = View(none);
  EXPECT_STATUS(STATUS_NO_SUCH_FILE, SendIrp(dir, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY,
                                             FileDirectoryInformation, {}, 1024, SL_RESTART_SCAN, &u).status);
  ZwClose(dir);
  // One entry at a time, by restart and then on.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\many", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir));
  Reply one = SendIrp(dir, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, FileNamesInformation, {}, 1024,
                      SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY);
  ASSERT_STATUS(STATUS_SUCCESS, one.status);
  auto *rec = reinterpret_cast<PFILE_NAMES_INFORMATION>(one.output.data());
  EXPECT_EQ(0u, rec->NextEntryOffset);
  EXPECT_EQ(u".", std::u16string(reinterpret_cast<char16_t *>(rec->FileName), rec->FileNameLength / 2));
  one = SendIrp(dir, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, FileNamesInformation, {}, 1024,
                SL_RETURN_SINGLE_ENTRY);
  rec = reinterpret_cast<PFILE_NAMES_INFORMATION>(one.output.data());
  EXPECT_EQ(u"..", std::u16string(reinterpret_cast<char16_t *>(rec->FileName), rec->FileNameLength / 2));
  ZwClose(dir);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\many\\entry number A0.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SendIrp(h, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY,
                                                  FileDirectoryInformation, {}, 1024).status);
  ZwClose(h);
}

TEST_F(NtfsDriverTest, RenamesMoveAndRecaseAndRefuseCollisions) {
  HANDLE h = nullptr, other = nullptr, dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\from", &dir, FILE_DIRECTORY_FILE));
  ZwClose(dir);
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\to", &dir, FILE_DIRECTORY_FILE));
  ZwClose(dir);
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\from\\file.txt", &h));
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, "content"));
  // A case-only rename keeps the file and shows the new case.
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"FILE.TXT"));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\from", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir));
  EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"FILE.TXT"}), List(dir));
  ZwClose(dir);
  // Across folders, by full path.
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"\\to\\moved.txt"));
  EXPECT_EQ("content", ReadWhole(u"\\to\\MOVED.txt"));
  ZwClose(h);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\from\\file.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));

  // An existing target without replace collides; with it, it goes.
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\to\\other.txt", &other));
  ASSERT_STATUS(STATUS_SUCCESS, Write(other, "other"));
  ZwClose(other);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\to\\moved.txt", GENERIC_READ | DELETE, kShareAll, FILE_OPEN, 0, &h));
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Rename(h, u"OTHER.txt"));
  ASSERT_STATUS(STATUS_SUCCESS, Rename(h, u"other.txt", true));
  ZwClose(h);
  EXPECT_EQ("content", ReadWhole(u"\\to\\other.txt"));

  // A folder moves with what it holds, but not into itself nor while a
  // file below it is open.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\to", GENERIC_READ | DELETE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Rename(dir, u"\\to\\inside"));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\to\\other.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Rename(dir, u"\\from\\to2"));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, Rename(dir, u"\\from\\to2"));
  ZwClose(dir);
  EXPECT_EQ("content", ReadWhole(u"\\from\\to2\\other.txt"));
}

TEST_F(NtfsDriverTest, SharingAndDeletionFollowWindowsRules) {
  HANDLE a = nullptr, b = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\shared.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE, 0, &a));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, OpenFile(u"\\shared.txt", GENERIC_WRITE, kShareAll, FILE_OPEN, 0, &b));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, OpenFile(u"\\SHARED.TXT", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, 0, &b));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\shared.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &b));
  ZwClose(b);
  ZwClose(a);

  // Delete pending: no new opens, the file goes with its last handle.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\shared.txt", DELETE, kShareAll, FILE_OPEN, 0, &a));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\shared.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &b));
  FILE_DISPOSITION_INFORMATION del{TRUE};
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(a, &iosb, &del, sizeof del, FileDispositionInformation));
  HANDLE c = nullptr;
  EXPECT_STATUS(STATUS_DELETE_PENDING, OpenFile(u"\\shared.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &c));
  ZwClose(a);
  EXPECT_STATUS(STATUS_DELETE_PENDING, OpenFile(u"\\shared.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &c));
  ZwClose(b);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\shared.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &c));

  // A folder with something in it is not deleted; read-only files neither.
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\full", &a, FILE_DIRECTORY_FILE));
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\full\\x", &b));
  EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY, ZwSetInformationFile(a, &iosb, &del, sizeof del, FileDispositionInformation));
  ZwClose(a);
  ZwClose(b);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\ro.txt", GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, FILE_CREATE, 0, &a,
                                         nullptr, FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(Attributes(a) & FILE_ATTRIBUTE_READONLY);
  EXPECT_STATUS(STATUS_CANNOT_DELETE, ZwSetInformationFile(a, &iosb, &del, sizeof del, FileDispositionInformation));
  ZwClose(a);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, OpenFile(u"\\ro.txt", GENERIC_WRITE, kShareAll, FILE_OPEN, 0, &a));

  // Delete on close takes files and empty folders.
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\temp", GENERIC_READ | DELETE, kShareAll, FILE_CREATE,
                                         FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, &a));
  ZwClose(a);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\temp", GENERIC_READ, kShareAll, FILE_OPEN, 0, &a));
}

TEST_F(NtfsDriverTest, CompressionOfFoldersPassesToNewFiles) {
  HANDLE root = nullptr, h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &root));
  EXPECT_FALSE(Attributes(root) & FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SetCompression(root, 7));
  ASSERT_STATUS(STATUS_SUCCESS, SetCompression(root, COMPRESSION_FORMAT_DEFAULT));
  EXPECT_TRUE(Attributes(root) & FILE_ATTRIBUTE_COMPRESSED);
  Reply state = Fsctl(root, FSCTL_GET_COMPRESSION, {}, 2);
  ASSERT_STATUS(STATUS_SUCCESS, state.status);
  EXPECT_EQ(COMPRESSION_FORMAT_LZNT1, *reinterpret_cast<USHORT *>(state.output.data()));

  // A file made in it is compressed and reads back the same.
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\squeezed.txt", &h));
  EXPECT_TRUE(Attributes(h) & FILE_ATTRIBUTE_COMPRESSED);
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "compressible line " + std::to_string(i % 10) + "\n";
  ASSERT_STATUS(STATUS_SUCCESS, Write(h, text));
  ZwClose(h);
  EXPECT_EQ(text, ReadWhole(u"\\squeezed.txt"));

  // Off again: new files are plain.
  ASSERT_STATUS(STATUS_SUCCESS, SetCompression(root, COMPRESSION_FORMAT_NONE));
  EXPECT_FALSE(Attributes(root) & FILE_ATTRIBUTE_COMPRESSED);
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\plain.txt", &h));
  EXPECT_FALSE(Attributes(h) & FILE_ATTRIBUTE_COMPRESSED);
  // An empty file may change; one with data keeps its state.
  ASSERT_STATUS(STATUS_SUCCESS, SetCompression(h, COMPRESSION_FORMAT_LZNT1));
  EXPECT_TRUE(Attributes(h) & FILE_ATTRIBUTE_COMPRESSED);
  ZwClose(h);
  ZwClose(root);
}

TEST_F(NtfsDriverTest, SecurityPartsAreSetAndReadBackSeparately) {
  HANDLE dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\secure", GENERIC_ALL, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE, &dir));
  // Owner Administrators, group SYSTEM, a DACL granting Users read.
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
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetSecurityObject(dir, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                             DACL_SECURITY_INFORMATION, &sd));
  // Only the DACL asked for: no owner in the answer.
  ULONG needed = 0;
  Bytes out(512);
  ASSERT_STATUS(STATUS_SUCCESS, ZwQuerySecurityObject(dir, DACL_SECURITY_INFORMATION, out.data(),
                                                      static_cast<ULONG>(out.size()), &needed));
  PSID owner = nullptr;
  BOOLEAN defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(out.data(), &owner, &defaulted));
  EXPECT_EQ(nullptr, owner);
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(out.data(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_EQ(1, dacl->AceCount);
  // A buffer too small is told the length it needs.
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, ZwQuerySecurityObject(dir, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                               out.data(), 8, &needed));
  EXPECT_GT(needed, 8u);
  // A change of the owner alone keeps the DACL.
  SECURITY_DESCRIPTOR ownerOnly;
  RtlCreateSecurityDescriptor(&ownerOnly, SECURITY_DESCRIPTOR_REVISION);
  RtlSetOwnerSecurityDescriptor(&ownerOnly, system, FALSE);
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetSecurityObject(dir, OWNER_SECURITY_INFORMATION, &ownerOnly));
  ZwClose(dir);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\secure", GENERIC_READ | READ_CONTROL, kShareAll, FILE_OPEN, 0, &dir));
  ASSERT_STATUS(STATUS_SUCCESS, ZwQuerySecurityObject(dir, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                      out.data(), static_cast<ULONG>(out.size()), &needed));
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(out.data(), &owner, &defaulted));
  ASSERT_NE(nullptr, owner);
  EXPECT_EQ(0, memcmp(owner, system, sizeof system));
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(out.data(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  EXPECT_EQ(1, dacl->AceCount);
  ZwClose(dir);
}

TEST_F(NtfsDriverTest, LockWaitsForOpenFilesAndDismountEndsHandles) {
  HANDLE file = nullptr, volume = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\open.txt", &file));
  ASSERT_STATUS(STATUS_SUCCESS, Write(file, "kept"));
  ASSERT_STATUS(STATUS_SUCCESS, OpenVolume(&volume));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Fsctl(volume, FSCTL_LOCK_VOLUME).status);
  EXPECT_STATUS(STATUS_SUCCESS, Fsctl(volume, FSCTL_IS_VOLUME_MOUNTED).status);
  // Dismounted under an open file: its handle answers no more.
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(volume, FSCTL_DISMOUNT_VOLUME).status);
  NTSTATUS status = STATUS_SUCCESS;
  Read(file, 4, 0, &status);
  EXPECT_STATUS(STATUS_VOLUME_DISMOUNTED, status);
  EXPECT_STATUS(STATUS_VOLUME_DISMOUNTED, Write(file, "lost"));
  ZwClose(file);
  ZwClose(volume);
  // The next open mounts afresh and finds what was written.
  EXPECT_EQ("kept", ReadWhole(u"\\open.txt"));

  // Locked, the volume refuses opens until the lock goes.
  ASSERT_STATUS(STATUS_SUCCESS, OpenVolume(&volume));
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(volume, FSCTL_LOCK_VOLUME).status);
  HANDLE other = nullptr;
  EXPECT_STATUS(STATUS_ACCESS_DENIED, OpenFile(u"\\open.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &other));
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(volume, FSCTL_UNLOCK_VOLUME).status);
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\open.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &other));
  ZwClose(other);
  ZwClose(volume);
}

TEST_F(NtfsDriverTest, VolumeFormattedAnewUnderneathIsSeenAtTheNextOpen) {
  HANDLE file = nullptr, volume = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\old.txt", &file));
  ASSERT_STATUS(STATUS_SUCCESS, OpenVolume(&volume));
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(volume, FSCTL_DISMOUNT_VOLUME).status);
  ZwClose(volume);
  ZwClose(file);
  // A fresh format written through the raw volume of a blank disk would
  // need the disk blank; here it goes through a volume open, which the
  // file system passes to the device.
  LoadFormatted("FRESH");
  HANDLE h = nullptr;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\old.txt", GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &h));
  Reply vol = SendIrp(h, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, FileFsVolumeInformation, {}, 128);
  auto *v = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(vol.output.data());
  EXPECT_EQ(u"FRESH", std::u16string(reinterpret_cast<char16_t *>(v->VolumeLabel), v->VolumeLabelLength / 2));
  ZwClose(h);
}

}  // namespace
}  // namespace bw::test
