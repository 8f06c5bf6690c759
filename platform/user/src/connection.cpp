#include "connection.h"

#include <errno.h>
#include <pthread.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace bw::user {

namespace {

std::mutex gProcessLock;
bool gWow64Declared = false;
bool gWow64 = false;
bool gConnected = false;      // the process has talked to the daemon
void *gUserMemory = nullptr;  // the shared block, mapped where the daemon has it

thread_local std::unique_ptr<Connection> tConnection;

// 32-bit routine addresses handed out by BwWow64RoutineAddress.
constexpr DWORD kWow64RoutineBase = 0x7FFD0000;
std::vector<PNTAPCFUNC> gWow64Routines;

void RunApc(const wire::ApcFrame &apc) {
  if (ProcessIsWow64()) {
    // A 32-bit process receives the encoded routine; decode it back.
    int64_t encoded = static_cast<int64_t>(apc.routine);
    uint64_t routine32 = static_cast<uint64_t>(-encoded) >> 2;
    PNTAPCFUNC routine = nullptr;
    {
      std::lock_guard<std::mutex> guard(gProcessLock);
      if (routine32 >= kWow64RoutineBase &&
          (routine32 - kWow64RoutineBase) / 16 < gWow64Routines.size() &&
          (routine32 - kWow64RoutineBase) % 16 == 0)
        routine = gWow64Routines[(routine32 - kWow64RoutineBase) / 16];
    }
    if (!routine) return;  // not code of this process: a 32-bit process would crash here
    routine(static_cast<ULONG_PTR>(static_cast<uint32_t>(apc.normalContext)),
            static_cast<ULONG_PTR>(static_cast<uint32_t>(apc.systemArgument1)),
            static_cast<ULONG_PTR>(static_cast<uint32_t>(apc.systemArgument2)));
    return;
  }
  auto routine = reinterpret_cast<PNTAPCFUNC>(apc.routine);
  if (routine) routine(apc.normalContext, apc.systemArgument1, apc.systemArgument2);
}

}  // namespace

bool ProcessIsWow64() {
  std::lock_guard<std::mutex> guard(gProcessLock);
  if (!gWow64Declared) {
    const char *env = getenv("BRIMWELL_WOW64");
    gWow64 = env && strcmp(env, "1") == 0;
    gWow64Declared = true;
  }
  return gWow64;
}

// A forked child starts without its parent's connections and memory.
void ForgetParentsConnection() {
  gConnected = false;
  if (gUserMemory) munmap(gUserMemory, 1 << 20);
  gUserMemory = nullptr;
}

Connection *ThreadConnection() {
  static bool atfork = (pthread_atfork(nullptr, nullptr, ForgetParentsConnection), true);
  (void)atfork;
  // A daemon that went away (a restarted system) is reached anew.
  if (tConnection && tConnection->Stale()) tConnection.reset();
  if (tConnection) return tConnection.get();
  auto connection = std::unique_ptr<Connection>(new Connection);
  if (!connection->Open()) return nullptr;
  tConnection = std::move(connection);
  return tConnection.get();
}

Connection::~Connection() {
  if (fd_ >= 0) close(fd_);
}

bool Connection::Stale() {
  if (pid_ != getpid()) return true;
  if (broken_) return true;
  pollfd p{fd_, POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR))) broken_ = true;
  return broken_;
}

bool Connection::Open() {
  bool wow64 = ProcessIsWow64();
  pid_ = getpid();
  fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return false;
  }
  std::string path = wire::SocketPath(wire::DefaultRoot());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path) ||
      (strcpy(address.sun_path, path.c_str()),
       connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)) {
    // No system running: the device is not there.
    SetLastError(ERROR_FILE_NOT_FOUND);
    close(fd_);
    fd_ = -1;
    return false;
  }
  wire::HelloRequest hello{};
  hello.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Hello)};
  hello.version = wire::kVersion;
  hello.pid = static_cast<uint32_t>(getpid());
  hello.tid = static_cast<uint32_t>(syscall(SYS_gettid));
  hello.wow64 = wow64 ? 1 : 0;
  strncpy(hello.imageName, program_invocation_short_name, sizeof hello.imageName - 1);
  if (send(fd_, &hello, sizeof hello, MSG_NOSIGNAL) != sizeof hello) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  wire::HelloReply answer{};
  iovec iov{&answer, sizeof answer};
  char control[CMSG_SPACE(sizeof(int))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
  int memoryFd = -1;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
      memcpy(&memoryFd, CMSG_DATA(c), sizeof(int));
  if (n != sizeof answer || answer.status != 0) {
    if (memoryFd >= 0) close(memoryFd);
    SetLastError(n == sizeof answer ? RtlNtStatusToDosError(answer.status) : ERROR_FILE_NOT_FOUND);
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(gProcessLock);
    if (!gUserMemory && memoryFd >= 0 && answer.userMemorySize) {
      void *p = mmap(reinterpret_cast<void *>(answer.userMemoryAddress), answer.userMemorySize,
                     PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED_NOREPLACE, memoryFd, 0);
      if (p != MAP_FAILED) gUserMemory = p;
    }
    gConnected = true;
  }
  if (memoryFd >= 0) close(memoryFd);
  return true;
}

bool Connection::ReceiveFrame(std::vector<uint8_t> *frame, int timeoutMs) {
  if (timeoutMs >= 0) {
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r <= 0) return false;
  }
  constexpr size_t kBufferSize = wire::kMaxFrame + 4096;
  if (!buffer_) buffer_.reset(new uint8_t[kBufferSize]);
  ssize_t n = -1;
  bool received = false;
  if (timeoutMs < 0) {
    // Most replies come within microseconds: look for one briefly before
    // giving the processor away, which saves a wake-up per request.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(30);
    do {
      n = recv(fd_, buffer_.get(), kBufferSize, MSG_DONTWAIT);
      received = n >= 0 || (errno != EAGAIN && errno != EINTR);
    } while (!received && std::chrono::steady_clock::now() < until);
  }
  if (!received) {
    do {
      n = recv(fd_, buffer_.get(), kBufferSize, 0);
    } while (n < 0 && errno == EINTR);
  }
  if (n <= 0) {
    broken_ = true;  // the daemon went away
    return false;
  }
  frame->assign(buffer_.get(), buffer_.get() + n);
  return true;
}

bool Connection::Call(const void *request, size_t length, ReplyData *reply) {
  if (send(fd_, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
    broken_ = true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  std::vector<uint8_t> frame;
  for (;;) {
    if (!ReceiveFrame(&frame, -1) || frame.size() < sizeof(wire::FrameHeader)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    wire::FrameHeader header;
    memcpy(&header, frame.data(), sizeof header);
    if (header.op == static_cast<uint32_t>(wire::Op::Apc) && frame.size() == sizeof(wire::ApcFrame)) {
      wire::ApcFrame apc;
      memcpy(&apc, frame.data(), sizeof apc);
      pending_.push_back(apc);
      continue;
    }
    if (header.op != static_cast<uint32_t>(wire::Op::Reply) || frame.size() < sizeof(wire::Reply)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    wire::Reply r;
    memcpy(&r, frame.data(), sizeof r);
    if (frame.size() != sizeof r + r.outputLength) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    reply->status = r.status;
    reply->information = r.information;
    reply->value = r.value;
    reply->output.assign(frame.begin() + sizeof r, frame.end());
    return true;
  }
}

bool Connection::WaitForApc(int ms) {
  std::vector<uint8_t> frame;
  if (!ReceiveFrame(&frame, ms)) return false;
  if (frame.size() == sizeof(wire::ApcFrame)) {
    wire::ApcFrame apc;
    memcpy(&apc, frame.data(), sizeof apc);
    if (apc.header.op == static_cast<uint32_t>(wire::Op::Apc)) {
      pending_.push_back(apc);
      return true;
    }
  }
  return false;
}

size_t RunPendingApcs() {
  if (!tConnection) return 0;
  size_t ran = 0;
  while (!tConnection->Pending().empty()) {
    wire::ApcFrame apc = tConnection->Pending().front();
    tConnection->Pending().pop_front();
    RunApc(apc);
    ++ran;
  }
  return ran;
}

}  // namespace bw::user

using namespace bw::user;

BOOL WINAPI BwDeclareWow64Process(BOOL Wow64) {
  std::lock_guard<std::mutex> guard(gProcessLock);
  if (gConnected) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  gWow64 = Wow64 != 0;
  gWow64Declared = true;
  return TRUE;
}

DWORD WINAPI BwWow64RoutineAddress(PNTAPCFUNC routine) {
  std::lock_guard<std::mutex> guard(gProcessLock);
  for (size_t i = 0; i < gWow64Routines.size(); ++i)
    if (gWow64Routines[i] == routine) return kWow64RoutineBase + static_cast<DWORD>(i * 16);
  gWow64Routines.push_back(routine);
  return kWow64RoutineBase + static_cast<DWORD>((gWow64Routines.size() - 1) * 16);
}

DWORD WINAPI BwPendingApcCount(VOID) {
  if (!tConnection) return 0;
  while (tConnection->WaitForApc(0)) {
  }  // take in what has arrived
  return static_cast<DWORD>(tConnection->Pending().size());
}

BOOL WINAPI IsWow64Process(HANDLE, BOOL *Wow64Process) {
  if (!Wow64Process) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *Wow64Process = ProcessIsWow64() ? TRUE : FALSE;
  return TRUE;
}
