// Security descriptors as programs hand them to the system: absolute (with
// pointers) or self-relative; the daemon always gets the self-relative form.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace bw::user {

// The descriptor as self-relative bytes; false when it is malformed.
bool SelfRelativeDescriptor(const void *descriptor, std::vector<uint8_t> *out);

}  // namespace bw::user
