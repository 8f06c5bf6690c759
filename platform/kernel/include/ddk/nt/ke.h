// Dispatcher objects, IRQL, spin locks, fast mutexes, timers, DPCs, APCs.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;
typedef enum _KWAIT_REASON {
  Executive = 0,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
} KWAIT_REASON;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  PVOID OwnerThread;
  ULONG RecursionCount;
} KMUTANT, KMUTEX, *PKMUTANT, *PKMUTEX;

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef struct _KLOCK_QUEUE_HANDLE {
  PKSPIN_LOCK Lock;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

typedef struct _FAST_MUTEX {
  LONG Count;
  PVOID Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  LONG Period;
} KTIMER, *PKTIMER;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
typedef struct _EPROCESS *PEPROCESS;

typedef struct _KAPC_STATE {
  LIST_ENTRY ApcListHead[2];
  PKPROCESS Process;
  BOOLEAN KernelApcInProgress;
  BOOLEAN KernelApcPending;
  BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

// Asynchronous procedure calls (the kernel's undocumented but stable
// interface that drivers declare for themselves).
typedef enum _KAPC_ENVIRONMENT {
  OriginalApcEnvironment,
  AttachedApcEnvironment,
  CurrentApcEnvironment,
  InsertApcEnvironment
} KAPC_ENVIRONMENT;

typedef VOID KNORMAL_ROUTINE(PVOID NormalContext, PVOID SystemArgument1, PVOID SystemArgument2);
typedef KNORMAL_ROUTINE *PKNORMAL_ROUTINE;
struct _KAPC;
typedef VOID KKERNEL_ROUTINE(struct _KAPC *Apc, PKNORMAL_ROUTINE *NormalRoutine,
                             PVOID *NormalContext, PVOID *SystemArgument1,
                             PVOID *SystemArgument2);
typedef KKERNEL_ROUTINE *PKKERNEL_ROUTINE;
typedef VOID KRUNDOWN_ROUTINE(struct _KAPC *Apc);
typedef KRUNDOWN_ROUTINE *PKRUNDOWN_ROUTINE;

typedef struct _KAPC {
  UCHAR Type;
  UCHAR SpareByte0;
  UCHAR Size;
  UCHAR SpareByte1;
  ULONG SpareLong0;
  PKTHREAD Thread;
  LIST_ENTRY ApcListEntry;
  PKKERNEL_ROUTINE KernelRoutine;
  PKRUNDOWN_ROUTINE RundownRoutine;
  PKNORMAL_ROUTINE NormalRoutine;
  PVOID NormalContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  CCHAR ApcStateIndex;
  KPROCESSOR_MODE ApcMode;
  BOOLEAN Inserted;
} KAPC, *PKAPC, *PRKAPC;

typedef LONG KPRIORITY_INCREMENT;
#define IO_NO_INCREMENT 0
#define IO_DISK_INCREMENT 1
#define EVENT_INCREMENT 1
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PVOID Thread;
  PVOID Object;
  struct _KWAIT_BLOCK *NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

// IRQL.
NTKERNELAPI KIRQL KeGetCurrentIrql(VOID);
NTKERNELAPI VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel(VOID);

// Spin locks.
NTKERNELAPI VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock,
                                                PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);

// Events.
NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);

// Semaphores and mutexes.
NTKERNELAPI VOID KeInitializeSemaphore(PKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTKERNELAPI LONG KeReleaseSemaphore(PKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                    BOOLEAN Wait);
NTKERNELAPI VOID KeInitializeMutex(PKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait);

// Fast mutexes (acquiring raises to APC_LEVEL).
NTKERNELAPI VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// Waits. A negative timeout is relative (100 ns units), positive absolute
// system time, NULL waits forever.
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                              KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                              PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);

// Timers and DPCs.
NTKERNELAPI VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                 PVOID DeferredContext);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID KeFlushQueuedDpcs(VOID);
NTKERNELAPI VOID KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Threads and processes.
NTKERNELAPI PKTHREAD KeGetCurrentThread(VOID);
NTKERNELAPI KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
NTKERNELAPI VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);
NTKERNELAPI VOID KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID KeLeaveCriticalRegion(VOID);
NTKERNELAPI BOOLEAN KeAreAllApcsDisabled(VOID);
NTKERNELAPI ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors);
NTKERNELAPI USHORT KeQueryHighestNodeNumber(VOID);
NTKERNELAPI USHORT KeGetCurrentNodeNumber(VOID);

// APCs.
NTKERNELAPI VOID KeInitializeApc(PRKAPC Apc, PRKTHREAD Thread, KAPC_ENVIRONMENT Environment,
                                 PKKERNEL_ROUTINE KernelRoutine,
                                 PKRUNDOWN_ROUTINE RundownRoutine,
                                 PKNORMAL_ROUTINE NormalRoutine, KPROCESSOR_MODE ProcessorMode,
                                 PVOID NormalContext);
NTKERNELAPI BOOLEAN KeInsertQueueApc(PRKAPC Apc, PVOID SystemArgument1, PVOID SystemArgument2,
                                     KPRIORITY Increment);
NTKERNELAPI BOOLEAN KeTestAlertThread(KPROCESSOR_MODE AlertMode);

// Interlocked operations.
#define InterlockedIncrement(p) __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement(p) __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedIncrement64(p) __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement64(p) __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchange(p, v) __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchange64(p, v) __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchangeAdd(p, v) __atomic_fetch_add((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchangeAdd64(p, v) __atomic_fetch_add((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedOr(p, v) __atomic_fetch_or((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedAnd(p, v) __atomic_fetch_and((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedXor(p, v) __atomic_fetch_xor((p), (v), __ATOMIC_SEQ_CST)
template <typename T, typename V>
inline T InterlockedCompareExchange(volatile T *Destination, V Exchange, V Comparand) {
  T expected = static_cast<T>(Comparand);
  __atomic_compare_exchange_n(Destination, &expected, static_cast<T>(Exchange), false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}
#define InterlockedCompareExchange64 InterlockedCompareExchange
inline PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                               PVOID Comparand) {
  PVOID expected = Comparand;
  __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return expected;
}
inline PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Plain loads and stores with acquire or release ordering, or none, as the
// WDK's ReadAcquire / WriteRelease family gives them.
inline LONG ReadAcquire(LONG const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
inline LONG ReadNoFence(LONG const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteRelease(LONG volatile *Destination, LONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline VOID WriteNoFence(LONG volatile *Destination, LONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
inline ULONG ReadULongAcquire(ULONG const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
inline ULONG ReadULongNoFence(ULONG const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteULongRelease(ULONG volatile *Destination, ULONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline LONG64 ReadAcquire64(LONG64 const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
inline LONG64 ReadNoFence64(LONG64 const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteRelease64(LONG64 volatile *Destination, LONG64 Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline PVOID ReadPointerAcquire(PVOID const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
inline PVOID ReadPointerNoFence(PVOID const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WritePointerRelease(PVOID volatile *Destination, PVOID Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
inline VOID WritePointerNoFence(PVOID volatile *Destination, PVOID Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define YieldProcessor() __builtin_ia32_pause()
