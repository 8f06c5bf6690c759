// Open INF handles: the parsed file and where it came from. A handle is
// checked against the live ones before use, so a stale or made-up one
// fails with ERROR_INVALID_HANDLE instead of being followed.
#pragma once

#include "platform/user/src/setupapi/inf_file.h"

#include <memory>

namespace bw::setup {

struct OpenInf {
  inf::InfFile inf;
  std::u16string path, folder;
};

PVOID RegisterInf(std::unique_ptr<OpenInf> open);
std::shared_ptr<OpenInf> FindInf(PVOID handle);
void ReleaseInf(PVOID handle);
// The destination folder of a section's files ([DestinationDirs]); false
// with the last error set.
bool TargetFolder(const OpenInf &open, std::u16string_view section, std::u16string *folder);

}  // namespace bw::setup
