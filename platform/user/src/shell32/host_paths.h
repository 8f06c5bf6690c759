// Where a Windows path of this system lies on the host, for starting a
// program or opening a file there.
#pragma once

#include <windows.h>

#include <istream>
#include <string>

namespace bw::shell32 {

// "C:\Windows\x.exe" → "<root>/C/Windows/x.exe" (C: is the system drive
// under the daemon's root, Z: the host's root, another letter a RAM disk as
// lettermount shows it in a host folder). Names are matched without regard
// to case where the host has the file. False with *error when the letter
// is not reachable from the host: ERROR_PATH_NOT_FOUND for a letter that
// does not exist, ERROR_ACCESS_DENIED for a volume no host folder shows.
bool HostPathOf(std::u16string_view windowsPath, std::string *host, DWORD *error);

// The host folder a lettermount process shows drive `letter` in, as the
// mount table (the lines of /proc/mounts) has it; empty when none does.
std::string LettermountFolder(char16_t letter, std::istream &mounts);
std::string LettermountFolder(char16_t letter);

}  // namespace bw::shell32
