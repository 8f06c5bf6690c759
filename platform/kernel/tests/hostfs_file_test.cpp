// Host files: create dispositions and their statuses, share access,
// transfers at offsets, unbuffered alignment, size and deletion, and the
// failures the fault switch injects.
#include "platform/kernel/tests/hostfs_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace bw::test {
namespace {

constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST_F(HostFsTest, CreateDispositionsOnExistingAndMissingFiles) {
  struct Case {
    ULONG disposition;
    NTSTATUS whenExists;
    ULONG_PTR infoExists;
    size_t sizeAfter;
    NTSTATUS whenMissing;
  } cases[] = {
      {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, 0, STATUS_SUCCESS},
      {FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, 10, STATUS_OBJECT_NAME_NOT_FOUND},
      {FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, 10, STATUS_SUCCESS},
      {FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, 10, STATUS_SUCCESS},
      {FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, 0, STATUS_OBJECT_NAME_NOT_FOUND},
      {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, 0, STATUS_SUCCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.disposition);
    MakeFile("there", "0123456789");
    unlink(Host("missing").c_str());
    HANDLE h;
    ULONG_PTR info = 99;
    EXPECT_STATUS(c.whenExists, Open(&h, "there", kReadWrite | DELETE, 0, c.disposition,
                                     FILE_SYNCHRONOUS_IO_NONALERT, &info));
    if (NT_SUCCESS(c.whenExists)) {
      EXPECT_EQ(c.infoExists, info);
      ZwClose(h);
    }
    EXPECT_EQ(c.sizeAfter, HostContent("there").size());
    EXPECT_STATUS(c.whenMissing, Open(&h, "missing", kReadWrite, 0, c.disposition,
                                      FILE_SYNCHRONOUS_IO_NONALERT, &info));
    EXPECT_EQ(NT_SUCCESS(c.whenMissing), HostExists("missing"));
    if (NT_SUCCESS(c.whenMissing)) {
      EXPECT_EQ(static_cast<ULONG_PTR>(FILE_CREATED), info);
      ZwClose(h);
    }
  }
  HANDLE h;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Open(&h, "x", kReadWrite, 0, FILE_OVERWRITE_IF + 1));
}

TEST_F(HostFsTest, NamesFoldersAndAttributesDecideTheStatus) {
  HANDLE h;
  MakeFile("file", "x");
  mkdir(Host("dir").c_str(), 0755);
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Open(&h, "nodir/file", GENERIC_READ, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Open(&h, "nodir/file", kReadWrite, 0, FILE_CREATE));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, Open(&h, "file/below", GENERIC_READ, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Open(&h, "a*b", kReadWrite, 0, FILE_CREATE));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Open(&h, "dir/../file", GENERIC_READ, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Open(&h, "file:stream", GENERIC_READ, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_FILE_IS_A_DIRECTORY,
                Open(&h, "dir", GENERIC_READ, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE));
  EXPECT_STATUS(STATUS_NOT_A_DIRECTORY,
                Open(&h, "file", GENERIC_READ, 0, FILE_OPEN, FILE_DIRECTORY_FILE));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                Open(&h, "newdir", GENERIC_READ, 0, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                Open(&h, "file", GENERIC_READ, 0, FILE_OPEN, FILE_DELETE_ON_CLOSE));
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "newdir", GENERIC_READ, 0, FILE_CREATE, FILE_DIRECTORY_FILE));
  ZwClose(h);
  struct stat st;
  EXPECT_TRUE(stat(Host("newdir").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  // Only drive Z: is the host.
  std::u16string other = u"\\??\\Y:\\tmp";
  UNICODE_STRING us{static_cast<USHORT>(other.size() * 2), static_cast<USHORT>(other.size() * 2),
                    other.data()};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb;
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                ZwCreateFile(&h, GENERIC_READ, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0));
  // A read-only file refuses writers and deleters, even the superuser.
  chmod(Host("file").c_str(), 0444);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Open(&h, "file", GENERIC_WRITE, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Open(&h, "file", GENERIC_READ, 0, FILE_OVERWRITE));
  EXPECT_STATUS(STATUS_CANNOT_DELETE,
                Open(&h, "file", DELETE, 0, FILE_OPEN, FILE_DELETE_ON_CLOSE));
  FILE_BASIC_INFORMATION basic{};
  EXPECT_STATUS(STATUS_SUCCESS, ByName("file", [&](POBJECT_ATTRIBUTES oa) {
                  return ZwQueryAttributesFile(oa, &basic);
                }));
  EXPECT_TRUE(basic.FileAttributes & FILE_ATTRIBUTE_READONLY);
  // Clearing the attribute gives the writers back.
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "file", FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN));
  basic = {};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  EXPECT_STATUS(STATUS_SUCCESS,
                ZwSetInformationFile(h, &iosb, &basic, sizeof basic, FileBasicInformation));
  ZwClose(h);
  EXPECT_STATUS(STATUS_SUCCESS, Open(&h, "file", GENERIC_WRITE, 0, FILE_OPEN));
  ZwClose(h);
}

TEST_F(HostFsTest, SharingIsEnforcedBetweenOpens) {
  MakeFile("f", "data");
  HANDLE reader, other;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&reader, "f", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN));
  EXPECT_STATUS(STATUS_SUCCESS, Open(&other, "f", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN));
  ZwClose(other);
  // The reader did not share writing; a new reader must share the reader.
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, Open(&other, "f", GENERIC_WRITE, kShareAll, FILE_OPEN));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, Open(&other, "f", GENERIC_READ, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, Open(&other, "f", GENERIC_READ, kShareAll, FILE_OVERWRITE));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION,
                ByName("f", [](POBJECT_ATTRIBUTES oa) { return ZwDeleteFile(oa); }));
  // Attribute-only opens do not take part in sharing.
  EXPECT_STATUS(STATUS_SUCCESS, Open(&other, "f", FILE_READ_ATTRIBUTES, 0, FILE_OPEN));
  ZwClose(other);
  ZwClose(reader);
  EXPECT_STATUS(STATUS_SUCCESS, Open(&other, "f", GENERIC_WRITE, 0, FILE_OPEN));
  ZwClose(other);
  EXPECT_EQ("data", HostContent("f"));
}

TEST_F(HostFsTest, TransfersAtOffsetsAndAtThePosition) {
  HANDLE h;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_CREATE));
  ULONG_PTR done = 0;
  EXPECT_STATUS(STATUS_SUCCESS, Write(h, "head", 0, &done));
  EXPECT_EQ(4u, done);
  EXPECT_STATUS(STATUS_SUCCESS, Write(h, "tail", 1000));
  EXPECT_EQ(1004, EndOfFile(h));
  std::string data;
  EXPECT_STATUS(STATUS_SUCCESS, Read(h, &data, 8, 998));
  EXPECT_EQ(std::string("\0\0tail", 6), data);  // the gap reads as zeros
  EXPECT_STATUS(STATUS_END_OF_FILE, Read(h, &data, 8, 1004));
  EXPECT_STATUS(STATUS_END_OF_FILE, Read(h, &data, 8, 5000));
  EXPECT_STATUS(STATUS_SUCCESS, Read(h, &data, 0, 5000));  // nothing asked, nothing refused
  // No offset: the synchronous file object's position, which every transfer
  // moves on (the last one ended at 5000).
  IO_STATUS_BLOCK iosb{};
  char buffer[4];
  EXPECT_STATUS(STATUS_END_OF_FILE, ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 4,
                                               nullptr, nullptr));
  FILE_POSITION_INFORMATION position{};
  EXPECT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &position, sizeof position,
                                                     FilePositionInformation));
  EXPECT_STATUS(STATUS_SUCCESS, ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 2,
                                           nullptr, nullptr));
  EXPECT_EQ(0, memcmp(buffer, "he", 2));
  EXPECT_STATUS(STATUS_SUCCESS, ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb,
                                            const_cast<char *>("AD"), 2, nullptr, nullptr));
  EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &iosb, &position, sizeof position,
                                                       FilePositionInformation));
  EXPECT_EQ(4, position.CurrentByteOffset.QuadPart);
  LARGE_INTEGER end;
  end.HighPart = -1;
  end.LowPart = FILE_WRITE_TO_END_OF_FILE;
  EXPECT_STATUS(STATUS_SUCCESS, ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb,
                                            const_cast<char *>("!"), 1, &end, nullptr));
  ZwClose(h);
  EXPECT_EQ("heAD", HostContent("f").substr(0, 4));
  EXPECT_EQ("tail!", HostContent("f").substr(1000));
  // Without FILE_SYNCHRONOUS_IO_* there is no position to use.
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", GENERIC_READ, 0, FILE_OPEN, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer,
                                                     4, nullptr, nullptr));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Write(h, "x", 0));  // opened for reading only
  ZwClose(h);
}

TEST_F(HostFsTest, UnbufferedTransfersKeepToSectors) {
  HANDLE h;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_CREATE,
                                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING |
                                         FILE_WRITE_THROUGH));
  FILE_FS_SIZE_INFORMATION size{};
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS,
                ZwQueryVolumeInformationFile(h, &iosb, &size, sizeof size, FileFsSizeInformation));
  const ULONG sector = size.BytesPerSector;
  ASSERT_GE(sector, 512u);
  EXPECT_EQ(0u, sector & (sector - 1));
  std::string block(sector, 's');
  EXPECT_STATUS(STATUS_SUCCESS, Write(h, block + block, sector));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Write(h, block, sector / 2));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Write(h, block + "x", 0));
  std::string data;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(h, &data, sector, 1));
  EXPECT_STATUS(STATUS_SUCCESS, Read(h, &data, 4 * sector, 0));  // up to the end
  EXPECT_EQ(3u * sector, data.size());
  FILE_POSITION_INFORMATION position{};
  position.CurrentByteOffset.QuadPart = sector / 2;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, ZwSetInformationFile(h, &iosb, &position, sizeof position,
                                                               FilePositionInformation));
  ZwClose(h);
  // A host reporting 4096-byte sectors refuses 512-byte steps.
  SetHostSectorSize(4096);
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_OPEN,
                                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING));
  FILE_FS_SECTOR_SIZE_INFORMATION sectors{};
  EXPECT_STATUS(STATUS_SUCCESS, ZwQueryVolumeInformationFile(h, &iosb, &sectors, sizeof sectors,
                                                             FileFsSectorSizeInformation));
  EXPECT_EQ(4096u, sectors.LogicalBytesPerSector);
  EXPECT_GE(sectors.PhysicalBytesPerSectorForAtomicity, 4096u);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(h, &data, 512, 512));
  EXPECT_STATUS(STATUS_SUCCESS, Read(h, &data, 4096, 0));
  ZwClose(h);
}

TEST_F(HostFsTest, SizeAndInformationQueries) {
  HANDLE h;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_CREATE));
  EXPECT_STATUS(STATUS_SUCCESS, SetEndOfFile(h, 1 << 20));
  EXPECT_EQ(1 << 20, EndOfFile(h));
  EXPECT_STATUS(STATUS_SUCCESS, SetEndOfFile(h, 100));
  EXPECT_EQ(100, EndOfFile(h));
  FILE_ALLOCATION_INFORMATION allocation;
  allocation.AllocationSize.QuadPart = 10;
  IO_STATUS_BLOCK iosb{};
  EXPECT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &allocation, sizeof allocation,
                                                     FileAllocationInformation));
  EXPECT_EQ(10, EndOfFile(h));
  // Classes: unknown, set-only, short buffers, and a name that does not fit.
  char buffer[64];
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                ZwQueryInformationFile(h, &iosb, buffer, sizeof buffer, FileEndOfFileInformation));
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                ZwSetInformationFile(h, &iosb, buffer, sizeof buffer, FileStandardInformation));
  EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                ZwQueryInformationFile(h, &iosb, buffer, 8, FileStandardInformation));
  std::u16string expected = Nt("f").substr(6);  // without "\??\Z:"
  alignas(8) char name[16];
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW,
                ZwQueryInformationFile(h, &iosb, name, sizeof name, FileNameInformation));
  EXPECT_EQ(expected.size() * 2, reinterpret_cast<PFILE_NAME_INFORMATION>(name)->FileNameLength);
  EXPECT_EQ(sizeof name, iosb.Information);
  std::vector<char> big(8 + expected.size() * 2);
  EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &iosb, big.data(),
                                                       static_cast<ULONG>(big.size()),
                                                       FileNameInformation));
  auto *info = reinterpret_cast<PFILE_NAME_INFORMATION>(big.data());
  EXPECT_EQ(expected, std::u16string(info->FileName, expected.size()));
  FILE_ATTRIBUTE_TAG_INFORMATION tag{};
  EXPECT_STATUS(STATUS_SUCCESS,
                ZwQueryInformationFile(h, &iosb, &tag, sizeof tag, FileAttributeTagInformation));
  EXPECT_EQ(static_cast<ULONG>(FILE_ATTRIBUTE_ARCHIVE), tag.FileAttributes);
  EXPECT_STATUS(STATUS_SUCCESS, ZwFlushBuffersFile(h, &iosb));
  ZwClose(h);
  FILE_NETWORK_OPEN_INFORMATION full{};
  EXPECT_STATUS(STATUS_SUCCESS, ByName("f", [&](POBJECT_ATTRIBUTES oa) {
                  return ZwQueryFullAttributesFile(oa, &full);
                }));
  EXPECT_EQ(10, full.EndOfFile.QuadPart);
  EXPECT_GT(full.LastWriteTime.QuadPart, 116444736000000000LL);
  // Changing the size needs write access.
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", GENERIC_READ, kShareAll, FILE_OPEN));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, SetEndOfFile(h, 0));
  ZwClose(h);
}

TEST_F(HostFsTest, DeletionOnCloseAndByDisposition) {
  HANDLE h, second;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "temp", kReadWrite | DELETE, FILE_SHARE_DELETE | FILE_SHARE_READ,
                                     FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE));
  ASSERT_STATUS(STATUS_SUCCESS, Open(&second, "temp", GENERIC_READ, kShareAll, FILE_OPEN));
  ZwClose(h);
  // The delete waits for the last handle; meanwhile nobody may open it.
  EXPECT_TRUE(HostExists("temp"));
  HANDLE third;
  EXPECT_STATUS(STATUS_DELETE_PENDING, Open(&third, "temp", GENERIC_READ, kShareAll, FILE_OPEN));
  ZwClose(second);
  EXPECT_FALSE(HostExists("temp"));

  MakeFile("byinfo", "x");
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "byinfo", DELETE, 0, FILE_OPEN));
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  IO_STATUS_BLOCK iosb{};
  EXPECT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &disposition, sizeof disposition,
                                                     FileDispositionInformation));
  disposition.DeleteFile = FALSE;  // changed its mind
  EXPECT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &disposition, sizeof disposition,
                                                     FileDispositionInformation));
  ZwClose(h);
  EXPECT_TRUE(HostExists("byinfo"));
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "byinfo", GENERIC_READ, 0, FILE_OPEN));
  disposition.DeleteFile = TRUE;
  EXPECT_STATUS(STATUS_ACCESS_DENIED, ZwSetInformationFile(h, &iosb, &disposition, sizeof disposition,
                                                           FileDispositionInformation));
  ZwClose(h);
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "byinfo", DELETE, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(h, &iosb, &disposition, sizeof disposition,
                                                     FileDispositionInformation));
  ZwClose(h);
  EXPECT_FALSE(HostExists("byinfo"));

  mkdir(Host("full").c_str(), 0755);
  MakeFile("full/inside", "x");
  EXPECT_STATUS(STATUS_DIRECTORY_NOT_EMPTY,
                ByName("full", [](POBJECT_ATTRIBUTES oa) { return ZwDeleteFile(oa); }));
  EXPECT_STATUS(STATUS_SUCCESS,
                ByName("full/inside", [](POBJECT_ATTRIBUTES oa) { return ZwDeleteFile(oa); }));
  EXPECT_STATUS(STATUS_SUCCESS,
                ByName("full", [](POBJECT_ATTRIBUTES oa) { return ZwDeleteFile(oa); }));
  EXPECT_FALSE(HostExists("full"));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                ByName("full", [](POBJECT_ATTRIBUTES oa) { return ZwDeleteFile(oa); }));
}

TEST_F(HostFsTest, InjectedFileFailuresAndNothingLeftBehind) {
  MakeFile("f", "content");
  HANDLE h;
  InjectFault(Fault::FileCall, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Open(&h, "new", kReadWrite, 0, FILE_CREATE));
  EXPECT_FALSE(HostExists("new"));
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_OPEN));
  std::string data;
  InjectFault(Fault::FileCall, 1, 2);  // the first read goes through, then two fail
  EXPECT_STATUS(STATUS_SUCCESS, Read(h, &data, 7, 0));
  EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, Read(h, &data, 7, 0));
  EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, Write(h, "x", 0));
  EXPECT_STATUS(STATUS_SUCCESS, Write(h, "C", 0));
  InjectFault(Fault::FileCall, 0, 3);
  IO_STATUS_BLOCK iosb;
  FILE_FS_SIZE_INFORMATION size;
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, SetEndOfFile(h, 0));
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                ZwQueryVolumeInformationFile(h, &iosb, &size, sizeof size, FileFsSizeInformation));
  EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, ZwFlushBuffersFile(h, &iosb));
  EXPECT_STATUS(STATUS_SUCCESS, ZwClose(h));  // cleanup and close cannot fail
  EXPECT_EQ("Content", HostContent("f"));
  EXPECT_EQ(0u, PoolBytesWithTag(0x20206F49));  // "Io  "
  // Every share was given back.
  EXPECT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_OPEN));
  ZwClose(h);
}

TEST_F(HostFsTest, UserCallersOpenWithTheirOwnHostRights) {
  MakeFile("secret", "s");
  MakeFile("public", "p");
  chmod(Host("secret").c_str(), 0600);
  chmod(Host("public").c_str(), 0644);
  chmod(root_.c_str(), 0755);
  ProcessOptions options;
  options.uid = 65534;
  options.gid = 65534;
  auto process = CreateUserProcess(options);
  auto thread = process->CreateThread(1);
  HANDLE h = nullptr;
  EXPECT_STATUS(STATUS_ACCESS_DENIED, process->CreateFile(*thread, Nt("secret"), GENERIC_READ,
                                                          FILE_SHARE_READ, FILE_OPEN, 0, &h));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, process->CreateFile(*thread, Nt("public"), GENERIC_WRITE,
                                                          FILE_SHARE_READ, FILE_OPEN, 0, &h));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, process->CreateFile(*thread, Nt("created"), GENERIC_WRITE,
                                                          0, FILE_CREATE, 0, &h));
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, Nt("public"), GENERIC_READ,
                                                    FILE_SHARE_READ, FILE_OPEN, 0, &h));
  IoResult r = process->Read(*thread, h, 1, 0);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(1u, r.information);
  process->Close(h);
  process->Terminate();
}

}  // namespace
}  // namespace bw::test
