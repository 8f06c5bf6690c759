// Private helpers shared by the kernel stand-in's own sources.
#pragma once

#include <string>

namespace bw {

// A driver broke a kernel rule (double completion, bad free...). In test
// builds this aborts with the message, as a bug check would.
[[noreturn]] void KernelFault(const std::string &message);

}  // namespace bw
