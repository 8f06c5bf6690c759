// Entry points that only the test build of the engine exports, so that
// kernel tests can reach engine-internal routines of the loaded driver.
#include "engine/control/notifications.h"
#include "engine/system/drive_letters.h"
#include "engine/volume/volume_reaper.h"
#include "kernel-support/ks_string.h"

#define ENGINE_TEST_HOOK extern "C" __attribute__((visibility("default")))

ENGINE_TEST_HOOK void EngineTestBroadcast(ULONG64 Handle, ULONG Event) { NotifyBroadcast(Handle, Event); }

ENGINE_TEST_HOOK ULONG EngineTestRegistrationCount() { return NotifyRegistrationCount(); }

ENGINE_TEST_HOOK void EngineTestWakeReaper() { VolumeReaperWake(); }

ENGINE_TEST_HOOK NTSTATUS EngineTestToDriveLetterPath(PCUNICODE_STRING Path, PUNICODE_STRING *Result) {
  return ToDriveLetterPath(Path, Result);
}

ENGINE_TEST_HOOK void EngineTestFreeString(PUNICODE_STRING *String) { KsFreeString(String); }
