#include "bus/tests/bus_test_engine.h"

#include <cstring>

namespace bus_test {
namespace {

TestEngine *engine = new TestEngine;

int32_t OnEvent(uint32_t code, EngineEventArgs *args) {
  std::lock_guard<std::mutex> lock(engine->mutex);
  EngineEvent event{code, args->EngineContext, args->DiskOrdinal, args->Argument, {}};
  if (code == BUS_EVENT_DEVICE_USAGE)
    std::memcpy(&event.usage, reinterpret_cast<void *>(static_cast<uintptr_t>(args->Argument)), sizeof(PagingUsage));
  engine->events.push_back(event);
  auto result = engine->eventResults.find(code);
  return result == engine->eventResults.end() ? STATUS_SUCCESS : result->second;
}

int32_t Transfer(bool write, uint64_t context, uint64_t offset, uint32_t length, void *buffer, void *ioStatus) {
  std::lock_guard<std::mutex> lock(engine->mutex);
  auto *iosb = static_cast<IO_STATUS_BLOCK *>(ioStatus);
  (write ? engine->writes : engine->reads)++;
  if (!NT_SUCCESS(engine->transferResult)) return engine->transferResult;
  auto disk = engine->disks.find(context);
  if (disk == engine->disks.end()) return STATUS_NO_SUCH_DEVICE;
  std::vector<uint8_t> &bytes = disk->second;
  if (offset >= bytes.size()) {
    iosb->Status = STATUS_END_OF_FILE;
    iosb->Information = 0;
    return STATUS_SUCCESS;
  }
  uint64_t count = std::min<uint64_t>(length, bytes.size() - offset);
  if (write) std::memcpy(bytes.data() + offset, buffer, count);
  else std::memcpy(buffer, bytes.data() + offset, count);
  iosb->Status = STATUS_SUCCESS;
  iosb->Information = count;
  return STATUS_SUCCESS;
}

int32_t OnRead(uint64_t context, uint64_t offset, uint32_t length, void *buffer, void *ioStatus) {
  return Transfer(false, context, offset, length, buffer, ioStatus);
}

int32_t OnWrite(uint64_t context, uint64_t offset, uint32_t length, void *buffer, void *ioStatus) {
  return Transfer(true, context, offset, length, buffer, ioStatus);
}

int32_t OnQuery(uint64_t, uint32_t type, void *reply) {
  std::lock_guard<std::mutex> lock(engine->mutex);
  if (!NT_SUCCESS(engine->queryStatus)) return engine->queryStatus;
  if (type == BUS_QUERY_DISK_BUSY) std::memcpy(reply, &engine->busy, sizeof(engine->busy));
  else if (type == BUS_QUERY_DISK_LETTERS) std::memcpy(reply, &engine->letters, sizeof(engine->letters));
  else return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

}  // namespace

std::vector<uint32_t> TestEngine::Codes() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<uint32_t> codes;
  for (const EngineEvent &event : events) codes.push_back(event.code);
  return codes;
}

size_t TestEngine::Count(uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex);
  size_t count = 0;
  for (const EngineEvent &event : events) count += event.code == code;
  return count;
}

TestEngine &Engine() { return *engine; }

void ResetEngine() {
  delete engine;
  engine = new TestEngine;
}

EngineInterface EngineRegistration() {
  EngineInterface routines{};
  routines.EventRoutine = BusRoutineToField(&OnEvent);
  routines.ReadRoutine = BusRoutineToField(&OnRead);
  routines.WriteRoutine = BusRoutineToField(&OnWrite);
  routines.QueryRoutine = BusRoutineToField(&OnQuery);
  return routines;
}

}  // namespace bus_test
