// Processes and threads of the stand-in: the system process with its system
// threads, and user processes whose threads stand for threads of client
// processes.
#pragma once

#include "bw/user_session.h"
#include <wdm.h>
#include "ob/object.h"

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bw {
class Token;
}

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  PEPROCESS Process;         // referenced
  uint32_t Tid;
  bool System;
  std::atomic<bool> Terminating{false};
  PEPROCESS AttachedProcess = nullptr;
  NTSTATUS ExitStatus = STATUS_SUCCESS;
  LONG CriticalRegion = 0;
  // User-mode APCs go to the sink; those queued before a sink exists wait.
  std::mutex ApcLock;
  std::function<void(const bw::UserApc &)> ApcSink;
  std::deque<bw::UserApc> PendingApcs;
};

struct _ETHREAD {
  _KTHREAD Tcb;
};

struct _KPROCESS {
  DISPATCHER_HEADER Header;  // signalled when the process has ended
};

struct _EPROCESS {
  _KPROCESS Pcb;
  uint32_t Pid;
  bool System;
  bool Wow64;
  char ImageFileName[16];
  ULONG SessionId;
  LUID LogonId;
  uint32_t ParentPid = 0;
  std::shared_ptr<bw::Token> Token;
  bw::HandleTable *Handles;
  // User memory the kernel allocates in for this process, in pages.
  char *UserMemory = nullptr;
  size_t UserMemorySize = 0;
  bool OwnsUserMemory = false;
  std::mutex UserMemoryLock;
  std::vector<uint32_t> UserPages;  // per page: length of the allocation starting here, 0 free
  std::vector<bool> UserPageUsed;
  // Host threads in this process's user space (the user-space guard, under
  // MmLock).
  int UserPresence = 0;
};

namespace bw {

PEPROCESS SystemProcess();
void ProcessesInit();
void ProcessesShutdown();

// The thread object of the calling host thread. Host threads the kernel
// did not create are adopted as threads of the system process.
PKTHREAD CurrentThread();
PEPROCESS CurrentProcess();
bool CurrentLogonId(LUID *logonId);

// Makes the calling host thread stand for `thread` until destroyed.
class ThreadContext {
 public:
  explicit ThreadContext(PKTHREAD thread);
  ~ThreadContext();
  ThreadContext(const ThreadContext &) = delete;
  ThreadContext &operator=(const ThreadContext &) = delete;

 private:
  PKTHREAD previous_;
  KIRQL previousIrql_;
};

PEPROCESS CreateProcessObject(const ProcessOptions &options, bool system);
PKTHREAD CreateThreadObject(PEPROCESS process, uint32_t tid, bool system);
void TerminateThreadObject(PKTHREAD thread, NTSTATUS status);
void TerminateProcessObject(PEPROCESS process);

// Process notifications (process_notify.cpp): the registered routines are
// called in the process's context.
void NotifyProcessCreated(PEPROCESS process, uint32_t parentPid);
void NotifyProcessExited(PEPROCESS process);
void ProcessNotifyShutdown();

// Waits until every system thread the drivers started has ended.
bool WaitForSystemThreads(int timeoutMs);
size_t RunningSystemThreads();

// Work queue and timer thread.
void WorkQueueInit();
void WorkQueueShutdown();
void QueueSystemWork(std::function<void()> work);

}  // namespace bw
