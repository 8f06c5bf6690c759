// Processes, threads, system threads, user-mode APCs and user memory.
#include "ps/process.h"

#include "ke/dispatcher.h"
#include "internal.h"
#include "mm/mm_internal.h"

#include <pthread.h>
#include <unistd.h>
#include <sys/mman.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <new>
#include <thread>

namespace bw {

namespace {

thread_local PKTHREAD tCurrent = nullptr;

void DestroyThread(void *body) {
  auto *t = static_cast<_KTHREAD *>(body);
  if (t->Process) ObfDereferenceObject(t->Process);
  t->~_KTHREAD();
}

void DestroyProcess(void *body) {
  auto *p = static_cast<_EPROCESS *>(body);
  if (p->Handles) {
    p->Handles->CloseAll();
    delete p->Handles;
  }
  if (p->OwnsUserMemory && p->UserMemory) munmap(p->UserMemory, p->UserMemorySize);
  p->~_EPROCESS();
}

PEPROCESS gSystemProcess = nullptr;
std::atomic<uint32_t> gNextPid{1000};
std::atomic<uint32_t> gNextTid{5000};

// Never destroyed: a detached system thread may still be on its way out
// when the host process exits.
std::mutex &gSystemThreadsLock = *new std::mutex;
std::condition_variable &gSystemThreadsCv = *new std::condition_variable;
size_t gSystemThreads = 0;

// Adopted host threads: a thread object made on first use for a host thread
// the kernel did not start; dropped when the host thread ends.
struct Adopted {
  PKTHREAD thread = nullptr;
  ~Adopted() {
    if (thread) {
      TerminateThreadObject(thread, STATUS_SUCCESS);
      ObfDereferenceObject(thread);
    }
  }
};
thread_local Adopted tAdopted;

// The process whose user space the calling host thread is in: the one it is
// attached to, else the user process it stands for. The system's own threads
// count only while attached: they live for good, and counting them would
// keep the system process's user space open for good.
void UserSpaceMoved() {
  PKTHREAD t = tCurrent ? tCurrent : tAdopted.thread;
  PEPROCESS in = nullptr;
  if (t) in = t->AttachedProcess ? t->AttachedProcess : (t->System ? nullptr : t->Process);
  MoveUserPresence(in);
}

}  // namespace

_OBJECT_TYPE ThreadType{u"Thread", DestroyThread, 0x20048, 0x20037, 0x120000, 0x1FFFFF};
_OBJECT_TYPE ProcessType{u"Process", DestroyProcess, 0x20410, 0x20BEA, 0x120000, 0x1FFFFF};

PEPROCESS SystemProcess() { return gSystemProcess; }

PEPROCESS CreateProcessObject(const ProcessOptions &options, bool system) {
  auto *p = static_cast<_EPROCESS *>(CreateObject(&ProcessType, sizeof(_EPROCESS)));
  if (!p) return nullptr;
  new (p) _EPROCESS;
  InitializeDispatcherHeader(&p->Pcb.Header, kProcess, 0);
  p->Pid = options.pid ? options.pid : gNextPid++;
  p->System = system;
  p->Wow64 = options.wow64;
  strncpy(p->ImageFileName, options.imageName.c_str(), 15);
  p->ImageFileName[15] = 0;
  p->SessionId = system ? 0 : options.sessionId;
  p->LogonId = options.logonId;
  p->Handles = system ? nullptr : new HandleTable(false);
  return p;
}

PKTHREAD CreateThreadObject(PEPROCESS process, uint32_t tid, bool system) {
  auto *t = static_cast<_KTHREAD *>(CreateObject(&ThreadType, sizeof(_ETHREAD)));
  if (!t) return nullptr;
  new (t) _KTHREAD;
  InitializeDispatcherHeader(&t->Header, kThread, 0);
  t->Process = process;
  ObfReferenceObject(process);
  t->Tid = tid ? tid : gNextTid++;
  t->System = system;
  return t;
}

void TerminateThreadObject(PKTHREAD thread, NTSTATUS status) {
  thread->ExitStatus = status;
  thread->Terminating = true;
  {
    std::lock_guard<std::mutex> guard(thread->ApcLock);
    thread->ApcSink = nullptr;
    thread->PendingApcs.clear();
  }
  SignalObject(&thread->Header, 1);
}

void TerminateProcessObject(PEPROCESS process) {
  if (process->Handles) process->Handles->CloseAll();
  SignalObject(&process->Pcb.Header, 1);
}

PKTHREAD CurrentThread() {
  if (tCurrent) return tCurrent;
  if (!tAdopted.thread) {
    PEPROCESS process = gSystemProcess;
    if (!process) KernelFault("kernel call before the kernel was booted");
    tAdopted.thread = CreateThreadObject(process, 0, true);
  }
  return tAdopted.thread;
}

PEPROCESS CurrentProcess() {
  PKTHREAD t = CurrentThread();
  return t->AttachedProcess ? t->AttachedProcess : t->Process;
}

bool CurrentLogonId(LUID *logonId) {
  if (!gSystemProcess) return false;
  PEPROCESS p = CurrentProcess();
  *logonId = p->LogonId;
  return true;
}

ThreadContext::ThreadContext(PKTHREAD thread) : previous_(tCurrent) {
  previousIrql_ = KeGetCurrentIrql();
  tCurrent = thread;
  UserSpaceMoved();
}

ThreadContext::~ThreadContext() {
  tCurrent = previous_;
  UserSpaceMoved();
}

void ProcessesInit() {
  ProcessOptions options;
  options.pid = 4;
  options.imageName = "System";
  options.logonId = LUID{0x3E7, 0};
  gSystemProcess = CreateProcessObject(options, true);
  PsInitialSystemProcess = gSystemProcess;
}

void ProcessesShutdown() {
  if (tAdopted.thread) {
    TerminateThreadObject(tAdopted.thread, STATUS_SUCCESS);
    ObfDereferenceObject(tAdopted.thread);
    tAdopted.thread = nullptr;
  }
  if (gSystemProcess) {
    TerminateProcessObject(gSystemProcess);
    ObfDereferenceObject(gSystemProcess);
    gSystemProcess = nullptr;
    PsInitialSystemProcess = nullptr;
  }
}

bool WaitForSystemThreads(int timeoutMs) {
  std::unique_lock<std::mutex> guard(gSystemThreadsLock);
  return gSystemThreadsCv.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [] { return gSystemThreads == 0; });
}

size_t RunningSystemThreads() {
  std::lock_guard<std::mutex> guard(gSystemThreadsLock);
  return gSystemThreads;
}

namespace {

struct SystemThreadStart {
  PKTHREAD thread;
  PKSTART_ROUTINE routine;
  PVOID context;
};

// Ends a system thread once its frames are gone: the thread object is
// signalled only after the unwind has left the driver's code, so a driver
// that waits for its thread and then unloads never has code unmapped under
// a thread still unwinding through it.
struct SystemThreadEnd {
  PKTHREAD self;
  ~SystemThreadEnd() {
    TerminateThreadObject(self, self->ExitStatus);
    tCurrent = nullptr;
    ObfDereferenceObject(self);  // the thread's reference to itself
    std::lock_guard<std::mutex> guard(gSystemThreadsLock);
    --gSystemThreads;
    gSystemThreadsCv.notify_all();
  }
};

void *SystemThreadMain(void *arg) {
  auto *start = static_cast<SystemThreadStart *>(arg);
  tCurrent = start->thread;
  SystemThreadEnd end{start->thread};
  PKSTART_ROUTINE routine = start->routine;
  PVOID context = start->context;
  delete start;
  routine(context);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    KernelFault("system thread returned above PASSIVE_LEVEL");
  return nullptr;
}

}  // namespace

}  // namespace bw

using namespace bw;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
  PEPROCESS process = gSystemProcess;
  PKTHREAD thread = CreateThreadObject(process, 0, true);
  if (!thread) return STATUS_INSUFFICIENT_RESOURCES;
  HandleTable *table = TableForNewHandle(ObjectAttributes ? ObjectAttributes->Attributes : 0);
  NTSTATUS status = table->Insert(thread, DesiredAccess ? DesiredAccess : THREAD_ALL_ACCESS,
                                  0, ThreadHandle);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(thread);
    return status;
  }
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process->Pid));
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread->Tid));
  }
  {
    std::lock_guard<std::mutex> guard(gSystemThreadsLock);
    ++gSystemThreads;
  }
  auto *start = new SystemThreadStart{thread, StartRoutine, StartContext};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 8 << 20);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, SystemThreadMain, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    {
      std::lock_guard<std::mutex> guard(gSystemThreadsLock);
      --gSystemThreads;
    }
    table->Close(*ThreadHandle);
    ObfDereferenceObject(thread);
    *ThreadHandle = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  (void)ProcessHandle;
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD self = tCurrent;
  if (!self || !self->System || self == tAdopted.thread)
    KernelFault("PsTerminateSystemThread outside a system thread");
  self->ExitStatus = ExitStatus;
  pthread_exit(nullptr);  // SystemThreadMain's frame ends the thread object
}

PKTHREAD KeGetCurrentThread(VOID) { return CurrentThread(); }
PETHREAD PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(CurrentThread()); }
PEPROCESS PsGetCurrentProcess(VOID) { return CurrentProcess(); }
HANDLE PsGetCurrentProcessId(VOID) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentProcess()->Pid));
}
HANDLE PsGetCurrentThreadId(VOID) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThread()->Tid));
}
PEPROCESS PsInitialSystemProcess = nullptr;

HANDLE PsGetProcessId(PEPROCESS Process) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(Process->Pid));
}
HANDLE PsGetThreadId(PETHREAD Thread) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(Thread->Tcb.Tid));
}
PEPROCESS PsGetThreadProcess(PETHREAD Thread) { return Thread->Tcb.Process; }
BOOLEAN PsIsThreadTerminating(PETHREAD Thread) { return Thread->Tcb.Terminating ? TRUE : FALSE; }
BOOLEAN PsIsSystemThread(PETHREAD Thread) { return Thread->Tcb.System ? TRUE : FALSE; }
ULONG PsGetProcessSessionId(PEPROCESS Process) { return Process->SessionId; }
ULONG PsGetCurrentProcessSessionId(VOID) { return CurrentProcess()->SessionId; }
PVOID PsGetProcessWow64Process(PEPROCESS Process) {
  return Process->Wow64 ? Process : nullptr;  // any non-null value marks a 32-bit process
}
PCHAR PsGetProcessImageFileName(PEPROCESS Process) { return Process->ImageFileName; }
KPROCESSOR_MODE ExGetPreviousMode(VOID) {
  return CurrentThread()->System ? KernelMode : UserMode;
}

KPRIORITY KeSetPriorityThread(PKTHREAD, KPRIORITY Priority) { return Priority; }

VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
  PKTHREAD self = CurrentThread();
  ApcState->Process = reinterpret_cast<PKPROCESS>(self->AttachedProcess);
  self->AttachedProcess = reinterpret_cast<PEPROCESS>(Process);
  UserSpaceMoved();
}

VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
  CurrentThread()->AttachedProcess = reinterpret_cast<PEPROCESS>(ApcState->Process);
  UserSpaceMoved();
}

ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) n = 1;
  if (n > 64) n = 64;
  if (ActiveProcessors) *ActiveProcessors = n == 64 ? ~0ULL : ((1ULL << n) - 1);
  return static_cast<ULONG>(n);
}

// User-mode APCs. The kernel routine runs at once in the context of the
// target thread; the normal routine travels to the owning process, which
// runs it when the thread next waits alertably.
VOID KeInitializeApc(PRKAPC Apc, PRKTHREAD Thread, KAPC_ENVIRONMENT, PKKERNEL_ROUTINE KernelRoutine,
                     PKRUNDOWN_ROUTINE RundownRoutine, PKNORMAL_ROUTINE NormalRoutine,
                     KPROCESSOR_MODE ProcessorMode, PVOID NormalContext) {
  memset(Apc, 0, sizeof(*Apc));
  Apc->Type = 18;
  Apc->Size = sizeof(KAPC);
  Apc->Thread = Thread;
  Apc->KernelRoutine = KernelRoutine;
  Apc->RundownRoutine = RundownRoutine;
  Apc->NormalRoutine = NormalRoutine;
  Apc->ApcMode = NormalRoutine ? ProcessorMode : static_cast<KPROCESSOR_MODE>(KernelMode);
  Apc->NormalContext = NormalRoutine ? NormalContext : nullptr;
}

BOOLEAN KeInsertQueueApc(PRKAPC Apc, PVOID SystemArgument1, PVOID SystemArgument2, KPRIORITY) {
  PKTHREAD thread = Apc->Thread;
  if (!thread || thread->Terminating || Apc->Inserted) return FALSE;
  Apc->Inserted = TRUE;
  Apc->SystemArgument1 = SystemArgument1;
  Apc->SystemArgument2 = SystemArgument2;
  if (Apc->ApcMode == UserMode && thread->System) return FALSE;
  ObfReferenceObject(thread);
  PKNORMAL_ROUTINE normal = Apc->NormalRoutine;
  PVOID context = Apc->NormalContext;
  PVOID argument1 = SystemArgument1;
  PVOID argument2 = SystemArgument2;
  KPROCESSOR_MODE mode = Apc->ApcMode;
  {
    ThreadContext inTarget(thread);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    // The kernel routine may free the APC: nothing below touches it.
    if (Apc->KernelRoutine)
      Apc->KernelRoutine(Apc, &normal, &context, &argument1, &argument2);
    KeLowerIrql(old);
    if (normal && mode == KernelMode) normal(context, argument1, argument2);
  }
  if (normal && mode == UserMode) {
    UserApc apc{reinterpret_cast<uint64_t>(normal), reinterpret_cast<uint64_t>(context),
                reinterpret_cast<uint64_t>(argument1), reinterpret_cast<uint64_t>(argument2)};
    std::function<void(const UserApc &)> sink;
    {
      std::lock_guard<std::mutex> guard(thread->ApcLock);
      if (thread->ApcSink)
        sink = thread->ApcSink;
      else if (!thread->Terminating)
        thread->PendingApcs.push_back(apc);
    }
    if (sink) sink(apc);
  }
  ObfDereferenceObject(thread);
  return TRUE;
}

BOOLEAN KeTestAlertThread(KPROCESSOR_MODE) { return FALSE; }

// A 32-bit process sees the routine in the encoded form the system's
// 32-bit layer expects; the user side decodes it.
NTSTATUS PsWrapApcWow64Thread(PVOID *ApcContext, PVOID *ApcRoutine) {
  if (!ApcContext || !ApcRoutine) return STATUS_INVALID_PARAMETER;
  PEPROCESS process = CurrentThread()->Process;
  if (!process->Wow64) return STATUS_SUCCESS;
  auto routine = reinterpret_cast<intptr_t>(*ApcRoutine);
  *ApcRoutine = reinterpret_cast<PVOID>(-(routine << 2));
  return STATUS_SUCCESS;
}

// User memory of a process: page-granular allocations inside its shared block.
NTSTATUS ZwAllocateVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, ULONG_PTR,
                                 PSIZE_T RegionSize, ULONG AllocationType, ULONG Protect) {
  if (!BaseAddress || !RegionSize || *RegionSize == 0) return STATUS_INVALID_PARAMETER;
  if (!(AllocationType & MEM_COMMIT) || Protect != PAGE_READWRITE) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_VM_OPERATION,
                                              *PsProcessType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto *process = static_cast<PEPROCESS>(object);
  constexpr size_t kPage = 4096;
  size_t pages = (*RegionSize + kPage - 1) / kPage;
  status = STATUS_NO_MEMORY;
  {
    std::lock_guard<std::mutex> guard(process->UserMemoryLock);
    size_t total = process->UserMemorySize / kPage;
    if (process->UserPageUsed.size() != total) {
      process->UserPageUsed.assign(total, false);
      process->UserPages.assign(total, 0);
    }
    for (size_t start = 0; start + pages <= total && *BaseAddress == nullptr; ++start) {
      size_t n = 0;
      while (n < pages && !process->UserPageUsed[start + n]) ++n;
      if (n == pages) {
        for (size_t i = 0; i < pages; ++i) process->UserPageUsed[start + i] = true;
        process->UserPages[start] = static_cast<uint32_t>(pages);
        *BaseAddress = process->UserMemory + start * kPage;
        memset(*BaseAddress, 0, pages * kPage);
        *RegionSize = pages * kPage;
        status = STATUS_SUCCESS;
      }
    }
  }
  ObfDereferenceObject(process);
  return status;
}

NTSTATUS ZwFreeVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize,
                             ULONG FreeType) {
  if (!BaseAddress || !*BaseAddress || !RegionSize || FreeType != MEM_RELEASE)
    return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_VM_OPERATION,
                                              *PsProcessType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto *process = static_cast<PEPROCESS>(object);
  constexpr size_t kPage = 4096;
  status = STATUS_INVALID_PARAMETER;  // not the start of an allocation
  {
    std::lock_guard<std::mutex> guard(process->UserMemoryLock);
    char *address = static_cast<char *>(*BaseAddress);
    if (address >= process->UserMemory &&
        address < process->UserMemory + process->UserMemorySize &&
        (address - process->UserMemory) % kPage == 0) {
      size_t start = (address - process->UserMemory) / kPage;
      if (start < process->UserPages.size() && process->UserPages[start]) {
        size_t pages = process->UserPages[start];
        for (size_t i = 0; i < pages; ++i) process->UserPageUsed[start + i] = false;
        process->UserPages[start] = 0;
        *BaseAddress = nullptr;
        *RegionSize = pages * kPage;
        status = STATUS_SUCCESS;
      }
    }
  }
  ObfDereferenceObject(process);
  return status;
}
