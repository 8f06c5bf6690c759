// An NTFS RAM disk with a letter, as a Win32 program works with it:
// ramvold with the drivers, an NTFS memory volume made by the engine with
// its root compressed (mount flag 0x40) and given R:, files, folders and a
// folder's security through the Win32 calls; then the volume's bytes, read
// through the volume device, judged by ntfsfix and an ntfs-3g mount.
#include "platform/daemon/tests/engine_win32_fixture.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bw::test {
namespace {

constexpr uint32_t kCompressRoot = 0x40;
constexpr uint64_t kVolumeBytes = 48ull << 20;

// A shell command's output and exit code.
int RunShell(const std::string &command, std::string *output) {
  output->clear();
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Self-relative: owner Administrators, group SYSTEM, a DACL that lets
// Users read.
std::vector<uint8_t> ReadersDescriptor() {
  const uint8_t admins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  const uint8_t system[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  const uint8_t users[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};
  std::vector<uint8_t> sd(20);
  sd[0] = 1;
  uint16_t control = 0x8004;  // self-relative, DACL present
  memcpy(&sd[2], &control, 2);
  auto offset = [&](int field) {
    uint32_t at = static_cast<uint32_t>(sd.size());
    memcpy(&sd[4 + 4 * field], &at, 4);
  };
  offset(0);
  sd.insert(sd.end(), admins, admins + 16);
  offset(1);
  sd.insert(sd.end(), system, system + 12);
  offset(3);
  uint8_t acl[8] = {2, 0, 8 + 24, 0, 1, 0, 0, 0};
  sd.insert(sd.end(), acl, acl + 8);
  uint8_t ace[8] = {0, 0, 24, 0};
  uint32_t mask = 0x120089;  // FILE_GENERIC_READ
  memcpy(ace + 4, &mask, 4);
  sd.insert(sd.end(), ace, ace + 8);
  sd.insert(sd.end(), users, users + 16);
  return sd;
}

class NtfsLetterWin32 : public EngineWin32 {};

TEST_F(NtfsLetterWin32, FilesFoldersCompressionAndSecurityLandOnASoundVolume) {
  uint64_t volume = CreateVolume(kCompressRoot, kVolumeBytes, ENGINE_FS_NTFS);
  ASSERT_NE(0u, volume);
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();

  WCHAR name[64] = {}, fileSystem[16] = {};
  DWORD serial = 0, longest = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", name, 64, &serial, &longest, &flags, fileSystem, 16)) << GetLastError();
  EXPECT_EQ(std::u16string(u"NTFS"), std::u16string(fileSystem));
  EXPECT_EQ(255u, longest);
  DWORD rootAttributes = GetFileAttributesW(u"R:\\");
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, rootAttributes) << GetLastError();
  EXPECT_TRUE(rootAttributes & FILE_ATTRIBUTE_COMPRESSED);

  ASSERT_TRUE(CreateDirectoryW(u"R:\\Berichte \u00e4\u00f6\u00fc", nullptr)) << GetLastError();
  EXPECT_FALSE(CreateDirectoryW(u"R:\\BERICHTE \u00c4\u00d6\u00dc", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  std::vector<uint8_t> data(700 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i / 512) * 3 + (i % 7));
  HANDLE file = CreateFileW(u"R:\\Berichte \u00e4\u00f6\u00fc\\Quartal eins.txt", GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) << GetLastError();
  EXPECT_EQ(data.size(), written);
  CloseHandle(file);

  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(u"R:\\berichte \u00e4\u00f6\u00fc\\*.TXT", &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << GetLastError();
  EXPECT_EQ(std::u16string(u"Quartal eins.txt"), std::u16string(found.cFileName));
  EXPECT_EQ(data.size(), found.nFileSizeLow);
  // Made in a compressed root's folder: compressed too.
  EXPECT_TRUE(found.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_FALSE(FindNextFileW(find, &found));
  FindClose(find);

  // A folder's security, set and read back.
  ASSERT_TRUE(CreateDirectoryW(u"R:\\Guarded", nullptr)) << GetLastError();
  std::vector<uint8_t> sd = ReadersDescriptor();
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  ASSERT_TRUE(SetFileSecurityW(u"R:\\Guarded", parts, sd.data())) << GetLastError();
  std::vector<uint8_t> back(512);
  DWORD needed = 0;
  ASSERT_TRUE(GetFileSecurityW(u"R:\\Guarded", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, back.data(),
                               static_cast<DWORD>(back.size()), &needed))
      << GetLastError();
  uint32_t ownerAt = 0, groupAt = 0, daclAt = 0;
  memcpy(&ownerAt, &back[4], 4);
  memcpy(&groupAt, &back[8], 4);
  memcpy(&daclAt, &back[16], 4);
  ASSERT_NE(0u, ownerAt);
  EXPECT_EQ(0, memcmp(&back[ownerAt], &sd[20], 16));
  EXPECT_EQ(0u, groupAt);  // not asked for
  ASSERT_NE(0u, daclAt);
  EXPECT_EQ(0, memcmp(&back[daclAt], &sd[48], 32));

  // The volume's bytes, through the volume device.
  HANDLE device = CreateFileW(u"\\\\.\\R:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, device) << GetLastError();
  char imageName[] = "/tmp/bw-ntfs-letter-XXXXXX";
  int fd = mkstemp(imageName);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> chunk(1 << 20);
  for (uint64_t at = 0; at < kVolumeBytes; at += chunk.size()) {
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(device, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) << GetLastError();
    if (got == 0) break;
    ASSERT_EQ(static_cast<ssize_t>(got), write(fd, chunk.data(), got));
  }
  close(fd);
  CloseHandle(device);

  std::string output;
  EXPECT_EQ(0, RunShell("ntfsfix -n " + std::string(imageName), &output)) << output;
  EXPECT_NE(std::string::npos, output.find("was processed successfully")) << output;
  std::string mount = std::string(imageName) + ".mnt";
  std::filesystem::create_directories(mount);
  ASSERT_EQ(0, RunShell("ntfs-3g -o ro " + std::string(imageName) + " " + mount, &output)) << output;
  {
    std::ifstream in(mount + "/Berichte \xc3\xa4\xc3\xb6\xc3\xbc/Quartal eins.txt", std::ios::binary);
    std::vector<uint8_t> peer((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(data, peer);
  }
  RunShell("python3 -c 'import os,sys; print(os.getxattr(sys.argv[1], \"system.ntfs_attrib_be\").hex())' " + mount,
      &output);
  EXPECT_TRUE(std::stoul(output, nullptr, 16) & FILE_ATTRIBUTE_COMPRESSED) << output;
  EXPECT_EQ(0, RunShell("umount " + mount, &output)) << output;
  std::error_code ignored;
  std::filesystem::remove(mount, ignored);
  unlink(imageName);

  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0)) << GetLastError();
  EXPECT_TRUE(Unmount(volume)) << GetLastError();
}

}  // namespace
}  // namespace bw::test
