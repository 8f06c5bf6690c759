// What the server keeps per client process and per connection, shared by
// its source files.
#pragma once

#include "bw/user_session.h"
#include "platform/daemon/registry_handles.h"
#include "platform/daemon/server.h"
#include "platform/transport/wire.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

namespace bw {

constexpr size_t kUserMemorySize = 1 << 20;
// A transfer window holds one request's buffers; all windows share the
// daemon's low 2 GiB with the processes' blocks.
constexpr size_t kMaxWindowBytes = size_t(1) << 30;
constexpr size_t kMaxRefusedWindows = 4;

// A client process: its kernel process, the block of memory both share, and
// its threads that have connected.
struct Server::Process {
  std::shared_ptr<UserProcess> process;
  int memoryFd = -1;
  void *memory = nullptr;
  size_t connections = 0;
  uint64_t logonId = 0;  // as the hello named it (0: the user's default)
  bool ready = false;    // created; until then its other connections wait
  bool failed = false;
  std::map<uint32_t, std::weak_ptr<UserThread>> threads;
  RegistryHandles registry;  // the registry keys it holds open
  ~Process();
};

// One client thread's socket. Replies go out from the serving thread, APCs
// from a sender thread of their own.
struct Server::Connection {
  int fd = -1;
  std::mutex sendLock;  // replies and APCs may be sent from different threads
  // Sends one frame, with `passFd` as SCM_RIGHTS when not -1.
  bool Send(const void *data, size_t length, int passFd = -1);

  // APCs are queued here and sent by their own thread: the kernel queues
  // them with the engine's locks held, and a client that does not read its
  // socket must not stall the engine for everybody.
  static constexpr size_t kMaxPendingApcs = 100000;
  std::mutex apcLock;
  std::condition_variable apcReady;
  std::deque<wire::ApcFrame> apcs;
  bool closing = false;
  std::thread apcSender;

  // Posted window messages, sent by the same thread. A thread's queue
  // holds at most as many as Windows lets one hold.
  static constexpr size_t kMaxPendingMessages = 10000;
  std::deque<std::vector<uint8_t>> messages;

  void QueueApc(const wire::ApcFrame &frame);
  // False when the thread's queue is full.
  bool QueueMessage(std::vector<uint8_t> frame);
  void SendApcs();
  // Ends the sender; the socket is shut down so that a blocked send returns.
  void StopApcs();
};

// Memory a client thread shares with the daemon for the buffers of its
// requests, mapped at the same address in both, below 2 GiB so that a
// 32-bit process reaches it too.
struct TransferWindow {
  void *address = nullptr;
  size_t size = 0;
  void Release();
};

// A connection while it is served: who is on the other end, and the
// window its requests' buffers lie in.
struct Server::Session {
  std::shared_ptr<Connection> connection;
  std::shared_ptr<Process> process;
  std::shared_ptr<UserThread> thread;
  uint32_t pid = 0;
  uint32_t uid = 0;  // the peer's host user
  TransferWindow window;
  uint64_t lastBytes = 0;  // what the last read or write moved
  // Windows the client could not map where they lie, kept so that they are
  // not offered again; released with the session.
  std::vector<TransferWindow> refused;

  // The answer to the current request.
  bool Reply(int32_t status, uint64_t information = 0, uint64_t value = 0);
  // The window's memory for a request's buffer; false when the client named
  // memory outside it, which only a broken client does. A buffer of no
  // bytes is no memory at all.
  bool BufferInWindow(uint64_t address, uint64_t length, PVOID *buffer) const;
};

// The caller's token has the Administrators group enabled (a host user in
// sudo, wheel or admin, or root as LocalSystem).
bool TokenIsAdministrator(UserProcess &process);

// One received frame.
struct Server::Frame {
  const uint8_t *data;
  size_t length;
  wire::Op op;

  // The frame is exactly a T.
  template <class T>
  bool Exactly(T *out) const {
    if (length != sizeof(T)) return false;
    memcpy(out, data, sizeof(T));
    return true;
  }
  // The frame starts with a T; what follows is at TailAfter<T>().
  template <class T>
  bool StartsWith(T *out) const {
    if (length < sizeof(T)) return false;
    memcpy(out, data, sizeof(T));
    return true;
  }
  template <class T>
  const uint8_t *TailAfter() const {
    return data + sizeof(T);
  }
};

}  // namespace bw
