// The window-message service: the windows of every client thread, posted
// messages routed to the owning thread's connection, and broadcasts to the
// top-level windows of every process. Windows' own window manager keeps
// far more (positions, focus, sent messages); programs here only need to
// be told of things.
#include "platform/daemon/server_internal.h"

#include <chrono>

namespace bw {

namespace {

// A thread's queue is full (ERROR_NOT_ENOUGH_QUOTA for the poster).
constexpr NTSTATUS kStatusQuotaExceeded = static_cast<NTSTATUS>(0xC0000044);

// The messages of a session's end, as user32 numbers them.
constexpr uint32_t kQueryEndSession = 0x0011;  // WM_QUERYENDSESSION
constexpr uint32_t kEndSession = 0x0016;       // WM_ENDSESSION
constexpr uint64_t kEndSessionLogoff = 0x80000000;  // ENDSESSION_LOGOFF
// How long the windows have to answer: a window that does not answer the
// question in time is taken as hung and as agreeing; the end itself gets
// longer, since programs save their work there.
constexpr auto kQueryWait = std::chrono::seconds(5);
constexpr auto kEndWait = std::chrono::seconds(60);

uint64_t PackLuid(LUID id) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(id.HighPart)) << 32) | id.LowPart;
}

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
  windows_[window] = WindowEntry{session.pid, session.thread->Tid(), flags,
                                 PackLuid(session.process->process->LogonId()), session.connection};
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
  request.head.answerId = 0;  // only the system sends
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
    head.answerId = 0;
    if (owner->QueueMessage(MessageFrameOf(head, data))) ++reached;
  }
  return session.Reply(STATUS_SUCCESS, reached);
}

bool Server::ServeAnswerMessage(Session &session, const Frame &frame) {
  wire::AnswerMessageRequest request;
  if (!frame.Exactly(&request)) return false;
  std::lock_guard<std::mutex> guard(windowLock_);
  auto it = answers_.find(request.answerId);
  if (it == answers_.end() || it->second.answered) return session.Reply(STATUS_INVALID_PARAMETER);
  if (it->second.pid != session.pid || it->second.tid != session.thread->Tid())
    return session.Reply(STATUS_ACCESS_DENIED);
  it->second.answered = true;
  it->second.result = request.result;
  answered_.notify_all();
  return session.Reply(STATUS_SUCCESS);
}

void Server::EndSessionRound(uint64_t logonId, uint32_t callerPid, uint32_t callerTid) {
  struct Target {
    uint64_t window;
    std::shared_ptr<Connection> owner;
    uint32_t pid;
    uint32_t tid;
  };
  std::vector<Target> targets;
  {
    std::lock_guard<std::mutex> guard(windowLock_);
    for (auto &[window, entry] : windows_) {
      if (!(entry.flags & wire::kWindowTopLevel)) continue;
      if (logonId && entry.logonId != logonId) continue;
      if (entry.pid == callerPid && entry.tid == callerTid) continue;
      if (auto owner = entry.owner.lock()) targets.push_back({window, owner, entry.pid, entry.tid});
    }
  }
  if (targets.empty()) return;
  uint64_t lParam = logonId ? kEndSessionLogoff : 0;

  // Sends one message to every target and waits until each has answered,
  // its thread has gone, or the time is up.
  auto sendToAll = [&](uint32_t message, uint64_t wParam, std::chrono::seconds wait) {
    std::vector<uint64_t> ids(targets.size(), 0);
    {
      // A window gone since the round began is not waited for; one that goes
      // from now on is forgotten with its pending answer (ForgetWindows).
      std::lock_guard<std::mutex> guard(windowLock_);
      for (size_t i = 0; i < targets.size(); ++i) {
        ids[i] = ++lastAnswer_;
        answers_[ids[i]] = PendingAnswer{targets[i].pid, targets[i].tid, windows_.count(targets[i].window) == 0, 0};
      }
    }
    for (size_t i = 0; i < targets.size(); ++i) {
      {
        std::lock_guard<std::mutex> guard(windowLock_);
        if (answers_[ids[i]].answered) continue;
      }
      wire::MessageHead head{targets[i].window, message, wParam, lParam, 0, ids[i]};
      // A full queue cannot take it: that window is hung.
      if (!targets[i].owner->QueueMessage(MessageFrameOf(head, nullptr))) {
        std::lock_guard<std::mutex> guard(windowLock_);
        answers_[ids[i]].answered = true;
      }
    }
    std::unique_lock<std::mutex> guard(windowLock_);
    answered_.wait_until(guard, std::chrono::steady_clock::now() + wait, [&] {
      for (uint64_t id : ids)
        if (!answers_[id].answered) return false;
      return true;
    });
    for (uint64_t id : ids) answers_.erase(id);
  };
  // The session ends whatever a window answers to the question: whoever
  // ended it has decided, as a forced logoff or shutdown does on Windows.
  sendToAll(kQueryEndSession, 0, kQueryWait);
  sendToAll(kEndSession, 1, kEndWait);
}

void Server::ForgetWindows(uint32_t pid, uint32_t tid) {
  std::lock_guard<std::mutex> guard(windowLock_);
  for (auto it = windows_.begin(); it != windows_.end();)
    it = it->second.pid == pid && it->second.tid == tid ? windows_.erase(it) : std::next(it);
  // A thread that is gone answers nothing more: nobody waits for it.
  bool gone = false;
  for (auto &[id, pending] : answers_) {
    if (pending.pid != pid || pending.tid != tid || pending.answered) continue;
    pending.answered = true;
    gone = true;
  }
  if (gone) answered_.notify_all();
}

}  // namespace bw
