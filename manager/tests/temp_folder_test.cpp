// The temporary-folder logic: TEMP and TMP written to the user's
// environment without a trailing backslash and announced to another
// program's window, the key that cannot be opened, the history, and the
// start-up checks of TEMP and TMP on RAM disks.

#include "TempFolder.h"
#include "manager_daemon.h"

#include <windows.h>

#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

class TempFolder : public Ramdeck::test::SystemTest {};

LRESULT CALLBACK Listener(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTINGCHANGE && lParam && std::u16string(reinterpret_cast<LPCWSTR>(lParam)) == u"Environment")
    PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

// Another program with a top-level window: exits 0 once told that the
// environment changed, 1 when no word came within ten seconds.
pid_t StartListener(int *ready) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  pid_t child = fork();
  if (child != 0) {
    close(pipeFds[1]);
    *ready = pipeFds[0];
    return child;
  }
  close(pipeFds[0]);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = Listener;
  windowClass.lpszClassName = u"BwTempListener";
  RegisterClassExW(&windowClass);
  HWND window = CreateWindowExW(0, u"BwTempListener", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  char byte = window ? 1 : 0;
  (void)!write(pipeFds[1], &byte, 1);
  if (!window) _exit(2);
  MSG message;
  for (int waited = 0; waited < 10000; waited += 10) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) _exit(0);
      DispatchMessageW(&message);
    }
    usleep(10000);
  }
  _exit(1);
}

TEST_F(TempFolder, TheFolderGoesToBothVariablesAndOtherProgramsAreTold) {
  int ready = -1;
  pid_t listener = StartListener(&ready);
  ASSERT_GT(listener, 0);
  char byte = 0;
  ASSERT_EQ(1, read(ready, &byte, 1));
  close(ready);
  ASSERT_EQ(1, byte) << "the other program has no window";

  ASSERT_TRUE(Ramdeck::ApplyTempFolder(QStringLiteral("R:\\Temp\\")));
  EXPECT_EQ((std::pair<DWORD, QString>{REG_EXPAND_SZ, QStringLiteral("R:\\Temp")}), StoredEnvironment(u"TEMP"));
  EXPECT_EQ((std::pair<DWORD, QString>{REG_EXPAND_SZ, QStringLiteral("R:\\Temp")}), StoredEnvironment(u"TMP"));
  int status = 0;
  ASSERT_EQ(listener, waitpid(listener, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other program was not told";

  // The dialog opens on what is stored and on the history.
  Ramdeck::TTempVariables variables = Ramdeck::ReadTempVariables(QStringLiteral("C:\\Temp,,R:\\Temp"));
  EXPECT_TRUE(variables.Opened);
  EXPECT_EQ(QStringLiteral("R:\\Temp"), variables.Temp);
  EXPECT_EQ(QStringLiteral("R:\\Temp"), variables.Tmp);
  EXPECT_EQ((QStringList{QStringLiteral("C:\\Temp"), QStringLiteral("R:\\Temp")}), variables.History);

  // Without the key nothing can be written, and the dialog starts empty.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, u"Environment"));
  EXPECT_FALSE(Ramdeck::ApplyTempFolder(QStringLiteral("S:\\Temp")));
  variables = Ramdeck::ReadTempVariables(QStringLiteral("C:\\Temp"));
  EXPECT_FALSE(variables.Opened);
  EXPECT_TRUE(variables.Temp.isEmpty());
  EXPECT_TRUE(variables.History.isEmpty());
}

TEST(TempHistory, PreviousValuesJoinTheSortedListOnceEach) {
  QStringList lists = {QStringLiteral("R:\\Temp"), QStringLiteral("c:\\windows\\temp")};
  // Both fields changed: both previous values join, the first letter upper-cased.
  EXPECT_EQ(QStringLiteral("c:\\windows\\temp,D:\\old,E:\\tmp,R:\\Temp"),
            Ramdeck::UpdateTempHistory(lists, lists, QStringLiteral("d:\\old"), QStringLiteral("R:\\Temp"),
                                       QStringLiteral("e:\\tmp"), QStringLiteral("R:\\Temp")));
  // Unchanged fields add nothing; the same folder in another case is one entry.
  EXPECT_EQ(QStringLiteral("c:\\windows\\temp,R:\\Temp"),
            Ramdeck::UpdateTempHistory(lists, {QStringLiteral("r:\\temp")}, QStringLiteral("X:\\a"),
                                       QStringLiteral("X:\\a"), QStringLiteral("Y:\\b"), QStringLiteral("Y:\\b")));
  // A previous value that was empty adds no empty entry; a value that does
  // not start with a letter keeps its first character.
  EXPECT_EQ(QStringLiteral("%USERPROFILE%\\Temp"),
            Ramdeck::UpdateTempHistory({}, {}, QString(), QStringLiteral("R:\\T"),
                                       QStringLiteral("%USERPROFILE%\\Temp"), QStringLiteral("R:\\T")));
  EXPECT_EQ(QStringLiteral("R:"), Ramdeck::TempFolderValue(QStringLiteral("R:\\")));
  EXPECT_EQ(QStringLiteral("R:\\Temp"), Ramdeck::TempFolderValue(QStringLiteral("R:\\Temp")));
}

TEST(TempChecks, RamDisksWithSessionLettersAndRamDiskRoots) {
  auto ramDiskR = [](QChar letter) { return letter == u'R'; };
  // On a RAM disk with session-local letters; not with global ones.
  Ramdeck::TTempCheck check =
      Ramdeck::CheckTempVariables(QStringLiteral("r:\\Temp"), QStringLiteral("C:\\Temp"), true, true, ramDiskR);
  EXPECT_TRUE(check.OnLocalRamDisk);
  EXPECT_FALSE(check.AtRamDiskRoot);
  check = Ramdeck::CheckTempVariables(QStringLiteral("C:\\Temp"), QStringLiteral("R:\\Temp"), false, true, ramDiskR);
  EXPECT_FALSE(check.OnLocalRamDisk);
  // At a RAM disk's root, by either variable, unless turned off.
  check = Ramdeck::CheckTempVariables(QStringLiteral("C:\\Temp"), QStringLiteral("R:\\"), false, true, ramDiskR);
  EXPECT_TRUE(check.AtRamDiskRoot);
  check = Ramdeck::CheckTempVariables(QStringLiteral("R:"), QStringLiteral("C:\\Temp"), false, true, ramDiskR);
  EXPECT_TRUE(check.AtRamDiskRoot);
  check = Ramdeck::CheckTempVariables(QStringLiteral("R:"), QStringLiteral("R:\\"), true, false, ramDiskR);
  EXPECT_FALSE(check.AtRamDiskRoot);
  EXPECT_TRUE(check.OnLocalRamDisk);
  // The root of a disk that is no RAM disk, and values without a letter.
  check = Ramdeck::CheckTempVariables(QStringLiteral("C:\\"), QStringLiteral("%TEMP%"), true, true, ramDiskR);
  EXPECT_FALSE(check.AtRamDiskRoot);
  EXPECT_FALSE(check.OnLocalRamDisk);
  // The process's own variables.
  SetEnvironmentVariableW(u"TEMP", u"R:\\");
  SetEnvironmentVariableW(u"TMP", nullptr);
  check = Ramdeck::CheckOwnTempVariables(false, true, ramDiskR);
  EXPECT_TRUE(check.AtRamDiskRoot);
}

}  // namespace
