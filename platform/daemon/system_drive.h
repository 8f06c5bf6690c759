// The system drive C: of the machine: a folder "C" under the machine root,
// holding the Windows folder with its INF store and System32\drivers.
#pragma once

#include <string>

namespace bw {

// Makes the folders when missing, and the links "\??\C:" and "\SystemRoot"
// (the Windows folder) unless the system has them already.
bool PrepareSystemDrive(const std::string &root, std::string *error);

}  // namespace bw
