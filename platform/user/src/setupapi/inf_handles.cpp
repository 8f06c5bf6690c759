// The table of open INF handles.
#include "platform/user/src/setupapi/inf_handles.h"

#include <map>
#include <mutex>

namespace bw::setup {

namespace {
std::mutex gLock;
std::map<PVOID, std::shared_ptr<OpenInf>> gOpen;
}  // namespace

PVOID RegisterInf(std::unique_ptr<OpenInf> open) {
  std::shared_ptr<OpenInf> shared(std::move(open));
  std::lock_guard<std::mutex> guard(gLock);
  PVOID handle = shared.get();
  gOpen[handle] = std::move(shared);
  return handle;
}

std::shared_ptr<OpenInf> FindInf(PVOID handle) {
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gOpen.find(handle);
  return it == gOpen.end() ? nullptr : it->second;
}

void ReleaseInf(PVOID handle) {
  std::lock_guard<std::mutex> guard(gLock);
  gOpen.erase(handle);
}

}  // namespace bw::setup
