// Threads, thread handles and alertable waits. A thread created here
// connects to the daemon before its routine runs, so the handle
// CreateThread returns is one the kernel knows: it can be handed to the
// engine for notifications.
#include "platform/user/src/client/connection.h"
#include "platform/user/src/client/handles.h"

#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using namespace bw;
using namespace bw::user;

namespace {

struct ThreadInfo {
  std::mutex lock;
  std::condition_variable cv;
  bool started = false;
  bool handleReady = false;  // the creator holds its handle: the routine may run
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD tid = 0;
  pthread_t pthread{};
};

struct HandleEntry {
  HandleKind kind;
  bool daemon;      // the value is a handle in the daemon's table for this process
  uint64_t bootId;  // ... of the daemon started so
  std::shared_ptr<ThreadInfo> thread;
};

std::mutex gHandleLock;
// The process's handle table lives as long as the process: never destroyed,
// since threads may still use handles while the exit runs destructors.
std::map<HANDLE, HandleEntry> &gHandles = *new std::map<HANDLE, HandleEntry>;
uintptr_t gNextLocalHandle = 0x40000000;

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct StartBlock {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
  std::shared_ptr<ThreadInfo> info;
  bool connected = false;
};

void *ThreadMain(void *arg) {
  auto *start = static_cast<StartBlock *>(arg);
  auto info = start->info;
  LPTHREAD_START_ROUTINE routine = start->routine;
  LPVOID parameter = start->parameter;
  {
    std::lock_guard<std::mutex> guard(info->lock);
    info->tid = static_cast<DWORD>(syscall(SYS_gettid));
    // The thread introduces itself to the daemon before its creator asks
    // the daemon for a handle to it. `start` belongs to the creator once
    // `started` is set.
    start->connected = ThreadConnection() != nullptr;
    info->started = true;
  }
  info->cv.notify_all();
  {
    // The thread must not end before its creator has a handle to it.
    std::unique_lock<std::mutex> guard(info->lock);
    info->cv.wait(guard, [&] { return info->handleReady; });
  }
  DWORD code = routine(parameter);
  {
    std::lock_guard<std::mutex> guard(info->lock);
    info->finished = true;
    if (info->exitCode == STILL_ACTIVE) info->exitCode = code;
  }
  info->cv.notify_all();
  return nullptr;
}

std::shared_ptr<ThreadInfo> ThreadOf(HANDLE handle) {
  std::lock_guard<std::mutex> guard(gHandleLock);
  auto it = gHandles.find(handle);
  if (it == gHandles.end() || it->second.kind != HandleKind::Thread) return nullptr;
  return it->second.thread;
}

}  // namespace

namespace bw::user {

void RegisterDaemonHandle(HANDLE handle, HandleKind kind, uint64_t bootId) {
  std::lock_guard<std::mutex> guard(gHandleLock);
  gHandles[handle] = HandleEntry{kind, true, bootId, nullptr};
}

HANDLE NewLocalHandle(HandleKind kind) {
  std::lock_guard<std::mutex> guard(gHandleLock);
  HANDLE handle = reinterpret_cast<HANDLE>(gNextLocalHandle += 4);
  gHandles[handle] = HandleEntry{kind, false, 0, nullptr};
  return handle;
}

bool LocalHandle(HANDLE handle, HandleKind kind) {
  std::lock_guard<std::mutex> guard(gHandleLock);
  auto it = gHandles.find(handle);
  return it != gHandles.end() && !it->second.daemon && it->second.kind == kind;
}

bool DaemonHandle(HANDLE handle, HandleKind kind, uint64_t *bootId) {
  std::lock_guard<std::mutex> guard(gHandleLock);
  auto it = gHandles.find(handle);
  if (it == gHandles.end() || !it->second.daemon || it->second.kind != kind) return false;
  *bootId = it->second.bootId;
  return true;
}

bool CloseAnyHandle(HANDLE handle) {
  HandleEntry entry;
  {
    std::lock_guard<std::mutex> guard(gHandleLock);
    auto it = gHandles.find(handle);
    if (it == gHandles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    entry = it->second;
    gHandles.erase(it);
  }
  if (entry.thread) {
    // The thread runs on; its handle only goes away.
    std::lock_guard<std::mutex> guard(entry.thread->lock);
    if (entry.thread->finished) pthread_join(entry.thread->pthread, nullptr);
    else pthread_detach(entry.thread->pthread);
  }
  if (!entry.daemon) return true;
  DWORD error = GetLastError();
  Connection *connection = ThreadConnection();
  if (!connection || connection->BootId() != entry.bootId) {
    // The system that gave the handle has ended, and its handles with it.
    SetLastError(error);
    return true;
  }
  wire::CloseRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Close)},
                             reinterpret_cast<uint64_t>(handle)};
  ReplyData reply;
  if (!connection->Call(&request, sizeof request, &reply)) return false;
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return false;
  }
  return true;
}

}  // namespace bw::user

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (!lpStartAddress || (dwCreationFlags & CREATE_SUSPENDED)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto info = std::make_shared<ThreadInfo>();
  auto *start = new StartBlock{lpStartAddress, lpParameter, info};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (dwStackSize) pthread_attr_setstacksize(&attr, dwStackSize < 65536 ? 65536 : dwStackSize);
  int rc = pthread_create(&info->pthread, &attr, ThreadMain, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bool connected;
  DWORD tid;
  {
    std::unique_lock<std::mutex> guard(info->lock);
    info->cv.wait(guard, [&] { return info->started; });
    connected = start->connected;
    tid = info->tid;
  }
  delete start;
  HANDLE handle = nullptr;
  uint64_t bootId = 0;
  if (connected) {
    Connection *connection = ThreadConnection();
    ReplyData reply;
    wire::OpenThreadRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::OpenThread)},
                                    tid};
    if (connection && connection->Call(&request, sizeof request, &reply) && reply.status >= 0) {
      handle = reinterpret_cast<HANDLE>(reply.value);
      bootId = connection->BootId();
    }
  }
  {
    std::lock_guard<std::mutex> guard(gHandleLock);
    bool daemon = handle != nullptr;
    if (!daemon) handle = reinterpret_cast<HANDLE>(gNextLocalHandle += 4);
    gHandles[handle] = HandleEntry{HandleKind::Thread, daemon, bootId, info};
  }
  {
    std::lock_guard<std::mutex> guard(info->lock);
    info->handleReady = true;
  }
  info->cv.notify_all();
  if (lpThreadId) *lpThreadId = tid;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI GetCurrentThread(VOID) { return kCurrentThread; }
HANDLE WINAPI GetCurrentProcess(VOID) { return kCurrentProcess; }
DWORD WINAPI GetCurrentThreadId(VOID) { return static_cast<DWORD>(syscall(SYS_gettid)); }
DWORD WINAPI GetCurrentProcessId(VOID) { return static_cast<DWORD>(getpid()); }

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto info = ThreadOf(hThread);
  if (!info || !lpExitCode) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(info->lock);
  *lpExitCode = info->finished ? info->exitCode : STILL_ACTIVE;
  return TRUE;
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  auto info = ThreadOf(hThread);
  if (!info) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(info->lock);
    if (info->finished) return TRUE;
    info->exitCode = dwExitCode;
  }
  // Threads here wait in cancellation points (alertable sleeps, requests).
  pthread_cancel(info->pthread);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto info = ThreadOf(hHandle);
  if (!info) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> guard(info->lock);
  if (dwMilliseconds == INFINITE) {
    info->cv.wait(guard, [&] { return info->finished; });
    return WAIT_OBJECT_0;
  }
  return info->cv.wait_for(guard, std::chrono::milliseconds(dwMilliseconds),
                           [&] { return info->finished; })
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

// An alertable sleep runs the thread's queued user-mode APCs: those already
// queued at once, else the first that arrives before the time runs out.
DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
  if (!bAlertable) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    return 0;
  }
  if (RunPendingApcs() > 0) return WAIT_IO_COMPLETION;
  Connection *connection = ThreadConnection();
  if (!connection || connection->Broken()) {
    // Nothing can queue an APC to this thread: a plain sleep.
    if (dwMilliseconds == INFINITE)
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    return 0;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  for (;;) {
    int wait = -1;
    if (dwMilliseconds != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return 0;
      wait = static_cast<int>(left.count());
    }
    if (connection->WaitForFrame(wait) && RunPendingApcs() > 0) return WAIT_IO_COMPLETION;
    if (connection->Broken()) return SleepEx(dwMilliseconds == INFINITE ? INFINITE : wait, FALSE);
    if (dwMilliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) return 0;
  }
}

VOID WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }
