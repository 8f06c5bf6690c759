// A volume engine for the bus's tests: plain functions in the test process
// whose addresses the bus is given, reading and writing byte buffers per
// engine context and recording every event it hears.
#pragma once

#include "bus/protocol/bus_protocol.h"

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace bus_test {

struct EngineEvent {
  uint32_t code;
  uint64_t context;
  uint32_t ordinal;
  uint64_t argument;
  PagingUsage usage;  // copied for BUS_EVENT_DEVICE_USAGE
};

struct TestEngine {
  std::mutex mutex;
  std::map<uint64_t, std::vector<uint8_t>> disks;  // contents by engine context
  std::vector<EngineEvent> events;
  std::map<uint32_t, NTSTATUS> eventResults;  // what an event code answers (default success)
  NTSTATUS queryStatus = STATUS_SUCCESS;
  DiskBusyInfo busy{1, 0};
  DiskLetterInfo letters{};
  uint32_t reads = 0, writes = 0;
  NTSTATUS transferResult = STATUS_SUCCESS;  // returned instead of transferring when a failure

  std::vector<uint32_t> Codes();
  size_t Count(uint32_t code);
};

// The one engine of the test process, emptied by Reset.
TestEngine &Engine();
void ResetEngine();
// The registration record naming the functions above.
EngineInterface EngineRegistration();

}  // namespace bus_test
