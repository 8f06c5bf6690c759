// The WDM kernel interface for drivers on the host stand-in.
#pragma once

#include "nt/bcrypt.h"
#include "nt/pool.h"
#include "nt/rtl.h"
#include "nt/status.h"
#include "nt/types.h"
