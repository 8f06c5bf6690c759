// The machine's registry as the Zw...Key calls see it.
#pragma once

#include "nt/status.h"

#include <string>

namespace bw {

class RegistryStore;

// Loads the registry from the root ("<root>/registry.dat"); an empty root
// keeps it in memory only. A damaged file fails the boot with a message.
NTSTATUS RegistryBoot(const std::string &root, std::string *error);
void RegistryShutdown();
RegistryStore &Registry();

}  // namespace bw
