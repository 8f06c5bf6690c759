// The manager's pictures: drawn at run time so that they stay sharp at any
// desktop scaling (each icon carries sizes 16 to 64 pixels).
#pragma once

#include <QIcon>

namespace Ramdeck {

enum class TIconKind {
  DiskMounted,     // a RAM disk in use: a memory module with a green light
  DiskUnmounted,   // configured but not mounted: the module greyed, no light
  AddDisk,         // a module with a plus
  AddBootDisk,     // a module with a plus and a power mark
  Delete,          // a red cross
  Refresh,         // a circular arrow
  Mount,           // a green arrow into the module
  Unmount,         // an arrow out of the module
  Save,            // a module over a file
  Help,            // a question mark in a circle
  Image,           // a file with a module pattern
  Application,     // the program's own icon (window, tray)
  Busy,            // an hourglass for the busy window
};

QIcon Icon(TIconKind kind);

}  // namespace Ramdeck
