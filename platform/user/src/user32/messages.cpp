// The calling thread's message queue: messages posted to its windows
// arrive as frames on its connection to the daemon (which also wakes a
// thread waiting in GetMessageW), the quit request stays with the thread,
// and dispatching calls the window's procedure. Messages the system sends
// (the end of a session) never enter the queue: GetMessageW and
// PeekMessageW hand them to the procedure and return its answer.
#include "platform/user/src/user32/window_table.h"

#include "platform/user/src/client/connection.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>

using namespace bw;
using namespace bw::user;
using namespace bw::user32;

namespace {

struct Queued {
  MSG message;
  std::shared_ptr<std::vector<uint8_t>> data;  // what lParam points at, if anything
};

struct ThreadQueue {
  std::deque<Queued> messages;
  bool quit = false;
  int exitCode = 0;
  // The data of the message last taken: its lParam stays valid while the
  // thread handles it.
  std::shared_ptr<std::vector<uint8_t>> current;
};

thread_local ThreadQueue tQueue;
// Sent messages that arrived, waiting for the thread's next look at its queue.
thread_local std::deque<MSG> tSent;
thread_local std::deque<uint64_t> tSentIds;

constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS kStatusQuotaExceeded = static_cast<NTSTATUS>(0xC0000044);

DWORD Now() {
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
}

// Moves what the connection has received into the thread's queue.
void TakeArrived(Connection *connection) {
  auto &frames = connection->Messages();
  while (!frames.empty()) {
    std::vector<uint8_t> frame = std::move(frames.front());
    frames.pop_front();
    wire::MessageFrame head;
    memcpy(&head, frame.data(), sizeof head);
    if (head.head.answerId) {
      tSent.push_back(MSG{reinterpret_cast<HWND>(head.head.window), head.head.message,
                          static_cast<WPARAM>(head.head.wParam), static_cast<LPARAM>(head.head.lParam),
                          Now(), {}, 0});
      tSentIds.push_back(head.head.answerId);
      continue;
    }
    Queued queued{};
    queued.message.hwnd = reinterpret_cast<HWND>(head.head.window);
    queued.message.message = head.head.message;
    queued.message.wParam = static_cast<WPARAM>(head.head.wParam);
    queued.message.lParam = static_cast<LPARAM>(head.head.lParam);
    queued.message.time = Now();
    if (head.head.dataBytes) {
      queued.data = std::make_shared<std::vector<uint8_t>>(frame.begin() + sizeof head, frame.end());
      queued.message.lParam = reinterpret_cast<LPARAM>(queued.data->data());
    }
    tQueue.messages.push_back(std::move(queued));
  }
}

// Calls the procedure for each sent message and answers the sender. A
// window that is gone answers 0.
void DeliverSent(Connection *connection) {
  while (!tSent.empty()) {
    MSG message = tSent.front();
    uint64_t id = tSentIds.front();
    tSent.pop_front();
    tSentIds.pop_front();
    WindowInfo info;
    LRESULT result = 0;
    if (LookUpWindow(message.hwnd, &info) && info.thread == GetCurrentThreadId())
      result = info.procedure(message.hwnd, message.message, message.wParam, message.lParam);
    wire::AnswerMessageRequest answer{{wire::kMagic, static_cast<uint32_t>(wire::Op::AnswerMessage)}, id,
                                      static_cast<uint64_t>(result)};
    ReplyData reply;
    // The sender may have stopped waiting; nothing to do about that here.
    connection->Call(&answer, sizeof answer, &reply);
  }
}

// Takes in what has arrived and answers what was sent.
void TakeAndAnswer(Connection *connection) {
  // A procedure's own calls may bring more while it runs.
  do {
    TakeArrived(connection);
    DeliverSent(connection);
  } while (!connection->Messages().empty());
}

bool Matches(const MSG &message, HWND window, UINT first, UINT last) {
  if (window && message.hwnd != window) return false;
  if (first == 0 && last == 0) return true;
  return message.message >= first && message.message <= last;
}

// The first queued message that passes the filter; a quit request once no
// other is there. False when there is none yet.
bool Take(LPMSG out, HWND window, UINT first, UINT last, bool remove) {
  for (auto it = tQueue.messages.begin(); it != tQueue.messages.end(); ++it) {
    if (!Matches(it->message, window, first, last)) continue;
    *out = it->message;
    if (remove) {
      tQueue.current = it->data;
      tQueue.messages.erase(it);
    }
    return true;
  }
  if (tQueue.quit && (first == 0 || first <= WM_QUIT) && (last == 0 || last >= WM_QUIT)) {
    *out = MSG{};
    out->message = WM_QUIT;
    out->wParam = static_cast<WPARAM>(tQueue.exitCode);
    out->time = Now();
    if (remove) tQueue.quit = false;
    return true;
  }
  return false;
}

// A window filter must name a window of the calling thread.
bool FilterUsable(HWND window) {
  if (!window) return true;
  WindowInfo info;
  if (!LookUpWindow(window, &info) || info.thread != GetCurrentThreadId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

// Posts to one window, or with `broadcast` to every top-level window.
bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool broadcast,
          uint32_t broadcastFlags, uint64_t *reached) {
  std::vector<uint8_t> data;
  if (!MessageData(message, wParam, lParam, &data)) return false;
  wire::MessageHead head{reinterpret_cast<uint64_t>(window), message, static_cast<uint64_t>(wParam),
                         static_cast<uint64_t>(lParam), static_cast<uint32_t>(data.size())};
  std::vector<uint8_t> frame;
  if (broadcast) {
    wire::BroadcastRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Broadcast)},
                                   broadcastFlags, head};
    frame.assign(reinterpret_cast<uint8_t *>(&request), reinterpret_cast<uint8_t *>(&request + 1));
  } else {
    wire::PostMessageRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::PostMessage)},
                                     head};
    frame.assign(reinterpret_cast<uint8_t *>(&request), reinterpret_cast<uint8_t *>(&request + 1));
  }
  frame.insert(frame.end(), data.begin(), data.end());
  Connection *connection = ThreadConnection();
  ReplyData reply;
  if (!connection || !connection->Call(frame.data(), frame.size(), &reply)) return false;
  if (reply.status == kStatusInvalidHandle) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (reply.status == kStatusQuotaExceeded) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return false;
  }
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return false;
  }
  if (reached) *reached = reply.information;
  return true;
}

}  // namespace

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!FilterUsable(hWnd)) return FALSE;
  if (Connection *connection = ThreadConnection()) {
    while (connection->WaitForFrame(0)) {
    }  // take in what has arrived
    TakeAndAnswer(connection);
  }
  return Take(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE
                                                                                      : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!FilterUsable(hWnd)) return -1;
  Connection *connection = ThreadConnection();
  for (;;) {
    if (connection) TakeAndAnswer(connection);
    if (Take(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
      return lpMsg->message == WM_QUIT ? FALSE : TRUE;
    if (!connection || connection->Broken()) {
      // Nothing can reach this thread's windows any more.
      SetLastError(kSystemGoneError);
      return -1;
    }
    // Sleeps until a frame arrives: a message wakes the thread, an APC is
    // kept for its next alertable wait.
    connection->WaitForFrame(-1);
  }
}

BOOL WINAPI TranslateMessage(const MSG *lpMsg) {
  // No keyboard here: nothing is ever translated.
  (void)lpMsg;
  return FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG *lpMsg) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WindowInfo info;
  if (!lpMsg->hwnd || !LookUpWindow(lpMsg->hwnd, &info)) {
    if (lpMsg->hwnd) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return info.procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (hWnd == HWND_BROADCAST) return Post(nullptr, Msg, wParam, lParam, true, 0, nullptr);
  if (!hWnd) {
    // A thread message to the caller itself.
    Queued queued{};
    queued.message = MSG{nullptr, Msg, wParam, lParam, Now(), {}, 0};
    tQueue.messages.push_back(queued);
    return TRUE;
  }
  return Post(hWnd, Msg, wParam, lParam, false, 0, nullptr) ? TRUE : FALSE;
}

VOID WINAPI PostQuitMessage(int nExitCode) {
  tQueue.quit = true;
  tQueue.exitCode = nExitCode;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (hWnd == HWND_BROADCAST) {
    Post(nullptr, Msg, wParam, lParam, true, 0, nullptr);
    return 0;
  }
  WindowInfo info;
  if (!LookUpWindow(hWnd, &info)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return info.procedure(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT,
                                   UINT, PDWORD_PTR lpdwResult) {
  if (hWnd == HWND_BROADCAST) {
    if (!Post(nullptr, Msg, wParam, lParam, true, 0, nullptr)) return 0;
    if (lpdwResult) *lpdwResult = 0;
    return TRUE;
  }
  WindowInfo info;
  if (!LookUpWindow(hWnd, &info)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LRESULT result = info.procedure(hWnd, Msg, wParam, lParam);
  if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(result);
  return TRUE;
}

long WINAPI BroadcastSystemMessageW(DWORD flags, LPDWORD lpInfo, UINT Msg, WPARAM wParam,
                                    LPARAM lParam) {
  constexpr DWORD kKnownFlags = BSF_QUERY | BSF_IGNORECURRENTTASK | BSF_FLUSHDISK | BSF_NOHANG |
                                BSF_POSTMESSAGE | BSF_FORCEIFHUNG | BSF_NOTIMEOUTIFNOTHUNG |
                                BSF_ALLOWSFW | BSF_SENDNOTIFYMESSAGE;
  constexpr DWORD kKnownRecipients = BSM_VXDS | BSM_NETDRIVER | BSM_INSTALLABLEDRIVERS |
                                     BSM_APPLICATIONS | BSM_ALLDESKTOPS;
  if ((flags & ~kKnownFlags) || (lpInfo && (*lpInfo & ~kKnownRecipients))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // A query waits for every answer, which a posted message cannot bring.
  if ((flags & BSF_QUERY) && (flags & BSF_POSTMESSAGE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (flags & BSF_QUERY) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return -1;
  }
  // Without a recipient mask every component is asked; here applications
  // (top-level windows of the one desktop) are the only components.
  DWORD recipients = lpInfo ? *lpInfo : BSM_ALLCOMPONENTS;
  bool applications = recipients == BSM_ALLCOMPONENTS || (recipients & (BSM_APPLICATIONS | BSM_ALLDESKTOPS));
  if (applications) {
    uint32_t wireFlags = (flags & BSF_IGNORECURRENTTASK) ? wire::kBroadcastSkipCaller : 0;
    if (!Post(nullptr, Msg, wParam, lParam, true, wireFlags, nullptr)) return -1;
  }
  if (lpInfo) *lpInfo = recipients & (BSM_APPLICATIONS | BSM_ALLDESKTOPS);
  return 1;
}
