// The control device and its requests, and the forms in which strings
// travel in them.
#include "ctl/ramctl_internal.h"

#include <cstring>

namespace ramctl {

namespace {

std::atomic<HANDLE> gDevice{INVALID_HANDLE_VALUE};

// A reply may grow between the probe and the request that fetches it
// (volumes come and go): the probe is repeated a few times.
constexpr int kProbeAttempts = 4;

}  // namespace

HANDLE Device() { return gDevice.load(); }
void SetDevice(HANDLE device) { gDevice.store(device); }

bool Control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength,
             DWORD *returned) {
  DWORD bytes = 0;
  bool ok = DeviceIoControl(Device(), code, const_cast<void *>(input), inputLength, output, outputLength,
                            &bytes, nullptr);
  if (returned) *returned = bytes;
  return ok;
}

bool ControlWithProbe(uint32_t code, const void *input, uint32_t inputLength, std::vector<uint8_t> *reply) {
  for (int attempt = 0;; ++attempt) {
    DWORD size = 0;
    if (!Control(code, input, inputLength, nullptr, 0, &size)) return false;
    reply->assign(size, 0);
    if (size == 0) return true;
    DWORD returned = 0;
    if (Control(code, input, inputLength, reply->data(), size, &returned)) {
      reply->resize(returned);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || attempt + 1 == kProbeAttempts) return false;
  }
}

bool QueryVolume(uint64_t handle, VolumeInfoReply *reply) {
  VolumeHandleRequest request{handle};
  DWORD returned = 0;
  if (!Control(IOCTL_ENGINE_QUERY_VOLUME, &request, sizeof request, reply, sizeof *reply, &returned))
    return false;
  if (returned != sizeof *reply) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  return true;
}

bool NtPathOf(LPCWSTR path, std::u16string *nt) {
  nt->clear();
  if (!path) return true;
  if (path[0] != u'\\') *nt = u"\\??\\";
  *nt += path;
  return nt->size() * sizeof(char16_t) <= 0xFFFF;
}

bool WideBytes(const std::u16string &text, EngineBytes *bytes) {
  *bytes = EngineBytes{text.empty() ? nullptr : text.data(), static_cast<uint32_t>(text.size() * 2)};
  return text.size() * 2 <= 0xFFFF;
}

bool AnsiBytes(LPCSTR text, EngineBytes *bytes) {
  size_t length = text ? strlen(text) : 0;
  *bytes = EngineBytes{length ? text : nullptr, static_cast<uint32_t>(length)};
  return length <= 0xFFFF;
}

}  // namespace ramctl
