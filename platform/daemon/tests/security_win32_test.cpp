// What a program asks of its token's groups and of the shell's special
// folders: CheckTokenMembership and SHGetSpecialFolderPathW.

#include "platform/daemon/tests/daemon_harness.h"

#include <shlobj.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class Security : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  static bool Member(WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid, &size));
    BOOL member = 2;
    EXPECT_TRUE(CheckTokenMembership(nullptr, sid, &member)) << GetLastError();
    return member == TRUE;
  }

  bw::test::Daemon daemon_;
};

TEST_F(Security, TokenMembershipOfTheCaller) {
  EXPECT_TRUE(Member(WinWorldSid));
  // Administrators are root and the members of the host's admin groups.
  if (getuid() == 0) {
    EXPECT_TRUE(Member(WinBuiltinAdministratorsSid));
  }
  EXPECT_FALSE(Member(WinBuiltinGuestsSid));
  BYTE unknown[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0xE7, 3, 0, 0};  // S-1-5-32-999
  BOOL member = TRUE;
  ASSERT_TRUE(CheckTokenMembership(nullptr, unknown, &member));
  EXPECT_FALSE(member);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_FALSE(CheckTokenMembership(token, unknown, &member));  // a primary token
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_IMPERSONATION_TOKEN), GetLastError());
  CloseHandle(token);
  BYTE broken[] = {7, 0};
  EXPECT_FALSE(CheckTokenMembership(nullptr, broken, &member));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), GetLastError());
}

TEST_F(Security, SpecialFoldersOnTheSystemDrive) {
  WCHAR path[MAX_PATH] = {};
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, FALSE)) << GetLastError();
  EXPECT_EQ(std::u16string(u"C:\\ProgramData"), std::u16string(path));
  EXPECT_TRUE(GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY);  // made when missing

  // The user's own folders exist once asked for with creation.
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_LOCAL_APPDATA, FALSE));
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_LOCAL_APPDATA, TRUE)) << GetLastError();
  std::u16string local(path);
  EXPECT_EQ(0u, local.find(u"C:\\Users\\"));
  EXPECT_EQ(local.size() - 14, local.find(u"\\AppData\\Local"));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path));
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA | CSIDL_FLAG_CREATE, FALSE));
  EXPECT_EQ(local.substr(0, local.size() - 5) + u"Roaming", std::u16string(path));

  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, 0x7777, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

}  // namespace
