// Start-up, unload and the failure of start-up: what exists afterwards.
#include "engine/tests/engine_fixture.h"

namespace enginetest {
namespace {

constexpr char16_t kControlDevice[] = u"\\Device\\BrimwellVolume";
constexpr char16_t kControlLink[] = u"\\??\\BrimwellVolume";

class EngineLifecycle : public KernelFixture {};

bool KeyExists(const std::u16string &path) {
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      const_cast<char16_t *>(path.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return false;
  ZwClose(key);
  return true;
}

TEST_F(EngineLifecycle, StartCreatesDeviceLinkAndConfiguration) {
  ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
  ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());
  EXPECT_TRUE(bw::ObjectExists(kControlDevice));
  EXPECT_TRUE(bw::ObjectExists(kControlLink));
  const std::u16string service = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RamvolEngine";
  EXPECT_TRUE(KeyExists(service + u"\\Options"));
  EXPECT_TRUE(KeyExists(service + u"\\Options\\Auto"));

  // A user process reaches the engine through the link.
  process_ = NewProcess();
  thread_ = process_->CreateThread(1);
  control_ = OpenControl(*process_, *thread_);
  EXPECT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, 0).status);

  UnloadAll();
  EXPECT_FALSE(bw::ObjectExists(kControlDevice));
  EXPECT_FALSE(bw::ObjectExists(kControlLink));
  // The configuration outlives the driver.
  EXPECT_TRUE(KeyExists(service + u"\\Options\\Auto"));
}

TEST_F(EngineLifecycle, StartFailsCleanlyWithoutTheBus) {
  size_t handles = bw::KernelHandleCount();
  NTSTATUS status = LoadEngine();
  EXPECT_FALSE(NT_SUCCESS(status)) << bw::StatusText(status);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, status);
  EXPECT_FALSE(bw::ObjectExists(kControlDevice));
  EXPECT_FALSE(bw::ObjectExists(kControlLink));
  EXPECT_EQ(handles, bw::KernelHandleCount());
  EXPECT_EQ("", DriverPoolLeaks());

  // Once the bus is there the engine starts.
  ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
  EXPECT_STATUS(STATUS_SUCCESS, LoadEngine());
  EXPECT_TRUE(bw::ObjectExists(kControlLink));
}

TEST_F(EngineLifecycle, StartFailsCleanlyWhenTheLinkNameIsTaken) {
  ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\BrimwellVolume");
  UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Elsewhere");
  ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));
  size_t handles = bw::KernelHandleCount();
  std::string busPool = DriverPoolLeaks();
  NTSTATUS status = LoadEngine();
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, status);
  EXPECT_FALSE(bw::ObjectExists(kControlDevice));
  EXPECT_EQ(handles, bw::KernelHandleCount());
  EXPECT_EQ(busPool, DriverPoolLeaks());
  IoDeleteSymbolicLink(&link);
}

// Every allocation of start-up fails once in turn: each failure leaves
// nothing behind, and the first run without a failure starts the engine.
TEST_F(EngineLifecycle, StartSurvivesEveryAllocationFailure) {
  ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
  size_t handles = bw::KernelHandleCount();
  std::string busPool = DriverPoolLeaks();
  bool started = false;
  for (uint32_t skip = 0; skip < 400 && !started; ++skip) {
    bw::InjectFault(bw::Fault::PoolAllocation, skip, 1);
    NTSTATUS status = LoadEngine();
    bw::ClearFaults();
    if (NT_SUCCESS(status)) {
      started = true;
      break;
    }
    SCOPED_TRACE("allocation " + std::to_string(skip) + " failed: " + bw::StatusText(status));
    ASSERT_FALSE(bw::ObjectExists(kControlDevice));
    ASSERT_FALSE(bw::ObjectExists(kControlLink));
    ASSERT_EQ(handles, bw::KernelHandleCount());
    ASSERT_EQ(busPool, DriverPoolLeaks());
  }
  EXPECT_TRUE(started);
}

TEST_F(EngineLifecycle, UnloadLeavesNoPoolWithRegistrationsOutstanding) {
  ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(1));
  std::vector<std::shared_ptr<bw::UserThread>> listeners;
  for (uint32_t i = 0; i < 3; ++i) {
    listeners.push_back(process_->CreateThread(10 + i));
    HANDLE thread = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, process_->OpenThreadHandle(*listeners.back(), &thread));
    Record registration(16);
    registration.Put<uint64_t>(0, reinterpret_cast<uint64_t>(thread)).Put<uint64_t>(8, 0x140001000ull + i);
    ASSERT_STATUS(STATUS_SUCCESS, Control(IOCTL_ENGINE_REGISTER_NOTIFY, registration, 0).status);
  }
  UnloadAll();
  EXPECT_EQ("", DriverPoolLeaks());
  for (const auto &usage : bw::PoolUsage()) {
    if (IsDriverTag(usage.tag)) {
      EXPECT_EQ(0u, usage.bytes) << bw::TagName(usage.tag);
    }
  }
}

TEST_F(EngineLifecycle, ControlDeviceRefusesReadAndWrite) {
  ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(1));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, process_->Read(*thread_, control_, 512, 0).status);
  uint8_t data[16] = {};
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, process_->Write(*thread_, control_, data, sizeof(data), 0).status);
}

}  // namespace
}  // namespace enginetest
