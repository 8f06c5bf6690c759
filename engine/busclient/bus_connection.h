// The engine's link to the virtual disk bus driver.
#pragma once

#include "kernel-support/kernel.h"
#include "bus/protocol/bus_protocol.h"
#include "engine/volume/volume_block.h"

// References the bus driver's control device and registers the engine's
// entry points with it.
NTSTATUS BusConnect();
// Drops the reference on the bus driver.
VOID BusDisconnect();

// A volume whose disk is being made is known to the entry points between
// Begin and End, before it is listed in VolumeTable.
VOID BusHandoffInitialize();
NTSTATUS BusHandoffBegin(VolumeBlock *Volume);
VOID BusHandoffEnd(VolumeBlock *Volume);

// Entry points the bus calls for the disks it presents for the engine.
BUS_ENGINE_EVENT_ROUTINE VolumeBusEvent;
BUS_ENGINE_READ_ROUTINE VolumeBusRead;
BUS_ENGINE_WRITE_ROUTINE VolumeBusWrite;
BUS_ENGINE_QUERY_ROUTINE VolumeBusQuery;
