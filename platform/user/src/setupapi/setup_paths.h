// Folders setup installs into, by DIRID, and GUIDs as INF files write them.
#pragma once

#include "windows.h"
#include "guiddef.h"

#include <string>
#include <string_view>

namespace bw::setup {

// The Windows folder of the system drive.
std::u16string WindowsFolder();
// The INF store, where installed INF files live as oemN.inf.
std::u16string InfStoreFolder();
// The folder of a DIRID (10 Windows, 11 System32, 12 System32\drivers,
// 17 INF, 1 the INF's own folder, 24 the system drive's root); false for one
// this system does not know.
bool DirIdFolder(unsigned dirId, std::u16string_view infFolder, std::u16string *folder);
// "{4D36E97B-E325-11CE-BFC1-08002BE10318}" ↔ GUID.
bool ParseGuid(std::u16string_view text, GUID *guid);
std::u16string FormatGuid(const GUID &guid);
// The folder part of a path, without its last backslash.
std::u16string FolderOf(std::u16string_view path);
std::u16string FileNameOf(std::u16string_view path);
// Copies `text` and its terminator into a caller's buffer of `capacity`
// characters; *required (when given) receives the characters needed. A
// null buffer only asks the size. False with ERROR_INSUFFICIENT_BUFFER.
bool CopyOut(std::u16string_view text, PWSTR buffer, DWORD capacity, PDWORD required);

}  // namespace bw::setup
