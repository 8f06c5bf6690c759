// The data a message carries to another process. On Windows the system
// copies what the lParam of these messages points at into the receiver's
// address space; here the bytes travel in the message's frame.
#include "platform/user/src/user32/window_table.h"

#include "platform/transport/wire.h"

#include <cstring>

namespace bw::user32 {

namespace {

bool CarriesDeviceRecord(WPARAM event) {
  return event >= DBT_DEVICEARRIVAL && event <= DBT_CUSTOMEVENT;
}

}  // namespace

bool MessageData(UINT message, WPARAM wParam, LPARAM lParam, std::vector<uint8_t> *data) {
  data->clear();
  if (lParam == 0) return true;
  const void *at = reinterpret_cast<const void *>(lParam);
  if (message == WM_DEVICECHANGE && CarriesDeviceRecord(wParam)) {
    DEV_BROADCAST_HDR header;
    memcpy(&header, at, sizeof header);
    if (header.dbch_size < sizeof header || header.dbch_size > wire::kMaxMessageData) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    auto bytes = static_cast<const uint8_t *>(at);
    data->assign(bytes, bytes + header.dbch_size);
    return true;
  }
  if (message == WM_SETTINGCHANGE) {
    auto text = static_cast<LPCWSTR>(at);
    size_t length = static_cast<size_t>(lstrlenW(text)) + 1;
    if (length * sizeof(WCHAR) > wire::kMaxMessageData) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    auto bytes = static_cast<const uint8_t *>(at);
    data->assign(bytes, bytes + length * sizeof(WCHAR));
  }
  return true;
}

}  // namespace bw::user32
