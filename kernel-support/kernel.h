// The only door from driver code into the kernel.
#pragma once

#include <ntddk.h>
