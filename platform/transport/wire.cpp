#include "platform/transport/wire.h"

#include <cstdlib>

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

}  // namespace bw::wire
