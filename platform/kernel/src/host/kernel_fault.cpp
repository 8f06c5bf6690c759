// A driver broke a rule the real kernel enforces with a bug check.
#include "internal.h"

#include <cstdio>
#include <cstdlib>

namespace bw {

void KernelFault(const std::string &message) {
  fprintf(stderr, "kernel fault: %s\n", message.c_str());
  fflush(stderr);
  abort();
}

}  // namespace bw
