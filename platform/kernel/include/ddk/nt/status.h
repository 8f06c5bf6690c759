// NTSTATUS constants.
#pragma once

#include "nt/status_list.h"
#include "nt/types.h"

#define BW_STATUS_CONSTANT(name, value, win32) \
  constexpr NTSTATUS name = static_cast<NTSTATUS>(static_cast<ULONG>(value));
BW_STATUS_LIST(BW_STATUS_CONSTANT)
#undef BW_STATUS_CONSTANT

constexpr NTSTATUS STATUS_WAIT_0 = STATUS_SUCCESS;
constexpr NTSTATUS STATUS_ABANDONED = 0x00000080;
