// ramvold as users run it: one per root, surviving bad clients, keeping the
// registry across restarts, answering several processes at once.
#include "platform/daemon/tests/daemon_harness.h"
#include "platform/transport/wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <thread>

namespace bw::test {
namespace {

int RawConnect(const Daemon &daemon) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, wire::SocketPath(daemon.Root()).c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(RamvoldTest, ASecondDaemonOnTheSameRootIsRefused) {
  Daemon first;
  ASSERT_TRUE(first.Start()) << first.Output();
  Daemon second(first.Root());
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(1, second.ExitCode());
  EXPECT_NE(std::string::npos, second.Output().find("already running")) << second.Output();
  EXPECT_TRUE(first.Running());
  // The first still answers: the device is simply not there without drivers.
  EXPECT_NE(std::string::npos, Devio(first, "'\\\\.\\BrimwellVolume' 0x222024").find("error 2"));
  EXPECT_EQ(0, first.Stop());
  EXPECT_NE(std::string::npos, first.Output().find("ramvold: stopped"));
  EXPECT_FALSE(std::filesystem::exists(wire::SocketPath(first.Root())));
}

TEST(RamvoldTest, ADamagedRegistryIsReportedByName) {
  Daemon daemon;
  {
    std::ofstream file(daemon.Root() + "/registry.dat");
    file << "BWREGISTRY 1 10 0\nnot really";
  }
  EXPECT_FALSE(daemon.Start());
  EXPECT_EQ(1, daemon.ExitCode());
  EXPECT_NE(std::string::npos, daemon.Output().find(daemon.Root() + "/registry.dat"))
      << daemon.Output();
}

TEST(RamvoldTest, MalformedFramesAndBrokenClientsLeaveOthersServed) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  // Garbage instead of a hello.
  int fd = RawConnect(daemon);
  ASSERT_GE(fd, 0);
  const char garbage[] = "this is not a frame";
  send(fd, garbage, sizeof garbage, 0);
  char reply[64];
  EXPECT_LE(recv(fd, reply, sizeof reply, 0), 0);  // the daemon hangs up
  close(fd);
  // A hello that lies about the process.
  fd = RawConnect(daemon);
  wire::HelloRequest hello{};
  hello.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Hello)};
  hello.version = wire::kVersion;
  hello.pid = static_cast<uint32_t>(getpid()) + 1;
  send(fd, &hello, sizeof hello, 0);
  wire::HelloReply answer{};
  ASSERT_EQ(static_cast<ssize_t>(sizeof answer), recv(fd, &answer, sizeof answer, 0));
  EXPECT_EQ(static_cast<int32_t>(0xC0000022), answer.status);
  close(fd);
  // A proper hello, then a request cut short, then a hang-up mid-request.
  fd = RawConnect(daemon);
  hello.pid = static_cast<uint32_t>(getpid());
  send(fd, &hello, sizeof hello, 0);
  ASSERT_EQ(static_cast<ssize_t>(sizeof answer), recv(fd, &answer, sizeof answer, 0));
  EXPECT_EQ(0, answer.status);
  wire::DeviceControlRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::DeviceControl)};
  request.inputLength = 100;  // but no input follows
  send(fd, &request, sizeof request, 0);
  EXPECT_LE(recv(fd, reply, sizeof reply, 0), 0);
  close(fd);
  fd = RawConnect(daemon);
  send(fd, &hello, sizeof hello, 0);
  recv(fd, &answer, sizeof answer, 0);
  wire::CreateRequest create{};
  create.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Create)};
  send(fd, &create, sizeof create, 0);
  close(fd);  // gone before the answer
  EXPECT_TRUE(daemon.Running());
  EXPECT_NE(std::string::npos, Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222024").find("error 2"));
  EXPECT_EQ(0, daemon.Stop());
}

TEST(RamvoldTest, AStaleSocketFromACrashedDaemonIsReplaced) {
  Daemon daemon;
  {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, wire::SocketPath(daemon.Root()).c_str());
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    close(fd);  // the file stays behind, as after a crash
  }
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  EXPECT_NE(std::string::npos, Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222024").find("error 2"));
}

}  // namespace
}  // namespace bw::test
