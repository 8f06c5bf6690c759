#include "platform/daemon/registry_handles.h"

namespace bw {

RegistryHandle::~RegistryHandle() {
  if (kernel) ZwClose(kernel);
}

uint64_t RegistryHandles::Insert(std::shared_ptr<RegistryHandle> key) {
  std::lock_guard<std::mutex> guard(lock_);
  // Multiples of 4 as Windows' handles are, well away from the predefined
  // keys' numbers at the top.
  last_ += 4;
  keys_[last_] = std::move(key);
  return last_;
}

std::shared_ptr<RegistryHandle> RegistryHandles::Find(uint64_t number) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = keys_.find(number);
  return it == keys_.end() ? nullptr : it->second;
}

bool RegistryHandles::Remove(uint64_t number) {
  std::shared_ptr<RegistryHandle> gone;
  std::lock_guard<std::mutex> guard(lock_);
  auto it = keys_.find(number);
  if (it == keys_.end()) return false;
  gone = std::move(it->second);
  keys_.erase(it);
  return true;
}

}  // namespace bw
