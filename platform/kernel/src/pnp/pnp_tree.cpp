// The device tree and the PnP manager's thread: enumeration, starts and
// removals run there one at a time, while callers queue work and go on.
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "io/io_internal.h"
#include "ps/process.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace bw {

namespace {

std::mutex gTreeLock;
DevNode gRoot;

std::mutex gQueueLock;
std::condition_variable gQueueChanged;
std::deque<std::function<void()>> gQueue;
bool gBusy = false;
bool gStopping = false;
std::thread gWorker;
std::thread::id gWorkerId;

void WorkerLoop() {
  PKTHREAD thread = CreateThreadObject(SystemProcess(), 0, true);
  {
    ThreadContext context(thread);
    std::unique_lock<std::mutex> guard(gQueueLock);
    for (;;) {
      gQueueChanged.wait(guard, [] { return gStopping || !gQueue.empty(); });
      if (gQueue.empty()) break;
      std::function<void()> work = std::move(gQueue.front());
      gQueue.pop_front();
      gBusy = true;
      guard.unlock();
      work();
      if (KeGetCurrentIrql() != PASSIVE_LEVEL) KernelFault("PnP work returned above PASSIVE_LEVEL");
      guard.lock();
      gBusy = false;
      gQueueChanged.notify_all();
    }
  }
  TerminateThreadObject(thread, STATUS_SUCCESS);
  ObfDereferenceObject(thread);
}

}  // namespace

const char *StateName(DevNodeState state) {
  switch (state) {
    case DevNodeState::Enumerated: return "enumerated";
    case DevNodeState::NoDriver: return "no driver";
    case DevNodeState::AddFailed: return "add failed";
    case DevNodeState::Started: return "started";
    case DevNodeState::StartFailed: return "start failed";
    case DevNodeState::Failed: return "failed";
    case DevNodeState::Removed: return "removed";
  }
  return "?";
}

std::mutex &PnpLock() { return gTreeLock; }
DevNode &TreeRoot() { return gRoot; }

DevNode *DevNodeOf(PDEVICE_OBJECT device) {
  if (!device) return nullptr;
  // Drivers may name any device of the stack; the devnode hangs on its PDO.
  PDEVICE_OBJECT lower;
  while ((lower = static_cast<PDEVICE_OBJECT>(device->Reserved)) != nullptr) device = lower;
  return static_cast<DevNode *>(StateOf(device)->devNode);
}

void SetDevNodeOf(PDEVICE_OBJECT pdo, DevNode *node) { StateOf(pdo)->devNode = node; }

DevNode *FindDevNode(std::u16string_view instancePath) {
  std::vector<DevNode *> pending{&gRoot};
  while (!pending.empty()) {
    DevNode *node = pending.back();
    pending.pop_back();
    if (node != &gRoot && EqualNoCase(node->instancePath, instancePath)) return node;
    for (auto &child : node->children) pending.push_back(child.get());
  }
  return nullptr;
}

void QueuePnpWork(std::function<void()> work) {
  std::lock_guard<std::mutex> guard(gQueueLock);
  if (gStopping) return;
  gQueue.push_back(std::move(work));
  gQueueChanged.notify_all();
}

bool OnPnpThread() { return std::this_thread::get_id() == gWorkerId; }

void RunOnPnpThread(const std::function<void()> &work) {
  if (OnPnpThread()) {
    work();
    return;
  }
  std::mutex doneLock;
  std::condition_variable doneChanged;
  bool done = false;
  {
    std::lock_guard<std::mutex> guard(gQueueLock);
    if (gStopping) return;
    gQueue.push_back([&] {
      work();
      std::lock_guard<std::mutex> doneGuard(doneLock);
      done = true;
      doneChanged.notify_all();
    });
    gQueueChanged.notify_all();
  }
  std::unique_lock<std::mutex> doneGuard(doneLock);
  doneChanged.wait(doneGuard, [&] { return done; });
}

void PnpThreadsStart() {
  std::lock_guard<std::mutex> guard(gQueueLock);
  gStopping = false;
  gWorker = std::thread(WorkerLoop);
  gWorkerId = gWorker.get_id();
}

void PnpThreadsStop() {
  {
    std::lock_guard<std::mutex> guard(gQueueLock);
    gStopping = true;
    gQueueChanged.notify_all();
  }
  if (gWorker.joinable()) gWorker.join();
  std::lock_guard<std::mutex> guard(gQueueLock);
  gQueue.clear();
  gWorkerId = {};
}

bool WaitPnpQueueIdle(int timeoutMs) {
  std::unique_lock<std::mutex> guard(gQueueLock);
  return gQueueChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                [] { return gQueue.empty() && !gBusy; });
}

}  // namespace bw
