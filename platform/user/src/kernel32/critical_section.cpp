// Critical sections: a recursive lock, its host mutex kept behind the
// record's LockSemaphore. The other fields tell the owner and the depth, as
// a debugger would read them on Windows.
#include <windows.h>

#include <mutex>

namespace {

std::recursive_mutex *LockOf(LPCRITICAL_SECTION section) {
  return static_cast<std::recursive_mutex *>(section->LockSemaphore);
}

void Entered(LPCRITICAL_SECTION section) {
  section->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
  section->RecursionCount++;
}

}  // namespace

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  *lpCriticalSection = CRITICAL_SECTION{};
  lpCriticalSection->LockCount = -1;
  lpCriticalSection->LockSemaphore = new std::recursive_mutex;
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  LockOf(lpCriticalSection)->lock();
  Entered(lpCriticalSection);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!LockOf(lpCriticalSection)->try_lock()) return FALSE;
  Entered(lpCriticalSection);
  return TRUE;
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = nullptr;
  LockOf(lpCriticalSection)->unlock();
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  delete LockOf(lpCriticalSection);
  lpCriticalSection->LockSemaphore = nullptr;
}
