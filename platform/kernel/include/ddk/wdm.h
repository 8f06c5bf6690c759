// The WDM kernel interface for drivers on the host stand-in.
#pragma once

#include "nt/bcrypt.h"
#include "nt/ex.h"
#include "nt/fileinfo.h"
#include "nt/io.h"
#include "nt/ke.h"
#include "nt/mm.h"
#include "nt/ob.h"
#include "nt/pnp.h"
#include "nt/pool.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/security.h"
#include "nt/status.h"
#include "nt/types.h"
#include "nt/zw.h"
