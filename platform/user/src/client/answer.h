// Requests whose answer the daemon puts in the calling thread's transfer
// window: the frame names where, the reply says how many bytes the answer
// needs.
#pragma once

#include "platform/user/src/client/connection.h"

#include <vector>

namespace bw::user {

// Sends `frame` (of `length` bytes) after `setOutput` named the window's
// memory in it, and copies the answer into *answer. False with the last
// error set when the system could not be reached; otherwise the reply's
// status says how the request went.
template <class Request>
bool AskForAnswer(Request &request, const std::vector<uint8_t> &tail, uint32_t capacity,
                  ReplyData *reply, std::vector<uint8_t> *answer) {
  Connection *connection = ThreadConnection();
  if (!connection) return false;
  uint8_t *window = capacity ? connection->Window(capacity) : nullptr;
  if (capacity && !window) return false;
  request.output = reinterpret_cast<uint64_t>(window);
  request.outputLength = capacity;
  std::vector<uint8_t> frame(sizeof request + tail.size());
  memcpy(frame.data(), &request, sizeof request);
  if (!tail.empty()) memcpy(frame.data() + sizeof request, tail.data(), tail.size());
  if (!connection->Call(frame.data(), frame.size(), reply)) return false;
  if (reply->status >= 0 && window)
    answer->assign(window, window + std::min<uint64_t>(reply->information, capacity));
  else
    answer->clear();
  connection->TrimWindow();
  return true;
}

}  // namespace bw::user
