// The dispatcher lock shared by every waitable object.
#pragma once

#include "nt/ke.h"

#include <condition_variable>
#include <mutex>

namespace bw {

// Dispatcher object types (DISPATCHER_HEADER.Type) as the kernel numbers them.
enum DispatcherType : UCHAR {
  kNotificationEvent = 0,
  kSynchronizationEvent = 1,
  kMutant = 2,
  kProcess = 3,
  kSemaphore = 5,
  kThread = 6,
  kNotificationTimer = 8,
  kSynchronizationTimer = 9,
};

std::mutex &DispatcherLock();
// Wakes every waiter to re-check its objects; call with the lock held.
void DispatcherNotify();
void InitializeDispatcherHeader(DISPATCHER_HEADER *header, UCHAR type, LONG signalState);
// Sets the signal state under the dispatcher lock and wakes waiters.
void SignalObject(DISPATCHER_HEADER *header, LONG state);

// Timers and DPCs run on the kernel's timer thread.
void TimersInit();
void TimersShutdown();

}  // namespace bw
