// Device requests of setupapi: the daemon holds the devices and installs
// them, as Windows' Plug and Play service does for its clients. Requests
// that change the system need an administrator, as on Windows.
#include "bw/pnp.h"
#include "platform/daemon/server_internal.h"

namespace bw {

namespace {

// Values as requests carry them: (name, type, data) repeated to the end.
bool TakeValues(std::string_view *in, std::vector<RegistryValueData> *values) {
  while (!in->empty()) {
    RegistryValueData v;
    uint32_t type;
    std::string_view data;
    if (!wire::TakeText(in, &v.name) || !wire::TakeNumber(in, &type) || !wire::TakeField(in, &data))
      return false;
    v.type = type;
    v.data.assign(data.begin(), data.end());
    values->push_back(std::move(v));
  }
  return true;
}

}  // namespace

bool Server::ServeDevice(Session &session, const Frame &frame) {
  wire::DeviceRequest request;
  PVOID output;
  if (!frame.StartsWith(&request) || frame.length != sizeof request + request.inputBytes ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  std::string_view in(reinterpret_cast<const char *>(frame.TailAfter<wire::DeviceRequest>()),
                      request.inputBytes);
  auto action = static_cast<wire::DeviceAction>(request.action);
  bool changes = action != wire::DeviceAction::List && action != wire::DeviceAction::GetValue &&
                 action != wire::DeviceAction::NewInstanceId;
  if (changes) {
    ULONG elevated = 0, length = 0;
    if (!NT_SUCCESS(session.process->process->QueryToken(TokenElevation, &elevated, sizeof elevated,
                                                         &length)) ||
        !elevated)
      return session.Reply(STATUS_ACCESS_DENIED);
  }

  std::string answer;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  uint64_t value = 0;
  std::u16string path;
  switch (action) {
    case wire::DeviceAction::List:
      for (const RegisteredDevice &d : RegisteredRootDevices()) {
        wire::PutNumber(&answer, d.present ? wire::kDevicePresent : 0);
        wire::PutText(&answer, d.instancePath);
      }
      status = STATUS_SUCCESS;
      break;
    case wire::DeviceAction::GetValue: {
      std::u16string name;
      uint32_t which;
      if (!wire::TakeText(&in, &path) || !wire::TakeText(&in, &name) || !wire::TakeNumber(&in, &which))
        return false;
      ULONG type = 0;
      std::vector<uint8_t> data;
      status = QueryDeviceValue(path, which == wire::kDriverKey, name, &type, &data);
      if (NT_SUCCESS(status)) {
        wire::PutNumber(&answer, type);
        wire::PutField(&answer, data.data(), data.size());
      }
      break;
    }
    case wire::DeviceAction::SetValue: {
      std::vector<RegistryValueData> values;
      if (!wire::TakeText(&in, &path) || !TakeValues(&in, &values) || values.size() != 1) return false;
      status = SetDeviceValue(path, values[0]);
      break;
    }
    case wire::DeviceAction::NewInstanceId: {
      std::u16string name;
      if (!wire::TakeText(&in, &name)) return false;
      status = NewRootInstanceId(name, &path);
      if (NT_SUCCESS(status)) wire::PutText(&answer, path);
      break;
    }
    case wire::DeviceAction::Register: {
      std::vector<RegistryValueData> values;
      if (!wire::TakeText(&in, &path) || !TakeValues(&in, &values)) return false;
      status = RegisterRootDevice(path, values);
      break;
    }
    case wire::DeviceAction::Start: {
      if (!wire::TakeText(&in, &path)) return false;
      bool started = false;
      status = StartInstalledDevice(path, &started);
      value = started ? 1 : 0;
      break;
    }
    case wire::DeviceAction::Remove: {
      uint32_t scope;
      if (!wire::TakeText(&in, &path) || !wire::TakeNumber(&in, &scope)) return false;
      status = UninstallDevice(path, scope != 2);
      break;
    }
    case wire::DeviceAction::WriteService: {
      std::u16string name;
      std::vector<RegistryValueData> values;
      if (!wire::TakeText(&in, &name) || !TakeValues(&in, &values)) return false;
      status = WriteServiceKey(name, values);
      break;
    }
    case wire::DeviceAction::WriteDriverKey: {
      std::u16string guid, key;
      std::vector<RegistryValueData> values;
      if (!wire::TakeText(&in, &path) || !wire::TakeText(&in, &guid) || !TakeValues(&in, &values))
        return false;
      status = WriteDriverKey(path, guid, values, &key);
      if (NT_SUCCESS(status)) wire::PutText(&answer, key);
      break;
    }
    default:
      return session.Reply(STATUS_INVALID_PARAMETER);
  }
  if (NT_SUCCESS(status) && !answer.empty()) {
    if (answer.size() > request.outputLength) return session.Reply(STATUS_BUFFER_TOO_SMALL, answer.size());
    memcpy(output, answer.data(), answer.size());
  }
  return session.Reply(status, answer.size(), value);
}

}  // namespace bw
