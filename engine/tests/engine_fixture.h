// A fresh in-process kernel per test with the bus and the engine loaded,
// and a user process holding the engine's control device open.
#pragma once

#include "bw/host.h"
#include "bw/user_session.h"
#include "engine/protocol/engine_protocol.h"
#include "tests/support/booted_kernel.h"
#include "tests/support/status_matchers.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace enginetest {

inline constexpr char16_t kEngineService[] = u"RamvolEngine";
inline constexpr char16_t kBusService[] = u"BWRDPort";

std::string BinPath(const char *module);

// A pool tag from its four characters, first character lowest.
constexpr ULONG TagOf(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// Pool tags of the drivers and their support library.
bool IsDriverTag(ULONG tag);
// Outstanding driver allocations, as "tag: count" lines (empty when none).
std::string DriverPoolLeaks();

// A view of zero-terminated UTF-16 text, and a counted string's text.
UNICODE_STRING View(const char16_t *text);
std::u16string Text(PCUNICODE_STRING string);
// The mount manager's database (MountedDevices) as value name -> data.
std::map<std::u16string, std::vector<uint8_t>> MountedDevicesValues();

// Creates the service key a loaded driver expects to exist.
NTSTATUS CreateServiceKey(std::u16string_view service);

// Bytes of a packed record, written field by field.
class Record {
 public:
  explicit Record(size_t size = 0) : bytes_(size, 0) {}
  template <typename T>
  Record &Put(size_t offset, T value) {
    if (bytes_.size() < offset + sizeof(T)) bytes_.resize(offset + sizeof(T));
    std::memcpy(bytes_.data() + offset, &value, sizeof(T));
    return *this;
  }
  Record &Resize(size_t size) {
    bytes_.resize(size);
    return *this;
  }
  const std::vector<uint8_t> &Bytes() const { return bytes_; }
  size_t Size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

class KernelFixture : public bw::test::BootedKernelTest {
 protected:
  // Boots with the drivers' service keys in place.
  void SetUp() override;
  // Unloads what was loaded, then checks for leaks and shuts down.
  void TearDown() override;

  // The engine module may be the test build.
  NTSTATUS LoadBus();
  NTSTATUS LoadEngine();
  void UnloadAll();
  // Loads the bus and the engine and opens the engine's control device in
  // a new user process (process_, thread_ with label Tid, control_).
  void StartEngineWithClient(uint32_t tid);

  std::shared_ptr<bw::UserProcess> NewProcess(bool wow64 = false, uint32_t pid = 0);
  // Opens "\??\BrimwellVolume" in Process for Thread.
  HANDLE OpenControl(bw::UserProcess &process, bw::UserThread &thread);

  bw::IoResult Control(ULONG code, const Record &input, ULONG outputLength);
  bw::IoResult Control(ULONG code, const void *input, ULONG inputLength, ULONG outputLength);

  virtual const char *EngineModule() const { return "ramvol.sys"; }
  // An entry point exported by the loaded engine module (the test build's
  // hooks), as a function of type T; null when it has none.
  template <typename T>
  T EngineHook(const char *name) const {
    return reinterpret_cast<T>(EngineSymbol(name));
  }
  void *EngineSymbol(const char *name) const;

  bool systemLoaded_ = false;  // the mount manager and the raw file system
  bool busLoaded_ = false;
  bool engineLoaded_ = false;
  std::shared_ptr<bw::UserProcess> process_;
  std::shared_ptr<bw::UserThread> thread_;
  HANDLE control_ = nullptr;
};

}  // namespace enginetest
