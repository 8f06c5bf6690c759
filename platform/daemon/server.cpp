#include "platform/daemon/server.h"

#include "bw/user_session.h"
#include "platform/transport/wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

namespace bw {

namespace {

constexpr size_t kUserMemorySize = 1 << 20;
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

}  // namespace

struct Server::Process {
  std::shared_ptr<UserProcess> process;
  int memoryFd = -1;
  void *memory = nullptr;
  size_t connections = 0;
  std::map<uint32_t, std::weak_ptr<UserThread>> threads;
  ~Process() {
    process.reset();
    if (memory) munmap(memory, kUserMemorySize);
    if (memoryFd >= 0) close(memoryFd);
  }
};

struct Server::Connection {
  int fd = -1;
  std::mutex sendLock;  // replies and APCs may be sent from different threads
  bool Send(const void *data, size_t length, int passFd = -1) {
    std::lock_guard<std::mutex> guard(sendLock);
    iovec iov{const_cast<void *>(data), length};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    char control[CMSG_SPACE(sizeof(int))];
    if (passFd >= 0) {
      memset(control, 0, sizeof control);
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
      cmsg->cmsg_level = SOL_SOCKET;
      cmsg->cmsg_type = SCM_RIGHTS;
      cmsg->cmsg_len = CMSG_LEN(sizeof(int));
      memcpy(CMSG_DATA(cmsg), &passFd, sizeof(int));
    }
    return sendmsg(fd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
  }

  // APCs are queued here and sent by their own thread: the kernel queues
  // them with the engine's locks held, and a client that does not read its
  // socket must not stall the engine for everybody.
  static constexpr size_t kMaxPendingApcs = 100000;
  std::mutex apcLock;
  std::condition_variable apcReady;
  std::deque<wire::ApcFrame> apcs;
  bool closing = false;
  std::thread apcSender;

  void QueueApc(const wire::ApcFrame &frame) {
    std::lock_guard<std::mutex> guard(apcLock);
    if (closing) return;
    // A thread that never waits alertably cannot hold the daemon's memory
    // hostage: beyond the limit the oldest calls are dropped.
    if (apcs.size() >= kMaxPendingApcs) apcs.pop_front();
    apcs.push_back(frame);
    if (!apcSender.joinable()) apcSender = std::thread([this] { SendApcs(); });
    apcReady.notify_one();
  }

  void SendApcs() {
    std::unique_lock<std::mutex> guard(apcLock);
    for (;;) {
      apcReady.wait(guard, [this] { return closing || !apcs.empty(); });
      if (closing) return;
      wire::ApcFrame frame = apcs.front();
      apcs.pop_front();
      guard.unlock();
      bool sent = Send(&frame, sizeof frame);
      guard.lock();
      if (!sent) return;  // the connection is gone
    }
  }

  void StopApcs() {
    {
      std::lock_guard<std::mutex> guard(apcLock);
      closing = true;
      apcReady.notify_all();
    }
    shutdown(fd, SHUT_RDWR);  // wakes a sender blocked on a full socket
    if (apcSender.joinable()) apcSender.join();
  }
};

bool Server::Listen(const std::string &socketPath, std::string *error) {
  socketPath_ = socketPath;
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
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto connection = std::make_shared<Connection>();
    connection->fd = fd;
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) {
      close(fd);
      break;
    }
    connections_.push_back(connection);
    ++activeThreads_;
    std::thread([this, connection] {
      Serve(connection);
      std::lock_guard<std::mutex> done(lock_);
      if (--activeThreads_ == 0) idle_.notify_all();
    }).detach();
  }
  close(listenFd_);
  listenFd_ = -1;
  unlink(socketPath_.c_str());
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
                                                       std::string *error) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = processes_.find(pid);
  if (it != processes_.end()) {
    if (it->second->process->IsWow64() != wow64) {
      *error = "the process changed its bitness";
      return nullptr;
    }
    it->second->connections++;
    return it->second;
  }
  auto entry = std::make_shared<Process>();
  entry->memoryFd = memfd_create("brimwell-user-memory", MFD_CLOEXEC);
  if (entry->memoryFd < 0 || ftruncate(entry->memoryFd, kUserMemorySize) != 0) {
    *error = "cannot create the process's shared memory";
    return nullptr;
  }
  // Below 2 GiB so that a 32-bit process can address it.
  entry->memory = mmap(nullptr, kUserMemorySize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_32BIT,
                       entry->memoryFd, 0);
  if (entry->memory == MAP_FAILED) {
    entry->memory = nullptr;
    *error = "cannot map the process's shared memory";
    return nullptr;
  }
  ProcessOptions options;
  options.pid = pid;
  options.uid = uid;
  options.gid = gid;
  options.groups = HostGroups(pid);
  options.wow64 = wow64;
  options.imageName = imageName;
  entry->process = CreateUserProcess(options, entry->memory, kUserMemorySize);
  if (!entry->process) {
    *error = "the kernel refused the process";
    return nullptr;
  }
  entry->connections = 1;
  processes_[pid] = entry;
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
}

void Server::Serve(std::shared_ptr<Connection> connection) {
  std::vector<uint8_t> buffer(kRecvBuffer);
  std::shared_ptr<Process> process;
  std::shared_ptr<UserThread> thread;
  uint32_t pid = 0;

  auto reply = [&](int32_t status, uint64_t information, uint64_t value, const void *output,
                   uint32_t outputLength) {
    std::vector<uint8_t> frame(sizeof(wire::Reply) + outputLength);
    wire::Reply r{{wire::kMagic, static_cast<uint32_t>(wire::Op::Reply)},
                  status, information, value, outputLength};
    memcpy(frame.data(), &r, sizeof r);
    if (outputLength) memcpy(frame.data() + sizeof r, output, outputLength);
    return connection->Send(frame.data(), frame.size());
  };

  for (;;) {
    ssize_t n = recv(connection->fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    size_t length = static_cast<size_t>(n);
    if (length < sizeof(wire::FrameHeader)) break;
    wire::FrameHeader header;
    memcpy(&header, buffer.data(), sizeof header);
    if (header.magic != wire::kMagic) break;
    auto op = static_cast<wire::Op>(header.op);

    if (!thread) {
      // The first frame must introduce the thread.
      if (op != wire::Op::Hello || length != sizeof(wire::HelloRequest)) break;
      wire::HelloRequest hello;
      memcpy(&hello, buffer.data(), sizeof hello);
      ucred cred{};
      socklen_t credLength = sizeof cred;
      if (getsockopt(connection->fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLength) != 0) break;
      wire::HelloReply answer{{wire::kMagic, static_cast<uint32_t>(wire::Op::Reply)}, 0, 0, 0};
      std::string error;
      if (hello.version != wire::kVersion || hello.pid != static_cast<uint32_t>(cred.pid)) {
        answer.status = static_cast<int32_t>(0xC0000022);  // STATUS_ACCESS_DENIED
        connection->Send(&answer, sizeof answer);
        break;
      }
      hello.imageName[15] = 0;
      process = AttachProcess(hello.pid, cred.uid, cred.gid, hello.wow64 != 0, hello.imageName,
                              &error);
      if (!process) {
        answer.status = static_cast<int32_t>(0xC000009A);  // STATUS_INSUFFICIENT_RESOURCES
        connection->Send(&answer, sizeof answer);
        break;
      }
      pid = hello.pid;
      thread = process->process->CreateThread(hello.tid);
      {
        std::lock_guard<std::mutex> guard(lock_);
        process->threads[hello.tid] = thread;
      }
      answer.userMemoryAddress = reinterpret_cast<uint64_t>(process->memory);
      answer.userMemorySize = kUserMemorySize;
      if (!connection->Send(&answer, sizeof answer, process->memoryFd)) break;
      std::weak_ptr<Connection> weak = connection;
      thread->SetApcSink([weak](const UserApc &apc) {
        auto c = weak.lock();
        if (!c) return;
        c->QueueApc(wire::ApcFrame{{wire::kMagic, static_cast<uint32_t>(wire::Op::Apc)},
                                   apc.routine, apc.normalContext, apc.systemArgument1,
                                   apc.systemArgument2});
      });
      continue;
    }

    UserProcess &user = *process->process;
    bool ok = true;
    switch (op) {
      case wire::Op::Create: {
        wire::CreateRequest request;
        if (length < sizeof request) {
          ok = false;
          break;
        }
        memcpy(&request, buffer.data(), sizeof request);
        if (request.pathBytes % 2 || request.pathBytes > wire::kMaxPathBytes ||
            length != sizeof request + request.pathBytes) {
          ok = false;
          break;
        }
        std::u16string path(request.pathBytes / 2, u'\0');
        memcpy(path.data(), buffer.data() + sizeof request, request.pathBytes);
        HANDLE handle = nullptr;
        NTSTATUS status = user.CreateFile(*thread, path, request.access, request.shareAccess,
                                          request.disposition, request.options, &handle);
        ok = reply(status, 0, reinterpret_cast<uint64_t>(handle), nullptr, 0);
        break;
      }
      case wire::Op::DeviceControl: {
        wire::DeviceControlRequest request;
        if (length < sizeof request) {
          ok = false;
          break;
        }
        memcpy(&request, buffer.data(), sizeof request);
        if (length != sizeof request + request.inputLength ||
            request.outputLength > wire::kMaxFrame) {
          ok = false;
          break;
        }
        IoResult result = user.DeviceIoControl(
            *thread, reinterpret_cast<HANDLE>(request.handle), request.code,
            request.inputLength ? buffer.data() + sizeof request : nullptr, request.inputLength,
            request.outputLength);
        ok = reply(result.status, result.information, 0, result.output.data(),
                   static_cast<uint32_t>(result.output.size()));
        break;
      }
      case wire::Op::Read: {
        wire::ReadRequest request;
        if (length != sizeof request) {
          ok = false;
          break;
        }
        memcpy(&request, buffer.data(), sizeof request);
        if (request.length > wire::kMaxFrame) {
          ok = false;
          break;
        }
        IoResult result =
            user.Read(*thread, reinterpret_cast<HANDLE>(request.handle), request.length,
                      request.offset);
        ok = reply(result.status, result.information, 0, result.output.data(),
                   static_cast<uint32_t>(result.output.size()));
        break;
      }
      case wire::Op::Write: {
        wire::WriteRequest request;
        if (length < sizeof request) {
          ok = false;
          break;
        }
        memcpy(&request, buffer.data(), sizeof request);
        if (length != sizeof request + request.length) {
          ok = false;
          break;
        }
        IoResult result = user.Write(*thread, reinterpret_cast<HANDLE>(request.handle),
                                     buffer.data() + sizeof request, request.length,
                                     request.offset);
        ok = reply(result.status, result.information, 0, nullptr, 0);
        break;
      }
      case wire::Op::Close: {
        wire::CloseRequest request;
        if (length != sizeof request) {
          ok = false;
          break;
        }
        memcpy(&request, buffer.data(), sizeof request);
        NTSTATUS status = user.Close(reinterpret_cast<HANDLE>(request.handle));
        ok = reply(status, 0, 0, nullptr, 0);
        break;
      }
      case wire::Op::OpenThread: {
        wire::OpenThreadRequest request;
        if (length != sizeof request) {
          ok = false;
          break;
        }
        memcpy(&request, buffer.data(), sizeof request);
        std::shared_ptr<UserThread> target;
        {
          std::lock_guard<std::mutex> guard(lock_);
          auto it = process->threads.find(request.tid);
          if (it != process->threads.end()) target = it->second.lock();
        }
        HANDLE handle = nullptr;
        NTSTATUS status = target ? user.OpenThreadHandle(*target, &handle)
                                 : static_cast<NTSTATUS>(0xC000000D);  // STATUS_INVALID_PARAMETER
        ok = reply(status, 0, reinterpret_cast<uint64_t>(handle), nullptr, 0);
        break;
      }
      default:
        ok = false;  // an unknown operation ends the connection
        break;
    }
    if (!ok) break;
  }

  // The client thread is gone (or misbehaved): its kernel thread ends, and
  // with the process's last connection the process ends too.
  connection->StopApcs();
  if (thread) {
    thread->SetApcSink(nullptr);
    thread->Terminate();
    std::lock_guard<std::mutex> guard(lock_);
    if (process) process->threads.erase(thread->Tid());
  }
  thread.reset();
  if (process) {
    process.reset();
    DetachProcess(pid);
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
