// Notifications as a client thread receives them when volumes are created,
// ejected, flushed and removed: each event once, with the volume's handle,
// in the order things happened, and nothing once the thread has withdrawn
// or ended.
#include "engine/tests/apc_log.h"
#include "engine/tests/volume_fixture.h"

#include <set>


namespace enginetest {
namespace {

constexpr uint64_t kRoutine = 0x00007FF6A0B01000ull;

struct Event {
  uint64_t handle;
  uint64_t code;
  bool operator==(const Event &other) const { return handle == other.handle && code == other.code; }
};

std::ostream &operator<<(std::ostream &out, const Event &event) {
  return out << "{handle 0x" << std::hex << event.handle << std::dec << ", event " << event.code << "}";
}

class VolumeEvents : public VolumeFixture {
 protected:
  const char *EngineModule() const override { return "ramvol_hooks.sys"; }

  void SetUp() override {
    VolumeFixture::SetUp();
    if (HasFatalFailure()) return;
    registrations_ = EngineHook<ULONG (*)()>("EngineTestRegistrationCount");
    ASSERT_NE(nullptr, registrations_);
    listener_ = process_->CreateThread(300);
    log_.Attach(*listener_);
    ASSERT_STATUS(STATUS_SUCCESS, process_->OpenThreadHandle(*listener_, &listenerHandle_));
  }

  NTSTATUS Register(uint64_t routine) {
    return Control(IOCTL_ENGINE_REGISTER_NOTIFY,
                   Record(16).Put<uint64_t>(0, reinterpret_cast<uint64_t>(listenerHandle_)).Put<uint64_t>(8, routine),
                   0)
        .status;
  }

  // Everything the listener received, every APC checked for the routine.
  std::vector<Event> Received() {
    std::vector<Event> events;
    for (const bw::UserApc &apc : log_.All()) {
      EXPECT_EQ(kRoutine, apc.routine);
      events.push_back({apc.normalContext, apc.systemArgument1});
    }
    return events;
  }

  ULONG (*registrations_)() = nullptr;
  std::shared_ptr<bw::UserThread> listener_;
  HANDLE listenerHandle_ = nullptr;
  ApcLog log_;
};

TEST_F(VolumeEvents, EachTriggerReachesTheRegisteredThreadInOrder) {
  ASSERT_STATUS(STATUS_SUCCESS, Register(kRoutine));
  std::string image = root_ + "/events.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(image, ENGINE_ALGORITHM_NULL, u"", 2 * kMiB, ENGINE_FS_FAT));
  // Making an image file is no volume: nothing is sent.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(0u, log_.Count());

  Reply saved = CreateMemory(0, kMemory, 0, 0, NtPath(image));
  ASSERT_STATUS(STATUS_SUCCESS, saved.status);
  Reply plain = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, plain.status);
  ASSERT_TRUE(log_.WaitForEvent(ENGINE_EVENT_VOLUME_CREATED));

  // The storage stack asks for an eject.
  HANDLE device = OpenDevice(saved.handle);
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_STORAGE_EJECT_MEDIA, {}, 0));
  CloseDevice(device);
  ASSERT_TRUE(log_.WaitForEvent(ENGINE_EVENT_EJECT_REQUESTED));

  // One autoflush, then no more.
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(saved.handle, 1, 0));
  ASSERT_TRUE(log_.WaitForEvent(ENGINE_EVENT_AUTOFLUSH_FINISHED));
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(saved.handle, 0, 0));

  // Removal: events 2 and 5 come from the reaper, the one volume after the other.
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(plain.handle, 1, 0));
  WaitForVolumeCount(1);
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(saved.handle, 0, 0));
  WaitForVolumeCount(0);
  ASSERT_EQ(0u, VolumeCount());
  log_.WaitFor(10, 300ms);

  const std::vector<Event> expected = {
      {saved.handle, ENGINE_EVENT_VOLUME_CREATED},     {plain.handle, ENGINE_EVENT_VOLUME_CREATED},
      {saved.handle, ENGINE_EVENT_EJECT_REQUESTED},    {saved.handle, ENGINE_EVENT_AUTOFLUSH_STARTED},
      {saved.handle, ENGINE_EVENT_AUTOFLUSH_FINISHED}, {plain.handle, ENGINE_EVENT_VOLUME_REMOVING},
      {plain.handle, ENGINE_EVENT_VOLUME_REMOVED},     {saved.handle, ENGINE_EVENT_VOLUME_REMOVING},
      {saved.handle, ENGINE_EVENT_VOLUME_REMOVED},
  };
  EXPECT_EQ(expected, Received());
}

TEST_F(VolumeEvents, AFailedCreationIsNeverAnnounced) {
  ASSERT_STATUS(STATUS_SUCCESS, Register(kRoutine));
  Reply missing = CreateMemory(0, kMemory, 0, 0, NtPath(root_ + "/missing.img"));
  EXPECT_FALSE(NT_SUCCESS(missing.status));
  Reply noAlgorithm = CreateMemory(0, kMemory, kMiB, ENGINE_FS_RAW);
  EXPECT_FALSE(NT_SUCCESS(noAlgorithm.status));
  // Torn down part-way (the device cannot be had): no events 4, 2 or 5.
  for (uint32_t skip = 0; skip < 60; ++skip) {
    bw::InjectFault(bw::Fault::PoolAllocation, skip, 1);
    Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
    bw::ClearFaults();
    if (NT_SUCCESS(reply.status)) {
      // This one exists. Its event 4 may be what the failed allocation
      // cost (a notification that cannot be queued is dropped); its
      // removal is announced with 2 and 5.
      EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, 1, 0));
      ASSERT_TRUE(log_.WaitForEvent(ENGINE_EVENT_VOLUME_REMOVED));
      std::vector<Event> events = Received();
      if (events.size() == 3) {
        EXPECT_EQ((Event{reply.handle, ENGINE_EVENT_VOLUME_CREATED}), events[0]);
        events.erase(events.begin());
      }
      EXPECT_EQ((std::vector<Event>{{reply.handle, ENGINE_EVENT_VOLUME_REMOVING},
                                    {reply.handle, ENGINE_EVENT_VOLUME_REMOVED}}),
                events);
      return;
    }
    ASSERT_EQ(0u, log_.Count()) << "after failing allocation " << skip;
  }
  ADD_FAILURE() << "no creation succeeded";
}

// A removal's notices may still be on their way when the next volume is
// made, perhaps in the same memory: that volume has a handle of its own, so
// the notices cannot be taken for it.
TEST_F(VolumeEvents, HandlesAreNeverIssuedTwice) {
  ASSERT_STATUS(STATUS_SUCCESS, Register(kRoutine));
  std::set<uint64_t> seen;
  for (int i = 0; i < 8; ++i) {
    Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
    ASSERT_STATUS(STATUS_SUCCESS, reply.status);
    EXPECT_NE(0u, reply.handle);
    EXPECT_TRUE(seen.insert(reply.handle).second) << "handle 0x" << std::hex << reply.handle << " again";
    EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, 1, 0));
    WaitForVolumeCount(0);
  }
  // The removed ones are refused, not found anew.
  for (uint64_t handle : seen)
    EXPECT_STATUS(STATUS_INVALID_HANDLE, Unmount(handle, 1, 0));
}

TEST_F(VolumeEvents, NothingReachesAThreadThatWithdrewOrEnded) {
  ASSERT_STATUS(STATUS_SUCCESS, Register(kRoutine));
  Reply first = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, first.status);
  ASSERT_TRUE(log_.WaitForEvent(ENGINE_EVENT_VOLUME_CREATED));

  // Withdrawn: the removal of the first volume and a new volume go unseen.
  ASSERT_STATUS(STATUS_SUCCESS, Register(0));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(first.handle, 1, 0));
  WaitForVolumeCount(0);
  Reply second = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, second.status);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ((std::vector<Event>{{first.handle, ENGINE_EVENT_VOLUME_CREATED}}), Received());

  // Registered again, then the thread ends: neither the broadcasts before
  // the reaper drops it nor those after reach it.
  ASSERT_STATUS(STATUS_SUCCESS, Register(kRoutine));
  EXPECT_EQ(1u, registrations_());
  listener_->Terminate();
  Reply third = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, third.status);
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(second.handle, 1, 0));
  WaitForVolumeCount(1);
  for (int i = 0; i < 200 && registrations_() != 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(0u, registrations_());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(1u, log_.Count());
  // Nothing an undelivered notification held stays behind.
  EXPECT_EQ(0u, bw::PoolBytesWithTag(TagOf("Xapc")));
}

}  // namespace
}  // namespace enginetest
