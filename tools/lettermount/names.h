// Host paths as the drive letter's Win32 paths: the host speaks UTF-8 with
// "/" between names, the volume UTF-16 with "\".
#pragma once

#include <string>
#include <string_view>

namespace lettermount {

// UTF-8 as UTF-16; false for bytes that are no UTF-8 (overlong forms,
// surrogates, values past U+10FFFF, cut-off sequences).
bool Utf8ToUtf16(std::string_view in, std::u16string *out);
// UTF-16 as UTF-8; false for an unpaired surrogate.
bool Utf16ToUtf8(std::u16string_view in, std::string *out);

// The Win32 path of a host path below the mount ("/a/b" on R: is
// "R:\a\b", "/" is "R:\"). False for a name the volume could only take
// for something else: a backslash would name a folder that is not there on
// the host, and a NUL or a stray byte no name at all.
bool ToVolumePath(char16_t letter, const char *hostPath, std::u16string *out);

}  // namespace lettermount
