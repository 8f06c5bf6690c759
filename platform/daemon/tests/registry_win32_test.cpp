// The registry as programs meet it through advapi32: keys made and opened
// below the predefined keys, values written and read back with Windows'
// size rules, enumeration, deletion, and the errors of each call; who may
// change what (HKEY_LOCAL_MACHINE for administrators, each user's own
// HKEY_CURRENT_USER).

#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  static LSTATUS SetText(HKEY key, LPCWSTR name, std::u16string text, DWORD type = REG_SZ) {
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * 2));
  }
  static std::u16string Text(const std::vector<BYTE> &data) {
    std::u16string text(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
  }

  bw::test::Daemon daemon_;
};

TEST_F(Registry, ValuesWrittenAreReadBackWithWindowsSizeRules) {
  // A fresh user's hive has the keys a profile starts with.
  HKEY environment = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"Environment", 0, KEY_READ, &environment));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(environment));

  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Test\\Deep\\Key", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, u"Name", u"R:\\Temp", REG_EXPAND_SZ));
  DWORD number = 0x12345678;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"Number", 0, REG_DWORD, reinterpret_cast<BYTE *>(&number), 4));

  // The size alone, then too small a buffer: ERROR_MORE_DATA and the size.
  DWORD type = 0, size = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"name", nullptr, &type, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  EXPECT_EQ(16u, size);  // seven characters and the terminator
  std::vector<BYTE> data(4);
  DWORD small = 4;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"Name", nullptr, &type, data.data(), &small));
  EXPECT_EQ(16u, small);
  data.resize(size);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Name", nullptr, &type, data.data(), &size));
  EXPECT_EQ(u"R:\\Temp", Text(data));
  DWORD read = 0;
  size = sizeof read;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Number", nullptr, &type, reinterpret_cast<BYTE *>(&read), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(number, read);
  // A buffer without its size is refused.
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key, u"Number", nullptr, &type, data.data(), nullptr));

  // Opening again finds it, by a path with separators to spare, and a
  // second create opens it.
  HKEY again = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\TEST\\deep\\key\\", 0, KEY_READ, &again));
  size = sizeof read;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(again, u"Number", nullptr, nullptr, reinterpret_cast<BYTE *>(&read), &size));
  RegCloseKey(again);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Test\\Deep\\Key", 0, nullptr, 0,
                                           KEY_READ, nullptr, &again, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  // A key opened for reading refuses changes.
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetText(again, u"Name", u"x"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueW(again, u"Name"));
  RegCloseKey(again);

  // Values deleted are gone; deleting them twice fails.
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"Number"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key, u"Number"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"Number", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

  // The values outlive a restart of the system.
  ASSERT_EQ(0, daemon_.Stop());
  ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Test\\Deep\\Key", 0, KEY_READ, &key));
  size = static_cast<DWORD>(data.size());
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Name", nullptr, &type, data.data(), &size));
  EXPECT_EQ(u"R:\\Temp", Text(data));
  RegCloseKey(key);
}

TEST_F(Registry, MissingKeysBadHandlesAndDeletion) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Nobody", 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Nobody\\Deeper", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExW(HKEY_CURRENT_USER, u"\\SOFTWARE", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE", 0, KEY_READ, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(nullptr, u"SOFTWARE", 0, KEY_READ, &key));
  DWORD size = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            RegQueryValueExW(reinterpret_cast<HKEY>(0x4444), u"x", nullptr, nullptr, nullptr, &size));

  // A closed key is no key.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Gone\\Child", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size));

  // A key with subkeys stays; without them it goes, and a key still open
  // on it then says so.
  HKEY parent = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE", 0, KEY_ALL_ACCESS, &parent));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(parent, u"Gone"));
  HKEY child = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(parent, u"Gone\\Child", 0, KEY_ALL_ACCESS, &child));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, u"Gone\\Child"));
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(child, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&size), 4));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, u"Gone"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(parent, u"Gone"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(parent, u"Gone", 0, KEY_READ, &key));
  RegCloseKey(child);
  RegCloseKey(parent);
  // The user's hive itself is not deleted.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CURRENT_USER, u""));
  // Predefined keys close as if they were open.
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_CURRENT_USER));
}

TEST_F(Registry, EnumerationOrderAndBufferSizes) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\List", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  for (auto name : {u"zeta", u"Alpha", u"mid"}) {
    HKEY sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
    RegCloseKey(sub);
  }
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, u"second", u"2"));
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, u"first", u"one"));

  // Subkeys in name order without regard to case.
  std::vector<std::u16string> names;
  WCHAR name[64];
  DWORD index = 0, length = 64;
  while (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    names.emplace_back(name, length);
    ++index;
    length = 64;
  }
  EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"mid", u"zeta"}), names);
  length = 64;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(key, 3, name, &length, nullptr, nullptr, nullptr, nullptr));
  length = 5;  // "Alpha" needs its terminator too
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));

  // Values in the order they were made, with their data.
  DWORD type = 0;
  BYTE data[64];
  DWORD size = sizeof data;
  length = 64;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(key, 1, name, &length, nullptr, &type, data, &size));
  EXPECT_EQ(u"first", std::u16string(name, length));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(8u, size);
  size = 2;
  length = 64;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key, 1, name, &length, nullptr, &type, data, &size));
  EXPECT_EQ(8u, size);
  length = 64;
  size = sizeof data;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(key, 2, name, &length, nullptr, &type, data, &size));
  RegCloseKey(key);
}

// Root is LocalSystem and may change the machine's keys; a plain user
// (nobody, reached through a child process that drops root) may read them
// but not change them, and has a hive of its own.
TEST_F(Registry, MachineKeysForAdministratorsAndAHivePerUser) {
  if (geteuid() != 0) GTEST_SKIP() << "a second host user needs root";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brimwell\\Test", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, u"Machine", u"yes"));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  RegCloseKey(key);

  // The other user must reach the daemon's socket.
  chmod(daemon_.Root().c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    int failures = 0;
    HKEY k = nullptr;
    // Reading the machine's keys works, changing them does not.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brimwell\\Test", 0, KEY_READ, &k) != ERROR_SUCCESS) failures |= 1;
    if (k && RegSetValueExW(k, u"Machine", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"no"), 6) != ERROR_ACCESS_DENIED)
      failures |= 2;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brimwell\\Test", 0, KEY_WRITE, &k) != ERROR_ACCESS_DENIED)
      failures |= 4;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brimwell\\Other", 0, nullptr, 0, KEY_READ, nullptr, &k,
                        nullptr) != ERROR_ACCESS_DENIED)
      failures |= 8;
    // Its own hive is its own, and root's keys are not in it.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Mine", 0, KEY_READ, &k) != ERROR_FILE_NOT_FOUND) failures |= 16;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Theirs", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != ERROR_SUCCESS)
      failures |= 32;
    // Another user's hive is closed to it.
    if (RegOpenKeyExW(HKEY_USERS, u"S-1-5-18", 0, KEY_READ, &k) != ERROR_ACCESS_DENIED) failures |= 64;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "bits of the checks that failed in the plain user's process";
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Theirs", 0, KEY_READ, &key));
}

}  // namespace
