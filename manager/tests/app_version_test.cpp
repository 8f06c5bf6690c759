#include <gtest/gtest.h>
#include <windows.h>

#include "AppVersion.h"

// Qt and the Win32 names live side by side in the manager's sources.
TEST(AppVersion, ThreeNumbersWithDots) {
  QString version = Ramdeck::ProgramVersion();
  EXPECT_EQ(2, version.count(u'.'));
  EXPECT_NE(DWORD{0}, DWORD{1});
}
