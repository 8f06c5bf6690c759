// The INF store: INF files installed for devices, as oemN.inf in the
// Windows folder's INF folder.
#pragma once

#include "windows.h"

#include <string>
#include <vector>

namespace bw::setup {

// "oem" followed by digits and ".inf", case ignored, with no folder.
bool IsOemInfName(std::u16string_view name);
// The names of the store's oemN.inf files.
std::vector<std::u16string> StoredInfs();
// Puts a copy of the INF at `source` in the store: the oemN.inf with the
// same bytes when there is one, else the lowest free oemN.inf. False with
// the last error set.
bool PlaceInStore(LPCWSTR source, std::u16string *name);
// Copies `source` over `target` by way of a fresh file beside it renamed
// into place, so that a program or driver still running from the old file
// keeps it. Identical files are left alone.
bool ReplaceFile(const std::u16string &source, const std::u16string &target);

}  // namespace bw::setup
