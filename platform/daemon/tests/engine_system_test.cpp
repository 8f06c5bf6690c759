// The engine as users reach it: ramvold with both drivers, driven from
// separate processes through devio.
#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace bw::test {
namespace {

std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(EngineSystemTest, TheEngineAnswersListVolumes) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  EXPECT_EQ("status=0x00000000 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222024"));
  EXPECT_EQ("status=0x00000000 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222024 --out 8"));
  // An unknown code, and a request with a wrong length.
  EXPECT_EQ("status=0xC0000010 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222050"));
  EXPECT_EQ("status=0xC0000206 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222020 00000000000000 --out 100"));
  EXPECT_EQ(0, daemon.Stop());
}

TEST(EngineSystemTest, TheEnginesRegistryKeysSurviveARestart) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  EXPECT_EQ(0, daemon.Stop());
  std::string registry = ReadFile(daemon.Root() + "/registry.dat");
  EXPECT_NE(std::string::npos, registry.find("RamvolEngine\\Options\\Auto"))
      << registry.substr(0, 2000);
  // Started again on the same root, the engine finds its keys.
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  EXPECT_EQ("status=0x00000000 information=4\n00 00 00 00\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222038 --out 4"));
  EXPECT_EQ(0, daemon.Stop());
}

TEST(EngineSystemTest, SeveralProcessesAtOnce) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&] {
      for (int n = 0; n < 5; ++n)
        if (Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222024") == "status=0x00000000 information=0\n\n")
          ++good;
    });
  for (auto &t : clients) t.join();
  EXPECT_EQ(40, good.load());
}

TEST(EngineSystemTest, ThirtyTwoBitRegistrationTakesEightBytes) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  // A 64-bit process must send 16 bytes; a 32-bit one 8. The handle 4 is
  // devio's own open device handle, an object of some type, which is all
  // the engine asks of it here.
  EXPECT_EQ("status=0xC0000206 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x22201C 0400000000100000"));
  EXPECT_EQ("status=0xC0000206 information=0\n\n",
            Devio(daemon, "--wow64 '\\\\.\\BrimwellVolume' 0x22201C 04000000001000000000000000000000"));
  EXPECT_EQ("status=0xC000000D information=0\n\n",
            Devio(daemon, "--wow64 '\\\\.\\BrimwellVolume' 0x22201C 0000000000100000"));
}

}  // namespace
}  // namespace bw::test
