// The class "SystemRestore" of "root\default": Enable(drive) and
// Disable(drive) switch the monitoring of one drive ("X:\"), answering 0,
// or an HRESULT (negative) for a drive whose letter names no device (ERROR_INVALID_DRIVE)
// or a drive text of another form (E_INVALIDARG). Which drives are
// monitored lives in the process's memory: a drive starts monitored.
#pragma once

#include <oleauto.h>

namespace bw::user {

IDispatch *NewSystemRestoreClass();

}  // namespace bw::user
