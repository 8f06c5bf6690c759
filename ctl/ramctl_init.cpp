// The library's state for the process: the lock made when the library is
// loaded and deleted when it is unloaded, and RamctlInitialize, which opens
// the engine's control device, starts the thread on which the engine's
// notifications run, registers it and fills the volume cache.
#include "ctl/ramctl_internal.h"

namespace ramctl {

namespace {

CRITICAL_SECTION gLock;
bool gInitialised = false;             // under the lock
HANDLE gNotificationThread = nullptr;  // under the lock
std::atomic<RamctlNotifyRoutine> gRoutine{nullptr};

// The library's load and unload, as DllMain's process attach and detach.
// Once the notification thread runs, the lock stays: the unload comes with
// the process's exit, while that thread may still be in it (Windows ends
// the other threads first; here they run on into the exit).
__attribute__((constructor)) void LibraryAttach() { InitializeCriticalSection(&gLock); }
__attribute__((destructor)) void LibraryDetach() {
  if (!gNotificationThread) DeleteCriticalSection(&gLock);
}

// The thread waits alertably forever, so that the engine's calls run on it.
DWORD WINAPI NotificationThread(LPVOID) {
  for (;;) SleepEx(10000, TRUE);
  return 0;
}

// Runs on the notification thread for each of the engine's calls: keeps
// the cache up to date, then tells the application.
VOID NTAPI Notification(ULONG_PTR volume, ULONG_PTR event, ULONG_PTR) {
  {
    LibraryLock lock;
    if (event == ENGINE_EVENT_EJECT_REQUESTED || event == ENGINE_EVENT_LETTERS_CHANGED)
      CacheRefreshOne(volume);
    else if (event == ENGINE_EVENT_VOLUME_REMOVING)
      Cache().erase(volume);
  }
  if (RamctlNotifyRoutine routine = gRoutine.load())
    routine(static_cast<uint64_t>(volume), static_cast<uint32_t>(event));
}

// Undoes a start that failed, keeping the error of the step that failed.
RAMCTL_BOOL Abandon(HANDLE device) {
  KeepError keep;
  Cache().clear();
  if (gNotificationThread) {
    TerminateThread(gNotificationThread, 1);
    CloseHandle(gNotificationThread);
    gNotificationThread = nullptr;
  }
  SetDevice(INVALID_HANDLE_VALUE);
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  return 0;
}

}  // namespace

LibraryLock::LibraryLock() { EnterCriticalSection(&gLock); }
LibraryLock::~LibraryLock() { LeaveCriticalSection(&gLock); }

}  // namespace ramctl

using namespace ramctl;

RAMCTL_API RAMCTL_BOOL WINAPI RamctlInitialize(RamctlNotifyRoutine Routine) {
  if (!Routine) return Fail(ERROR_INVALID_PARAMETER);
  LibraryLock lock;
  // A second call keeps the first routine in force.
  if (gInitialised) return 1;
  HANDLE device = CreateFileW(ENGINE_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return 0;
  SetDevice(device);
  gNotificationThread = CreateThread(nullptr, 0, NotificationThread, nullptr, 0, nullptr);
  if (!gNotificationThread) return Abandon(device);
  NotifyRegistration registration{reinterpret_cast<uint64_t>(gNotificationThread),
                                  reinterpret_cast<uint64_t>(&Notification)};
  if (!Control(IOCTL_ENGINE_REGISTER_NOTIFY, &registration, sizeof registration, nullptr, 0, nullptr))
    return Abandon(device);
  if (!CacheRefresh()) return Abandon(device);
  gRoutine.store(Routine);
  gInitialised = true;
  return 1;
}
