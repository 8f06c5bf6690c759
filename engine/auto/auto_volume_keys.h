// The subkeys of Options\Auto, one per automatic volume, named "X:".
#pragma once

#include "kernel-support/kernel.h"

// A subkey name an automatic volume may have: a letter and a colon.
BOOLEAN IsAutoVolumeKeyName(PCUNICODE_STRING Name);
