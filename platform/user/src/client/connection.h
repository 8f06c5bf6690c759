// Each thread's connection to ramvold, and what a process keeps of its
// relationship with the daemon.
#pragma once

#include <windows.h>

#include "platform/transport/wire.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace bw::user {

// The last error of a call whose connection to the system broke, and of a
// call on a handle of a system that has gone: for the caller the device
// vanished while open, which Windows reports as ERROR_DEVICE_REMOVED
// (STATUS_DEVICE_REMOVED, what a device that went away answers). Not
// ERROR_BROKEN_PIPE, which would speak of the transport rather than the
// device, nor ERROR_NOT_READY, which promises the device may come back: a
// handle of a system that ended never works again. Opening anew finds the
// next system, or none (ERROR_FILE_NOT_FOUND).
constexpr DWORD kSystemGoneError = ERROR_DEVICE_REMOVED;

struct ReplyData {
  NTSTATUS status = 0;
  uint64_t information = 0;
  uint64_t value = 0;
};

// The calling thread's connection, made on first use. Returns null with
// the last error set when the daemon cannot be reached.
class Connection;
Connection *ThreadConnection();
// The same for a request on a handle the daemon started as `bootId` gave:
// the thread's connection to that start is taken as it is, without asking
// the socket whether the daemon is still there (the request will tell).
Connection *ThreadConnectionFor(uint64_t bootId);

class Connection {
 public:
  ~Connection();
  // Sends one request frame and waits for its reply; APCs that arrive in
  // between are queued for the thread's next alertable wait. A descriptor
  // that comes with the reply goes to *receivedFd (and is closed when not
  // asked for). False, with the last error kSystemGoneError, when the
  // connection broke.
  bool Call(const void *frame, size_t length, ReplyData *reply, int *receivedFd = nullptr);
  // The next Call moves `bytes` through the window: its reply is looked
  // for longer before the thread sleeps.
  void ExpectBytes(size_t bytes) { expectedBytes_ = bytes; }
  // Waits up to `ms` for an APC or window-message frame and queues what
  // arrives; -1 waits forever. True when a frame came.
  bool WaitForFrame(int ms);
  std::deque<wire::ApcFrame> &Pending() { return pending_; }
  // Window messages posted to the thread's windows, as their frames
  // arrived (a MessageFrame and the message's data).
  std::deque<std::vector<uint8_t>> &Messages() { return messages_; }
  int Fd() const { return fd_; }
  bool Broken() const { return broken_; }
  // Whether the daemon hung up or the connection belongs to another process.
  bool Stale();
  // Which start of the daemon this connection reaches.
  uint64_t BootId() const { return bootId_; }

  // The transfer window: memory this thread shares with its thread in the
  // daemon, at the same address in both, where a request's buffers are put
  // for the kernel to describe. Grown to at least `bytes`; null with the
  // last error set when no window the client can map is to be had.
  uint8_t *Window(size_t bytes);
  // A window grown for one large request is given back once the request is
  // done, so that a thread does not keep its memory.
  void TrimWindow();

 private:
  friend Connection *ThreadConnection();
  friend Connection *ThreadConnectionFor(uint64_t bootId);
  bool Open();
  // The frame lies in buffer_ until the next receive.
  bool ReceiveFrame(const uint8_t **frame, size_t *length, int timeoutMs, int *receivedFd);
  bool AskForWindow(uint64_t size, uint64_t refused, ReplyData *reply, int *fd);
  void UnmapWindow();
  std::unique_ptr<uint8_t[]> buffer_;  // one receive buffer, allocated once
  int fd_ = -1;
  uint64_t forkGeneration_ = 0;  // a forked child must not use its parent's
  bool broken_ = false;
  uint64_t bootId_ = 0;
  uint8_t *window_ = nullptr;
  size_t windowSize_ = 0;
  std::deque<wire::ApcFrame> pending_;
  std::deque<std::vector<uint8_t>> messages_;
  // Takes an APC or message frame into its queue; false for anything else.
  bool QueueFrame(const uint8_t *frame, size_t length);
  size_t expectedBytes_ = 0;
};

// Process-wide state.
bool ProcessIsWow64();
// The logon session the environment names (0: the user's default); false
// when BRIMWELL_LOGON_SESSION holds no session id (logon_session.cpp).
bool LogonSessionOfProcess(uint64_t *id);
// Runs the queued APCs of the calling thread; returns how many ran.
size_t RunPendingApcs();

}  // namespace bw::user
