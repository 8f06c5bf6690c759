// The registry keys a client process holds open: kernel handles to keys,
// each with the access it was granted and the full path it names (which
// decides who may change what below it). Numbered per process; the keys
// close with their last user, at the latest when the process goes.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace bw {

struct RegistryHandle {
  HANDLE kernel = nullptr;  // an OBJ_KERNEL_HANDLE of the daemon
  ACCESS_MASK access = 0;
  std::u16string path;      // "\Registry\...", as opened
  RegistryHandle() = default;
  RegistryHandle(const RegistryHandle &) = delete;
  RegistryHandle &operator=(const RegistryHandle &) = delete;
  ~RegistryHandle();
};

class RegistryHandles {
 public:
  // The number the process knows the key by (never 0, never a predefined key).
  uint64_t Insert(std::shared_ptr<RegistryHandle> key);
  std::shared_ptr<RegistryHandle> Find(uint64_t number) const;
  // False when the process holds no such key.
  bool Remove(uint64_t number);

 private:
  mutable std::mutex lock_;
  std::map<uint64_t, std::shared_ptr<RegistryHandle>> keys_;
  uint64_t last_ = 0;
};

}  // namespace bw
