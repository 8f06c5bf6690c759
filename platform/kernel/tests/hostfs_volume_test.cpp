// Labels, volume records and security of host files through the Zw calls,
// and the Nt services of a user process: the handle's access each needs and
// buffers outside user space.
#include "platform/kernel/tests/hostfs_fixture.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

namespace bw::test {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST_F(HostFsTest, VolumeRecordsAndALabelTheHostCannotKeep) {
  HANDLE h;
  MakeFile("f", "x");
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN));
  std::vector<UCHAR> buffer(256);
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS, ZwQueryVolumeInformationFile(h, &iosb, buffer.data(), 256,
                                                             FileFsVolumeInformation));
  auto *volume = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(buffer.data());
  struct stat st;
  ASSERT_EQ(0, stat(Host("f").c_str(), &st));
  EXPECT_EQ(static_cast<ULONG>(st.st_dev ^ (static_cast<uint64_t>(st.st_dev) >> 32)),
            volume->VolumeSerialNumber);
  EXPECT_EQ(0u, volume->VolumeLabelLength);
  EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                ZwQueryVolumeInformationFile(h, &iosb, buffer.data(), 8, FileFsVolumeInformation));

  std::u16string label = u"DATA";
  std::vector<UCHAR> record(sizeof(ULONG) + label.size() * 2);
  ULONG bytes = static_cast<ULONG>(label.size() * 2);
  memcpy(record.data(), &bytes, sizeof bytes);
  memcpy(record.data() + sizeof bytes, label.data(), bytes);
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                ZwSetVolumeInformationFile(h, &iosb, record.data(),
                                           static_cast<ULONG>(record.size()),
                                           FileFsLabelInformation));
  // A label longer than its record is refused before the file system sees it.
  bytes = 100;
  memcpy(record.data(), &bytes, sizeof bytes);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                ZwSetVolumeInformationFile(h, &iosb, record.data(),
                                           static_cast<ULONG>(record.size()),
                                           FileFsLabelInformation));
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                ZwSetVolumeInformationFile(h, &iosb, record.data(),
                                           static_cast<ULONG>(record.size()),
                                           FileFsSizeInformation));
  ZwClose(h);
}

TEST_F(HostFsTest, SecurityIsAFixedDescriptorCutToWhatIsAsked) {
  HANDLE h;
  MakeFile("f", "x");
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", READ_CONTROL | WRITE_DAC, kShareAll, FILE_OPEN));
  ULONG needed = 0;
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL,
                ZwQuerySecurityObject(h, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      nullptr, 0, &needed));
  ASSERT_GT(needed, static_cast<ULONG>(SECURITY_DESCRIPTOR_MIN_LENGTH));
  std::vector<UCHAR> sd(needed);
  ASSERT_STATUS(STATUS_SUCCESS,
                ZwQuerySecurityObject(h, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      sd.data(), needed, &needed));
  EXPECT_EQ(sd.size(), needed);
  EXPECT_TRUE(RtlValidSecurityDescriptor(sd.data()));
  PSID owner = nullptr, group = nullptr;
  BOOLEAN defaulted, present = FALSE;
  PACL dacl = nullptr;
  RtlGetOwnerSecurityDescriptor(sd.data(), &owner, &defaulted);
  RtlGetGroupSecurityDescriptor(sd.data(), &group, &defaulted);
  RtlGetDaclSecurityDescriptor(sd.data(), &present, &dacl, &defaulted);
  EXPECT_NE(nullptr, owner);
  EXPECT_EQ(nullptr, group);  // not asked for
  EXPECT_TRUE(present);
  EXPECT_NE(nullptr, dacl);
  // The host keeps no Windows security: a change is refused, never dropped.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                ZwSetSecurityObject(h, DACL_SECURITY_INFORMATION, sd.data()));
  std::vector<UCHAR> garbage(64, 0xEE);
  EXPECT_STATUS(STATUS_INVALID_SECURITY_DESCR,
                ZwSetSecurityObject(h, DACL_SECURITY_INFORMATION, garbage.data()));
  ZwClose(h);
}

TEST_F(HostFsTest, UserRequestsNeedTheHandlesAccessAndUserBuffers) {
  MakeFile("f", "x");
  mkdir(Host("d").c_str(), 0755);
  chmod(root_.c_str(), 0777);
  chmod(Host("f").c_str(), 0666);
  ProcessOptions options;
  options.uid = 65534;
  options.gid = 65534;
  auto process = CreateUserProcess(options);
  auto thread = process->CreateThread(1);
  // The client's own memory: below 2 GiB, where ramvold maps its windows.
  void *mapped = mmap(nullptr, 1 << 16, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  ASSERT_NE(MAP_FAILED, mapped);
  auto *user = static_cast<UCHAR *>(mapped);
  HANDLE file = nullptr, dir = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, Nt("f"), GENERIC_READ, kShareAll,
                                                    FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                                    &file));
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, Nt("d"), FILE_READ_ATTRIBUTES,
                                                    kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE,
                                                    &dir));
  // Reading a file grants no rename, no attribute change, no DACL change.
  std::u16string to = Nt("g");
  auto *rename = reinterpret_cast<PFILE_RENAME_INFORMATION>(user);
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<ULONG>(to.size() * 2);
  memcpy(rename->FileName, to.data(), to.size() * 2);
  ULONG length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + rename->FileNameLength;
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                process->NtSetInformationFile(*thread, file, user, length, FileRenameInformation)
                    .status);
  memset(user, 0, sizeof(FILE_BASIC_INFORMATION));
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                process->NtSetInformationFile(*thread, file, user, sizeof(FILE_BASIC_INFORMATION),
                                              FileBasicInformation)
                    .status);
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                process->NtSetSecurityObject(*thread, file, DACL_SECURITY_INFORMATION, user).status);
  // A folder opened for its attributes is not listed.
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                process->NtQueryDirectoryFile(*thread, dir, user, 4096, FileNamesInformation,
                                              false, nullptr, false)
                    .status);
  // What a handle allows works on user buffers only.
  IoResult r = process->NtQueryInformationFile(*thread, file, user,
                                               sizeof(FILE_STANDARD_INFORMATION),
                                               FileStandardInformation);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(1, reinterpret_cast<PFILE_STANDARD_INFORMATION>(user)->EndOfFile.QuadPart);
  FILE_STANDARD_INFORMATION kernelOwned{};
  EXPECT_STATUS(STATUS_ACCESS_VIOLATION,
                process->NtQueryInformationFile(*thread, file, &kernelOwned, sizeof kernelOwned,
                                                FileStandardInformation)
                    .status);
  process->Close(file);
  process->Close(dir);
  // With the rights, the same requests go through.
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, Nt("f"), DELETE | SYNCHRONIZE,
                                                    kShareAll, FILE_OPEN,
                                                    FILE_SYNCHRONOUS_IO_NONALERT, &file));
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<ULONG>(to.size() * 2);
  memcpy(rename->FileName, to.data(), to.size() * 2);
  EXPECT_STATUS(STATUS_SUCCESS,
                process->NtSetInformationFile(*thread, file, user, length, FileRenameInformation)
                    .status);
  EXPECT_TRUE(HostExists("g"));
  IoResult security = process->NtQuerySecurityObject(*thread, file, OWNER_SECURITY_INFORMATION,
                                                     user, 4);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, security.status);  // DELETE grants no READ_CONTROL
  process->Close(file);
  process->Terminate();
  munmap(mapped, 1 << 16);
}

}  // namespace
}  // namespace bw::test
