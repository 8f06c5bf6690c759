// Enumerations shared by the volume model, the configuration file and the
// command line; their ordinals are the numbers the control library takes.
#pragma once

namespace Ramdeck {

enum TAlgorithm { AlgNone = 0, AlgNull = 1, AlgXOR = 2 };
enum TFileSystemType { fsRAW = 0, fsFAT = 1, fsFAT32 = 2, fsNTFS = 3 };
enum TOpenVolumeEnumType { etAll = 0, etMemory = 1, etFile = 2 };

}  // namespace Ramdeck
