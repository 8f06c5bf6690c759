// A connection's sending side: frames with an optional descriptor, and the
// thread that sends user-mode APCs.
#include "platform/daemon/server_internal.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bw {

Server::Process::~Process() {
  process.reset();
  if (memory) munmap(memory, kUserMemorySize);
  if (memoryFd >= 0) close(memoryFd);
}

bool Server::Connection::Send(const void *data, size_t length, int passFd) {
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

void Server::Connection::QueueApc(const wire::ApcFrame &frame) {
  std::lock_guard<std::mutex> guard(apcLock);
  if (closing) return;
  // A thread that never waits alertably cannot hold the daemon's memory
  // hostage: beyond the limit the oldest calls are dropped.
  if (apcs.size() >= kMaxPendingApcs) apcs.pop_front();
  apcs.push_back(frame);
  if (!apcSender.joinable()) apcSender = std::thread([this] { SendApcs(); });
  apcReady.notify_one();
}

bool Server::Connection::QueueMessage(std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> guard(apcLock);
  if (closing) return true;  // the thread is ending: as if it had been told
  if (messages.size() >= kMaxPendingMessages) return false;
  messages.push_back(std::move(frame));
  if (!apcSender.joinable()) apcSender = std::thread([this] { SendApcs(); });
  apcReady.notify_one();
  return true;
}

void Server::Connection::SendApcs() {
  std::unique_lock<std::mutex> guard(apcLock);
  for (;;) {
    apcReady.wait(guard, [this] { return closing || !apcs.empty() || !messages.empty(); });
    if (closing) return;
    bool sent;
    if (!apcs.empty()) {
      wire::ApcFrame frame = apcs.front();
      apcs.pop_front();
      guard.unlock();
      sent = Send(&frame, sizeof frame);
    } else {
      std::vector<uint8_t> frame = std::move(messages.front());
      messages.pop_front();
      guard.unlock();
      sent = Send(frame.data(), frame.size());
    }
    guard.lock();
    if (!sent) return;  // the connection is gone
  }
}

void Server::Connection::StopApcs() {
  {
    std::lock_guard<std::mutex> guard(apcLock);
    closing = true;
    apcReady.notify_all();
  }
  shutdown(fd, SHUT_RDWR);  // wakes a sender blocked on a full socket
  if (apcSender.joinable()) apcSender.join();
}

bool Server::Session::Reply(int32_t status, uint64_t information, uint64_t value) {
  wire::Reply r{{wire::kMagic, static_cast<uint32_t>(wire::Op::Reply)}, status, information, value};
  return connection->Send(&r, sizeof r);
}

bool Server::Session::BufferInWindow(uint64_t address, uint64_t length, PVOID *buffer) const {
  if (length == 0) {
    *buffer = nullptr;
    return true;
  }
  auto start = reinterpret_cast<uint64_t>(window.address);
  if (!window.address || address < start || address - start > window.size ||
      length > window.size - (address - start))
    return false;
  *buffer = reinterpret_cast<PVOID>(address);
  return true;
}

void TransferWindow::Release() {
  if (address) {
    ForgetUserBuffers(address, size);
    munmap(address, size);
  }
  address = nullptr;
  size = 0;
}

}  // namespace bw
