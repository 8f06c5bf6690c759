#include "platform/user/src/client/connection.h"

#include <errno.h>
#include <pthread.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
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
size_t gUserMemorySize = 0;
uint64_t gBootId = 0;  // the daemon start the block belongs to
// Counts the forks this process came through: a connection opened before
// the last one belongs to the parent. Kept here rather than asking for the
// process id on every request, which costs a system call each time.
std::atomic<uint64_t> gForkGeneration{0};

// Windows start at 1 MiB and grow in whole MiB; one grown beyond 16 MiB for
// a large request is given back after it.
constexpr size_t kWindowGranule = 1 << 20;
constexpr size_t kKeptWindowBytes = 16 << 20;
constexpr int kWindowAttempts = 4;

thread_local std::unique_ptr<Connection> tConnection;

// How long a caller looks for its reply before it sleeps: a request with
// no bytes to move is answered within microseconds; one moving bytes takes
// the daemon about the time of copying them, so the look lasts longer by
// their size, up to a bound.
std::chrono::microseconds ReplyAwait(size_t bytes) {
  constexpr size_t kMicrosecondsPerMiB = 200;
  auto wait = std::chrono::microseconds(20 + ((std::min<size_t>(bytes, 64 << 20) * kMicrosecondsPerMiB) >> 20));
  return std::min(wait, std::chrono::microseconds(250));
}

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
  gForkGeneration.fetch_add(1, std::memory_order_relaxed);
  gConnected = false;
  if (gUserMemory) munmap(gUserMemory, gUserMemorySize);
  gUserMemory = nullptr;
  gBootId = 0;
}

namespace {
void WatchForks() {
  static bool atfork = (pthread_atfork(nullptr, nullptr, ForgetParentsConnection), true);
  (void)atfork;
}
}  // namespace

Connection *ThreadConnectionFor(uint64_t bootId) {
  // The request path: a connection to the start that gave the handle needs
  // no look at the socket first. Should the daemon have ended meanwhile, the
  // request itself finds the socket closed and fails as such a call must.
  if (tConnection && !tConnection->broken_ && tConnection->forkGeneration_ ==
      gForkGeneration.load(std::memory_order_relaxed) && tConnection->BootId() == bootId)
    return tConnection.get();
  return ThreadConnection();
}

Connection *ThreadConnection() {
  WatchForks();
  // A daemon that went away (a restarted system) is reached anew.
  if (tConnection && tConnection->Stale()) tConnection.reset();
  if (tConnection) return tConnection.get();
  auto connection = std::unique_ptr<Connection>(new Connection);
  if (!connection->Open()) return nullptr;
  tConnection = std::move(connection);
  return tConnection.get();
}

Connection::~Connection() {
  UnmapWindow();
  if (fd_ >= 0) close(fd_);
}

bool Connection::Stale() {
  if (forkGeneration_ != gForkGeneration.load(std::memory_order_relaxed)) return true;
  if (broken_) return true;
  pollfd p{fd_, POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR))) broken_ = true;
  return broken_;
}

bool Connection::Open() {
  bool wow64 = ProcessIsWow64();
  uint64_t logonId = 0;
  if (!LogonSessionOfProcess(&logonId)) {
    SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
    return false;
  }
  WatchForks();
  forkGeneration_ = gForkGeneration.load(std::memory_order_relaxed);
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
  hello.logonId = logonId;
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
  bootId_ = answer.bootId;
  {
    std::lock_guard<std::mutex> guard(gProcessLock);
    // A daemon started anew has a block of its own for the process.
    if (gUserMemory && gBootId != answer.bootId) {
      munmap(gUserMemory, gUserMemorySize);
      gUserMemory = nullptr;
    }
    if (!gUserMemory && memoryFd >= 0 && answer.userMemorySize) {
      void *p = mmap(reinterpret_cast<void *>(answer.userMemoryAddress), answer.userMemorySize,
                     PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED_NOREPLACE, memoryFd, 0);
      if (p != MAP_FAILED) {
        gUserMemory = p;
        gUserMemorySize = answer.userMemorySize;
        gBootId = answer.bootId;
      }
    }
    gConnected = true;
  }
  if (memoryFd >= 0) close(memoryFd);
  return true;
}

bool Connection::ReceiveFrame(const uint8_t **frame, size_t *length, int timeoutMs, int *receivedFd) {
  if (receivedFd) *receivedFd = -1;
  if (timeoutMs >= 0) {
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r <= 0) return false;
  }
  constexpr size_t kBufferSize = wire::kMaxFrame + 4096;
  if (!buffer_) buffer_.reset(new uint8_t[kBufferSize]);
  iovec iov{buffer_.get(), kBufferSize};
  char control[CMSG_SPACE(sizeof(int))];
  msghdr msg{};
  auto receive = [&](int flags) {
    msg = msghdr{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    return recvmsg(fd_, &msg, flags | MSG_CMSG_CLOEXEC);
  };
  ssize_t n = -1;
  bool received = false;
  if (timeoutMs < 0) {
    // Most replies come within microseconds: look for one briefly before
    // giving the processor away, which saves a wake-up per request. Each
    // look yields in between, so that the daemon's thread, should the host
    // have put it on this processor, is not kept from answering.
    auto until = std::chrono::steady_clock::now() + ReplyAwait(expectedBytes_);
    expectedBytes_ = 0;
    for (;;) {
      n = receive(MSG_DONTWAIT);
      received = n >= 0 || (errno != EAGAIN && errno != EINTR);
      if (received || std::chrono::steady_clock::now() >= until) break;
      sched_yield();
    }
  }
  if (!received) {
    do {
      n = receive(0);
    } while (n < 0 && errno == EINTR);
  }
  if (n <= 0) {
    broken_ = true;  // the daemon went away
    return false;
  }
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof fd);
    if (receivedFd && *receivedFd < 0)
      *receivedFd = fd;
    else
      close(fd);
  }
  *frame = buffer_.get();
  *length = static_cast<size_t>(n);
  return true;
}

bool Connection::Call(const void *request, size_t length, ReplyData *reply, int *receivedFd) {
  if (receivedFd) *receivedFd = -1;
  auto lost = [this, receivedFd] {
    broken_ = true;
    if (receivedFd && *receivedFd >= 0) close(*receivedFd), *receivedFd = -1;
    SetLastError(kSystemGoneError);
    return false;
  };
  if (broken_ || send(fd_, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
    return lost();
  for (;;) {
    const uint8_t *frame;
    size_t length;
    if (!ReceiveFrame(&frame, &length, -1, receivedFd) || length < sizeof(wire::FrameHeader))
      return lost();
    wire::FrameHeader header;
    memcpy(&header, frame, sizeof header);
    if (QueueFrame(frame, length)) continue;
    // Anything but a reply means the two ends no longer agree: the
    // connection is of no further use.
    if (header.op != static_cast<uint32_t>(wire::Op::Reply) || length != sizeof(wire::Reply))
      return lost();
    wire::Reply r;
    memcpy(&r, frame, sizeof r);
    reply->status = r.status;
    reply->information = r.information;
    reply->value = r.value;
    return true;
  }
}

bool Connection::AskForWindow(uint64_t size, uint64_t refused, ReplyData *reply, int *fd) {
  wire::WindowRequest request{
      {wire::kMagic, static_cast<uint32_t>(wire::Op::Window)}, size, refused};
  return Call(&request, sizeof request, reply, fd);
}

void Connection::UnmapWindow() {
  if (window_) munmap(window_, windowSize_);
  window_ = nullptr;
  windowSize_ = 0;
}

uint8_t *Connection::Window(size_t bytes) {
  if (window_ && windowSize_ >= bytes) return window_;
  // The daemon lets go of its side of the old window when it makes the new.
  UnmapWindow();
  size_t size = (std::max(bytes, size_t{1}) + kWindowGranule - 1) / kWindowGranule * kWindowGranule;
  uint64_t refused = 0;
  for (int attempt = 0; attempt < kWindowAttempts; ++attempt) {
    ReplyData reply;
    int memoryFd = -1;
    if (!AskForWindow(size, refused, &reply, &memoryFd)) return nullptr;
    if (reply.status < 0 || memoryFd < 0) {
      // The daemon has no window of that size to give: as a transfer too
      // large to lock on Windows.
      if (memoryFd >= 0) close(memoryFd);
      SetLastError(ERROR_NO_SYSTEM_RESOURCES);
      return nullptr;
    }
    void *at = reinterpret_cast<void *>(reply.value);
    void *p = mmap(at, reply.information, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED_NOREPLACE,
                   memoryFd, 0);
    close(memoryFd);
    if (p == at) {
      window_ = static_cast<uint8_t *>(p);
      windowSize_ = reply.information;
      return window_;
    }
    // Something of this process's own lies there (an old host kernel takes
    // the address as a hint and maps elsewhere): ask for another place.
    if (p != MAP_FAILED) munmap(p, reply.information);
    refused = reply.value;
  }
  SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  return nullptr;
}

void Connection::TrimWindow() {
  if (windowSize_ <= kKeptWindowBytes) return;
  DWORD error = GetLastError();  // the request's outcome stays the caller's
  UnmapWindow();
  ReplyData reply;
  AskForWindow(0, 0, &reply, nullptr);
  SetLastError(error);
}

bool Connection::QueueFrame(const uint8_t *frame, size_t length) {
  wire::FrameHeader header;
  if (length < sizeof header) return false;
  memcpy(&header, frame, sizeof header);
  if (header.op == static_cast<uint32_t>(wire::Op::Apc) && length == sizeof(wire::ApcFrame)) {
    wire::ApcFrame apc;
    memcpy(&apc, frame, sizeof apc);
    pending_.push_back(apc);
    return true;
  }
  if (header.op == static_cast<uint32_t>(wire::Op::Message) && length >= sizeof(wire::MessageFrame)) {
    wire::MessageFrame message;
    memcpy(&message, frame, sizeof message);
    if (length != sizeof message + message.head.dataBytes) return false;
    messages_.emplace_back(frame, frame + length);
    return true;
  }
  return false;
}

bool Connection::WaitForFrame(int ms) {
  const uint8_t *frame;
  size_t length;
  if (!ReceiveFrame(&frame, &length, ms, nullptr)) return false;
  return QueueFrame(frame, length);
}

size_t RunPendingApcs() {
  if (!tConnection) return 0;
  size_t ran = 0;
  // An APC routine may make calls that end the thread's connection (the
  // system went away under it): the queue went with it.
  while (tConnection && !tConnection->Pending().empty()) {
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
  while (tConnection->WaitForFrame(0)) {
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
