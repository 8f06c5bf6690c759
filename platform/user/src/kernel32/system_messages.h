// The system's English message texts for Win32 error codes, as FormatMessageW
// with FORMAT_MESSAGE_FROM_SYSTEM gives them (CR LF included).
#pragma once

#include <cstdint>

namespace bw::user {

// Null when the system has no text for the code.
const char16_t *SystemMessageText(uint32_t code);

}  // namespace bw::user
