// The window-message service: the windows of every client thread, posted
// messages routed to the owning thread's connection, and broadcasts to the
// top-level windows of every process. Windows' own window manager keeps
// far more (positions, focus, sent messages); programs here only need to
// be told of things.
#include "platform/daemon/server_internal.h"

namespace bw {

namespace {

// A thread's queue is full (ERROR_NOT_ENOUGH_QUOTA for the poster).
constexpr NTSTATUS kStatusQuotaExceeded = static_cast<NTSTATUS>(0xC0000044);

// A message frame as the owner's connection sends it: the head, then the
// bytes the lParam pointed at.
std::vector<uint8_t> MessageFrameOf(const wire::MessageHead &head, const uint8_t *data) {
  std::vector<uint8_t> frame(sizeof(wire::MessageFrame) + head.dataBytes);
  wire::MessageFrame message{{wire::kMagic, static_cast<uint32_t>(wire::Op::Message)}, head};
  memcpy(frame.data(), &message, sizeof message);
  if (head.dataBytes) memcpy(frame.data() + sizeof message, data, head.dataBytes);
  return frame;
}

// A request with a message head and its data behind it.
template <class Request>
bool TakeMessage(const uint8_t *bytes, size_t length, Request *request, const uint8_t **data) {
  if (length < sizeof(Request)) return false;
  memcpy(request, bytes, sizeof(Request));
  if (request->head.dataBytes > wire::kMaxMessageData ||
      length != sizeof(Request) + request->head.dataBytes)
    return false;
  *data = bytes + sizeof(Request);
  return true;
}

}  // namespace

bool Server::ServeCreateWindow(Session &session, const Frame &frame) {
  wire::CreateWindowRequest request;
  if (!frame.Exactly(&request)) return false;
  // A message-only window is never top-level.
  uint32_t flags = request.flags & (wire::kWindowTopLevel | wire::kWindowMessageOnly);
  if (flags & wire::kWindowMessageOnly) flags &= ~wire::kWindowTopLevel;
  std::lock_guard<std::mutex> guard(windowLock_);
  // Handles are small even numbers, never 0, HWND_BROADCAST (0xFFFF) or
  // HWND_MESSAGE: step over those.
  uint64_t window;
  do {
    lastWindow_ += 2;
    if (lastWindow_ >= 0x7FFFFFF0) lastWindow_ = 0x10000;
    window = lastWindow_;
  } while (windows_.count(window) || window == 0xFFFF);
  windows_[window] = WindowEntry{session.pid, session.thread->Tid(), flags, session.connection};
  return session.Reply(STATUS_SUCCESS, 0, window);
}

bool Server::ServeDestroyWindow(Session &session, const Frame &frame) {
  wire::DestroyWindowRequest request;
  if (!frame.Exactly(&request)) return false;
  std::lock_guard<std::mutex> guard(windowLock_);
  auto it = windows_.find(request.window);
  if (it == windows_.end()) return session.Reply(STATUS_INVALID_HANDLE);
  // Only the thread that made a window destroys it.
  if (it->second.pid != session.pid || it->second.tid != session.thread->Tid())
    return session.Reply(STATUS_ACCESS_DENIED);
  windows_.erase(it);
  return session.Reply(STATUS_SUCCESS);
}

bool Server::ServePostMessage(Session &session, const Frame &frame) {
  wire::PostMessageRequest request;
  const uint8_t *data;
  if (!TakeMessage(frame.data, frame.length, &request, &data)) return false;
  std::shared_ptr<Connection> owner;
  {
    std::lock_guard<std::mutex> guard(windowLock_);
    auto it = windows_.find(request.head.window);
    if (it != windows_.end()) owner = it->second.owner.lock();
  }
  if (!owner) return session.Reply(STATUS_INVALID_HANDLE);
  if (!owner->QueueMessage(MessageFrameOf(request.head, data)))
    return session.Reply(kStatusQuotaExceeded);
  return session.Reply(STATUS_SUCCESS);
}

bool Server::ServeBroadcast(Session &session, const Frame &frame) {
  wire::BroadcastRequest request;
  const uint8_t *data;
  if (!TakeMessage(frame.data, frame.length, &request, &data)) return false;
  std::vector<std::pair<uint64_t, std::shared_ptr<Connection>>> targets;
  {
    std::lock_guard<std::mutex> guard(windowLock_);
    for (auto &[window, entry] : windows_) {
      if (!(entry.flags & wire::kWindowTopLevel)) continue;
      if ((request.flags & wire::kBroadcastSkipCaller) && entry.pid == session.pid) continue;
      if (auto owner = entry.owner.lock()) targets.emplace_back(window, owner);
    }
  }
  // Each window gets its own copy, addressed to it; a full queue misses
  // this one message, as a hung application would.
  uint64_t reached = 0;
  for (auto &[window, owner] : targets) {
    wire::MessageHead head = request.head;
    head.window = window;
    if (owner->QueueMessage(MessageFrameOf(head, data))) ++reached;
  }
  return session.Reply(STATUS_SUCCESS, reached);
}

void Server::ForgetWindows(uint32_t pid, uint32_t tid) {
  std::lock_guard<std::mutex> guard(windowLock_);
  for (auto it = windows_.begin(); it != windows_.end();)
    it = it->second.pid == pid && it->second.tid == tid ? windows_.erase(it) : std::next(it);
}

}  // namespace bw
