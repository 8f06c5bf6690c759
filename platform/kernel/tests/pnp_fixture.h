// A kernel with the PnP test drivers loaded: a bus on a root device whose
// children tests plug in, and a function driver for them. Every PnP and
// power IRP either driver sees lands in one log, in order.
#pragma once

#include "bw/pnp.h"
#include "platform/kernel/tests/kernel_fixture.h"
#include "platform/kernel/tests/pnpdrv/pnpdrv.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace bw::test {

inline constexpr char16_t kBusService[] = u"PnpTestBus";
inline constexpr char16_t kFuncService[] = u"PnpTestFunc";

class PnpLog {
 public:
  static void Add(const char *who, const char *what) {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(std::string(who) + " " + what);
  }
  static std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> lines;
    lines.swap(lines_);
    return lines;
  }
  // The lines that start with `who` ("func c1") or hold `what`.
  static std::vector<std::string> Matching(const std::vector<std::string> &lines, const std::string &part) {
    std::vector<std::string> out;
    for (const auto &l : lines)
      if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }

 private:
  static inline std::mutex lock_;
  static inline std::vector<std::string> lines_;
};

// A child record: ids as lists, a name, flags.
inline PnpTestChild Child(const char *name, std::vector<std::u16string> hardwareIds,
                          std::vector<std::u16string> compatibleIds = {}, ULONG flags = 0,
                          std::u16string instanceId = {}) {
  PnpTestChild c{};
  size_t at = 0;
  for (const auto &id : hardwareIds) {
    std::copy(id.begin(), id.end(), c.hardwareIds + at);
    at += id.size() + 1;
  }
  at = 0;
  for (const auto &id : compatibleIds) {
    std::copy(id.begin(), id.end(), c.compatibleIds + at);
    at += id.size() + 1;
  }
  if (instanceId.empty()) instanceId = std::u16string(name, name + strlen(name));
  std::copy(instanceId.begin(), instanceId.end(), c.instanceId);
  strncpy(c.name, name, sizeof c.name - 1);
  c.flags = flags;
  return c;
}

class PnpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    // What setup would have written for the test devices.
    SetCriticalDevice(u"PNPTEST#Leaf", kFuncService);
    SetCriticalDevice(u"PNPTEST#Hub", kBusService);
    PnpLog::Take();
    TakePoolBaseline();
  }

  void TearDown() override {
    RemoveDeviceTree();
    for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it) EXPECT_STATUS(STATUS_SUCCESS, UnloadDriver(*it));
    loaded_.clear();
    KernelTest::TearDown();
  }

  static void SetCriticalDevice(std::u16string key, std::u16string service) {
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\CriticalDeviceDatabase\\" + key;
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
    UNICODE_STRING value = RTL_CONSTANT_STRING(u"Service");
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetValueKey(handle, &value, 0, REG_SZ, service.data(),
                                                static_cast<ULONG>((service.size() + 1) * 2)));
    ZwClose(handle);
  }

  void Load(const char *module, std::u16string service) {
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(std::string(BW_BIN_DIR "/") + module, service, &error)) << error;
    loaded_.push_back(service);
    auto setLog = reinterpret_cast<void (*)(PnpTestLog *)>(Hook(module, "PnpTestSetLog"));
    ASSERT_NE(nullptr, setLog);
    setLog(&PnpLog::Add);
  }

  void Unload(std::u16string service) {
    EXPECT_STATUS(STATUS_SUCCESS, UnloadDriver(service));
    loaded_.erase(std::find(loaded_.begin(), loaded_.end(), service));
  }

  // Both drivers loaded and the bus started on a root device.
  void StartBus() {
    Load("pnpbus.sys", kBusService);
    Load("pnpfunc.sys", kFuncService);
    ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\PnpTestBus", kBusService, &busPath_));
    ASSERT_TRUE(WaitForPnpIdle());
    ASSERT_EQ("started", NodeOf(busPath_).state) << DescribeDevNodes();
  }

  static void *Hook(const char *module, const char *name) {
    void *handle = bw::LoadedDriverModule(std::string(BW_BIN_DIR "/") + module);
    return handle ? dlsym(handle, name) : nullptr;
  }

  ULONG Plug(ULONG parent, const PnpTestChild &child) {
    ULONG id = reinterpret_cast<PnpBusPlugFn *>(Hook("pnpbus.sys", "PnpBusPlug"))(parent, &child);
    EXPECT_NE(0u, id);
    EXPECT_TRUE(WaitForPnpIdle());
    return id;
  }
  void Unplug(ULONG id) {
    reinterpret_cast<PnpBusUnplugFn *>(Hook("pnpbus.sys", "PnpBusUnplug"))(id);
    EXPECT_TRUE(WaitForPnpIdle());
  }
  PDEVICE_OBJECT Pdo(ULONG id) { return reinterpret_cast<PnpBusPdoFn *>(Hook("pnpbus.sys", "PnpBusPdo"))(id); }
  ULONG FuncDevices() {
    return reinterpret_cast<PnpFuncDeviceCountFn *>(Hook("pnpfunc.sys", "PnpFuncDeviceCount"))();
  }


 public:
  // The devnode with this instance path; its state "none" when there is none.
  static DevNodeInfo NodeOf(std::u16string_view path) {
    for (auto &n : DevNodes())
      if (n.instancePath == path) return n;
    DevNodeInfo none;
    none.state = "none";
    return none;
  }
  // The devnode whose location text (the test child's name) is `name`.
  static DevNodeInfo Named(const char *name) {
    std::u16string location(name, name + strlen(name));
    for (auto &n : DevNodes())
      if (n.location == location) return n;
    DevNodeInfo none;
    none.state = "none";
    return none;
  }

 protected:
  std::u16string busPath_;
  std::vector<std::u16string> loaded_;
};

}  // namespace bw::test
