// The start of the process before anything reaches the system: a hidden
// start ends at once when the user asked not to load.
#include <gtest/gtest.h>

#include "ProgramStart.h"

using namespace Ramdeck;

namespace {

TEST(ProgramStart, HiddenWithNoAutoLoadEndsWithoutDoingAnything) {
  int asked = 0;
  TStartOptions options;
  options.NoAutoLoad = [&asked] {
    ++asked;
    return true;
  };
  // No system is reachable here: reaching one would fail the test below.
  setenv("BRIMWELL_ROOT", "/nonexistent/brimwell", 1);
  TStartResult result = StartProgram(
      {QStringLiteral("Ramdeck"), QStringLiteral("/mount:R"), QStringLiteral("-HIDE")}, options);
  EXPECT_FALSE(result.Run);
  EXPECT_EQ(0, result.ExitCode);
  EXPECT_TRUE(result.Hidden);
  EXPECT_EQ(1, asked);
}

TEST(ProgramStart, HostPathsAreSeenThroughDriveZ) {
  EXPECT_EQ(u"Z:\\opt\\bw\\bin\\ramvol.sys",
            WindowsPathOf(QStringLiteral("/opt/bw/bin/ramvol.sys")));
  EXPECT_FALSE(ProgramFolder().isEmpty());
  EXPECT_FALSE(ProgramFolder().endsWith(u'/'));
}

}  // namespace
