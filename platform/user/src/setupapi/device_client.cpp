// The device requests' transport.
#include "platform/user/src/setupapi/device_client.h"

#include "platform/user/src/client/answer.h"
#include "setupapi.h"

namespace bw::setup {

namespace {
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS kNoSuchDevice = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);
}  // namespace

bool DeviceCall(wire::DeviceAction action, const std::string &input, std::string *answer,
                uint64_t *value) {
  uint32_t capacity = 16384;
  for (int attempt = 0; attempt < 4; ++attempt) {
    wire::DeviceRequest request{};
    request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Device)};
    request.action = static_cast<uint32_t>(action);
    request.inputBytes = static_cast<uint32_t>(input.size());
    std::vector<uint8_t> tail(input.begin(), input.end());
    user::ReplyData reply;
    std::vector<uint8_t> bytes;
    if (!user::AskForAnswer(request, tail, capacity, &reply, &bytes)) return false;
    if (reply.status == kBufferTooSmall && reply.information > capacity) {
      capacity = static_cast<uint32_t>(reply.information);
      continue;
    }
    if (reply.status < 0) {
      if (reply.status == kNoSuchDevice)
        SetLastError(ERROR_NO_SUCH_DEVINST);
      else if (reply.status == kNameCollision)
        SetLastError(ERROR_DEVINST_ALREADY_EXISTS);
      else
        SetLastError(RtlNtStatusToDosError(reply.status));
      return false;
    }
    if (answer) answer->assign(bytes.begin(), bytes.end());
    if (value) *value = reply.value;
    return true;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}

bool ListDevices(std::vector<DeviceEntry> *devices) {
  std::string answer;
  if (!DeviceCall(wire::DeviceAction::List, {}, &answer)) return false;
  std::string_view in(answer);
  devices->clear();
  while (!in.empty()) {
    uint32_t flags;
    DeviceEntry entry;
    if (!wire::TakeNumber(&in, &flags) || !wire::TakeText(&in, &entry.instanceId)) break;
    entry.present = flags & wire::kDevicePresent;
    devices->push_back(std::move(entry));
  }
  return true;
}

bool GetDeviceValue(std::u16string_view instanceId, std::u16string_view name, bool driverKey,
                    DWORD *type, std::vector<uint8_t> *data) {
  std::string input, answer;
  wire::PutText(&input, instanceId);
  wire::PutText(&input, name);
  wire::PutNumber(&input, driverKey ? wire::kDriverKey : wire::kDeviceKey);
  if (!DeviceCall(wire::DeviceAction::GetValue, input, &answer)) return false;
  std::string_view in(answer), bytes;
  uint32_t t;
  if (!wire::TakeNumber(&in, &t) || !wire::TakeField(&in, &bytes)) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  *type = t;
  data->assign(bytes.begin(), bytes.end());
  return true;
}

void PutValue(std::string *input, std::u16string_view name, DWORD type, const void *data, size_t bytes) {
  wire::PutText(input, name);
  wire::PutNumber(input, type);
  wire::PutField(input, data, bytes);
}

void PutTextValue(std::string *input, std::u16string_view name, std::u16string_view text) {
  std::u16string terminated(text);
  terminated += u'\0';
  PutValue(input, name, REG_SZ, terminated.data(), terminated.size() * 2);
}

void PutDwordValue(std::string *input, std::u16string_view name, DWORD value) {
  PutValue(input, name, REG_DWORD, &value, sizeof value);
}

}  // namespace bw::setup
