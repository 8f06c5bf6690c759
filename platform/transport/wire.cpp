#include "platform/transport/wire.h"

#include <cstdlib>
#include <cstring>

namespace bw::wire {

std::string DefaultRoot() {
  if (const char *root = getenv("BRIMWELL_ROOT"); root && *root) return root;
  if (const char *state = getenv("XDG_STATE_HOME"); state && *state)
    return std::string(state) + "/brimwell";
  if (const char *home = getenv("HOME"); home && *home)
    return std::string(home) + "/.local/state/brimwell";
  return "/var/lib/brimwell";
}

std::string SocketPath(const std::string &root) { return root + "/ramvold.sock"; }

void PutField(std::string *out, const void *data, size_t bytes) {
  uint32_t length = static_cast<uint32_t>(bytes);
  out->append(reinterpret_cast<const char *>(&length), sizeof length);
  if (bytes) out->append(static_cast<const char *>(data), bytes);
}

void PutText(std::string *out, std::u16string_view text) {
  PutField(out, text.data(), text.size() * sizeof(char16_t));
}

void PutNumber(std::string *out, uint32_t value) { PutField(out, &value, sizeof value); }

bool TakeField(std::string_view *in, std::string_view *field) {
  uint32_t length;
  if (in->size() < sizeof length) return false;
  memcpy(&length, in->data(), sizeof length);
  if (in->size() - sizeof length < length) return false;
  *field = in->substr(sizeof length, length);
  in->remove_prefix(sizeof length + length);
  return true;
}

bool TakeText(std::string_view *in, std::u16string *text) {
  std::string_view field;
  if (!TakeField(in, &field) || field.size() % 2) return false;
  text->assign(field.size() / 2, u'\0');
  if (!field.empty()) memcpy(text->data(), field.data(), field.size());
  return true;
}

bool TakeNumber(std::string_view *in, uint32_t *value) {
  std::string_view field;
  if (!TakeField(in, &field) || field.size() != sizeof *value) return false;
  memcpy(value, field.data(), sizeof *value);
  return true;
}

}  // namespace bw::wire
