// Kernel-mode cryptography (CNG), as the Windows Driver Kit's bcrypt.h.
#pragma once

#include "nt/bcrypt.h"
