// FormatMessageW for the system's own messages (FORMAT_MESSAGE_FROM_SYSTEM)
// and for a caller's format string (FORMAT_MESSAGE_FROM_STRING). Inserts
// "%1".."%99" take string arguments ("%n!s!" too); with
// FORMAT_MESSAGE_IGNORE_INSERTS they stay as they are. "%%" is a percent
// sign, "%n" a line break, "%0" ends the message without a line break.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/user/src/kernel32/system_messages.h"

namespace {

DWORD Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// English, or the neutral languages that fall back to it.
bool LanguageOffered(DWORD languageId) {
  DWORD primary = languageId & 0x3FF;
  return primary == 0 || primary == 0x09;
}

// The message with its inserts replaced; false when an insert has no
// argument to take.
bool Expand(const char16_t *source, bool ignoreInserts, bool argumentArray, va_list *arguments,
            std::u16string *out) {
  std::vector<const char16_t *> taken;  // arguments read so far, by number
  for (const char16_t *p = source; *p; ++p) {
    if (*p != u'%' || ignoreInserts) {
      out->push_back(*p);
      continue;
    }
    char16_t next = p[1];
    if (next == 0) break;
    ++p;
    if (next == u'0') return true;
    if (next == u'n') {
      out->append(u"\r\n");
      continue;
    }
    if (next < u'1' || next > u'9') {
      out->push_back(next);  // "%%", "%.", "%!" and the like give the character
      continue;
    }
    unsigned number = next - u'0';
    if (p[1] >= u'0' && p[1] <= u'9') number = number * 10 + (*++p - u'0');
    if (p[1] == u'!') {  // only !s! is offered
      if (p[2] != u's' || p[3] != u'!') return false;
      p += 3;
    }
    if (!arguments) return false;
    if (argumentArray) {
      auto array = reinterpret_cast<const char16_t *const *>(arguments);
      out->append(array[number - 1] ? array[number - 1] : u"(null)");
      continue;
    }
    while (taken.size() < number) taken.push_back(va_arg(*arguments, const char16_t *));
    out->append(taken[number - 1] ? taken[number - 1] : u"(null)");
  }
  return true;
}

}  // namespace

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list *Arguments) {
  if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
  const char16_t *message = nullptr;
  if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
    message = static_cast<const char16_t *>(lpSource);
    if (!message) return Fail(ERROR_INVALID_PARAMETER);
  } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
    if (!LanguageOffered(dwLanguageId)) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    message = bw::user::SystemMessageText(dwMessageId);
    if (!message) return Fail(ERROR_MR_MID_NOT_FOUND);
  } else {
    // Message tables of modules are not offered.
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::u16string text;
  if (!Expand(message, dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS, dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY,
              Arguments, &text))
    return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t room = std::max<size_t>(text.size() + 1, nSize);
    auto block = static_cast<LPWSTR>(LocalAlloc(LMEM_ZEROINIT, room * sizeof(WCHAR)));
    if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    memcpy(block, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR *>(lpBuffer) = block;
  } else {
    if (text.size() + 1 > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(lpBuffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  }
  return static_cast<DWORD>(text.size());
}
