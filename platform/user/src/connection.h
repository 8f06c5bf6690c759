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

struct ReplyData {
  NTSTATUS status = 0;
  uint64_t information = 0;
  uint64_t value = 0;
  std::vector<uint8_t> output;
};

// The calling thread's connection, made on first use. Returns null with
// the last error set when the daemon cannot be reached.
class Connection;
Connection *ThreadConnection();

class Connection {
 public:
  ~Connection();
  // Sends one request frame and waits for its reply; APCs that arrive in
  // between are queued for the thread's next alertable wait. False when the
  // connection broke (last error set).
  bool Call(const void *frame, size_t length, ReplyData *reply);
  // Waits up to `ms` for an APC frame and queues what arrives; -1 waits forever.
  bool WaitForApc(int ms);
  std::deque<wire::ApcFrame> &Pending() { return pending_; }
  int Fd() const { return fd_; }
  bool Broken() const { return broken_; }
  // Whether the daemon hung up or the connection belongs to another process.
  bool Stale();

 private:
  friend Connection *ThreadConnection();
  bool Open();
  bool ReceiveFrame(std::vector<uint8_t> *frame, int timeoutMs);
  std::unique_ptr<uint8_t[]> buffer_;  // one receive buffer, allocated once
  int fd_ = -1;
  pid_t pid_ = 0;  // the process that opened it (a forked child must not use it)
  bool broken_ = false;
  std::deque<wire::ApcFrame> pending_;
};

// Process-wide state.
bool ProcessIsWow64();
// Runs the queued APCs of the calling thread; returns how many ran.
size_t RunPendingApcs();

}  // namespace bw::user
