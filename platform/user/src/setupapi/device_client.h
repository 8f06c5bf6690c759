// Device requests to the system, which holds the devices as Windows' Plug
// and Play service does.
#pragma once

#include "windows.h"
#include "platform/transport/wire.h"

#include <string>
#include <vector>

namespace bw::setup {

// Sends one request with its input fields; *answer receives the answer's
// fields, *value the reply's value. False with the last error set (the
// status as a Win32 error; a device not registered is
// ERROR_NO_SUCH_DEVINST).
bool DeviceCall(wire::DeviceAction action, const std::string &input, std::string *answer = nullptr,
                uint64_t *value = nullptr);

struct DeviceEntry {
  std::u16string instanceId;
  bool present;
};
bool ListDevices(std::vector<DeviceEntry> *devices);
// A value of a registered device (or of its driver key); false with
// ERROR_FILE_NOT_FOUND when it has none.
bool GetDeviceValue(std::u16string_view instanceId, std::u16string_view name, bool driverKey,
                    DWORD *type, std::vector<uint8_t> *data);
void PutValue(std::string *input, std::u16string_view name, DWORD type, const void *data, size_t bytes);
void PutTextValue(std::string *input, std::u16string_view name, std::u16string_view text);
void PutDwordValue(std::string *input, std::u16string_view name, DWORD value);

}  // namespace bw::setup
