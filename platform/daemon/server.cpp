// The listening socket, one thread per connection, client processes coming
// and going, and the stop that ends every connection.
#include "platform/daemon/server.h"

#include "platform/daemon/server_internal.h"
#include "platform/daemon/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace bw {

namespace {

constexpr size_t kRecvBuffer = wire::kMaxFrame + 4096;

// Supplementary groups of a host process, from /proc.
std::vector<uint32_t> HostGroups(uint32_t pid) {
  std::vector<uint32_t> groups;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Groups:", 0) == 0) {
      std::istringstream in(line.substr(7));
      uint32_t g;
      while (in >> g) groups.push_back(g);
    }
  }
  return groups;
}

// The parent of a host process, from /proc (0 when it cannot be read).
uint32_t HostParent(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');  // the command name may hold anything, ')' too
  if (end == std::string::npos) return 0;
  std::istringstream rest(text.substr(end + 1));
  char state = 0;
  uint32_t parent = 0;
  rest >> state >> parent;
  return parent;
}

}  // namespace

bool Server::Listen(const std::string &socketPath, std::string *error) {
  socketPath_ = socketPath;
  std::random_device random;
  bootId_ = (uint64_t{random()} << 32) | random();
  if (pipe2(wakeFd_, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof(address.sun_path)) {
    *error = "socket path too long: " + socketPath;
    return false;
  }
  strcpy(address.sun_path, socketPath.c_str());
  unlink(socketPath.c_str());  // a stale socket of an earlier run (the root lock is ours)
  if (bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(listenFd_, 64) != 0) {
    *error = "cannot listen on " + socketPath + ": " + strerror(errno);
    return false;
  }
  chmod(socketPath.c_str(), 0666);  // the kernel's own checks decide who may do what
  return true;
}

void Server::Stop() {
  // Under the lock: Join closes the wake pipe, and a late stop must not
  // write into a descriptor number that has been reused since.
  std::lock_guard<std::mutex> guard(lock_);
  stopping_ = true;
  if (wakeFd_[1] >= 0) {
    char c = 1;
    (void)!write(wakeFd_[1], &c, 1);
  }
  for (auto &c : connections_) shutdown(c->fd, SHUT_RDWR);
}

void Server::Run() {
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (fds[0].revents & POLLIN) Accept();
  }
  close(listenFd_);
  listenFd_ = -1;
  unlink(socketPath_.c_str());
}

void Server::Accept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  auto connection = std::make_shared<Connection>();
  connection->fd = fd;
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_) {
    close(fd);
    return;
  }
  connections_.push_back(connection);
  ++activeThreads_;
  std::thread([this, connection] {
    Serve(connection);
    std::lock_guard<std::mutex> done(lock_);
    if (--activeThreads_ == 0) idle_.notify_all();
  }).detach();
}

void Server::Join() {
  std::unique_lock<std::mutex> guard(lock_);
  idle_.wait(guard, [this] { return activeThreads_ == 0; });
  processes_.clear();
  for (int &fd : wakeFd_)
    if (fd >= 0) close(fd), fd = -1;
}

std::shared_ptr<Server::Process> Server::AttachProcess(uint32_t pid, uint32_t uid, uint32_t gid,
                                                       bool wow64, const std::string &imageName,
                                                       uint64_t logonId, int32_t *status) {
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(lock_);
      auto it = processes_.find(pid);
      if (it == processes_.end()) {
        auto entry = std::make_shared<Process>();
        entry->logonId = logonId;
        entry->connections = 1;
        processes_[pid] = entry;
        guard.unlock();
        return CreateProcessFor(pid, uid, gid, wow64, imageName, logonId, status);
      }
      std::shared_ptr<Process> entry = it->second;
      // Another thread of the process is creating it: this connection's
      // first request waits for the creation, as the process would.
      processReady_.wait(guard, [&] { return entry->ready || entry->failed; });
      auto now = processes_.find(pid);
      if (!entry->failed && now != processes_.end() && now->second == entry) {
        if (entry->process->IsWow64() != wow64) {
          *status = STATUS_ACCESS_DENIED;  // the process changed its bitness
          return nullptr;
        }
        if (entry->logonId != logonId) {
          *status = STATUS_ACCESS_DENIED;  // one process, one logon session
          return nullptr;
        }
        entry->connections++;
        return entry;
      }
    }
    // It failed or ended meanwhile: start over.
  }
}

std::shared_ptr<Server::Process> Server::CreateProcessFor(uint32_t pid, uint32_t uid, uint32_t gid,
                                                          bool wow64, const std::string &imageName,
                                                          uint64_t logonId, int32_t *status) {
  std::shared_ptr<Process> entry;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entry = processes_[pid];
  }
  auto fail = [&](NTSTATUS why) -> std::shared_ptr<Process> {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = processes_.find(pid);
    if (it != processes_.end() && it->second == entry) processes_.erase(it);
    entry->failed = true;
    processReady_.notify_all();
    *status = why;
    return nullptr;
  };
  LUID logon{static_cast<ULONG>(logonId), static_cast<LONG>(logonId >> 32)};
  if (logonId) {
    // Only a live session of the peer's own user.
    uint32_t owner = 0;
    if (!LogonSessionOwner(logon, &owner)) return fail(STATUS_NO_SUCH_LOGON_SESSION);
    if (owner != uid) return fail(STATUS_ACCESS_DENIED);
  }
  entry->memoryFd = memfd_create("brimwell-user-memory", MFD_CLOEXEC);
  if (entry->memoryFd < 0 || ftruncate(entry->memoryFd, kUserMemorySize) != 0)
    return fail(STATUS_INSUFFICIENT_RESOURCES);
  // Below 2 GiB so that a 32-bit process can address it.
  entry->memory = mmap(nullptr, kUserMemorySize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_32BIT,
                       entry->memoryFd, 0);
  if (entry->memory == MAP_FAILED) {
    entry->memory = nullptr;
    return fail(STATUS_INSUFFICIENT_RESOURCES);
  }
  ProcessOptions options;
  options.pid = pid;
  options.parentPid = HostParent(pid);
  options.uid = uid;
  options.gid = gid;
  options.groups = HostGroups(pid);
  options.wow64 = wow64;
  options.imageName = imageName;
  options.logonId = logon;
  // The process-creation routines run in here.
  entry->process = CreateUserProcess(options, entry->memory, kUserMemorySize);
  if (!entry->process)
    return fail(logonId ? STATUS_NO_SUCH_LOGON_SESSION : STATUS_INSUFFICIENT_RESOURCES);
  std::lock_guard<std::mutex> guard(lock_);
  entry->ready = true;
  processReady_.notify_all();
  return entry;
}

void Server::DetachProcess(uint32_t pid) {
  std::shared_ptr<Process> ended;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = processes_.find(pid);
    if (it == processes_.end()) return;
    if (--it->second->connections > 0) return;
    ended = it->second;
    processes_.erase(it);
  }
  ended->process->Terminate();
  // Its service handles close with it.
  ServiceManager::Instance().ProcessEnded(pid);
}

namespace {

// How long a connection's thread looks for the next request before it
// sleeps. A client thread that issues requests one after another sends the
// next within microseconds of its reply; catching it awake saves a sleep
// and a wake-up on each side, which cost more than the request itself here.
// After a transfer the client first copies the bytes (out of the window, and
// in for the next one): the look lasts longer by the transfer's size, up to
// a bound.
constexpr auto kAwaitNextRequest = std::chrono::microseconds(20);
constexpr uint64_t kAwaitMicrosecondsPerMiB = 150;
constexpr auto kAwaitLongest = std::chrono::microseconds(250);

std::chrono::microseconds AwaitAfter(uint64_t lastBytes) {
  auto wait = kAwaitNextRequest + std::chrono::microseconds((std::min<uint64_t>(lastBytes, 64 << 20) *
                                                             kAwaitMicrosecondsPerMiB) >> 20);
  return std::min(wait, kAwaitLongest);
}

// The next frame of `fd`, looked for briefly before blocking; 0 when the
// peer hung up, negative on an error. The look yields the processor between
// tries: the host tends to wake the client on the processor of the thread
// that answered it, and a look that held on to it would keep the client
// from running until the look ends.
ssize_t ReceiveRequest(int fd, uint8_t *buffer, size_t size, uint64_t lastBytes) {
  ssize_t n;
  auto until = std::chrono::steady_clock::now() + AwaitAfter(lastBytes);
  for (;;) {
    n = recv(fd, buffer, size, MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
    if (std::chrono::steady_clock::now() >= until) break;
    sched_yield();
  }
  do {
    n = recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

void Server::Serve(std::shared_ptr<Connection> connection) {
  std::vector<uint8_t> buffer(kRecvBuffer);
  Session session;
  session.connection = connection;
  for (;;) {
    ssize_t n = ReceiveRequest(connection->fd, buffer.data(), buffer.size(), session.lastBytes);
    session.lastBytes = 0;
    if (n <= 0) break;
    Frame frame{buffer.data(), static_cast<size_t>(n), wire::Op{}};
    if (frame.length < sizeof(wire::FrameHeader)) break;
    wire::FrameHeader header;
    memcpy(&header, frame.data, sizeof header);
    if (header.magic != wire::kMagic) break;
    frame.op = static_cast<wire::Op>(header.op);
    // The first frame must introduce the thread.
    if (!(session.thread ? Dispatch(session, frame) : Greet(session, frame))) break;
  }
  EndSession(session);
}

void Server::EndSession(Session &session) {
  // The client thread is gone (or misbehaved): its kernel thread ends, and
  // with the process's last connection the process ends too.
  std::shared_ptr<Connection> connection = session.connection;
  connection->StopApcs();
  if (session.thread) {
    ForgetWindows(session.pid, session.thread->Tid());
    session.thread->SetApcSink(nullptr);
    session.thread->Terminate();
    std::lock_guard<std::mutex> guard(lock_);
    if (session.process) session.process->threads.erase(session.thread->Tid());
  }
  session.thread.reset();
  session.window.Release();
  for (TransferWindow &refused : session.refused) refused.Release();
  if (session.process) {
    session.process.reset();
    DetachProcess(session.pid);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
      if (*it == connection) {
        connections_.erase(it);
        break;
      }
  }
  close(connection->fd);
}

}  // namespace bw
