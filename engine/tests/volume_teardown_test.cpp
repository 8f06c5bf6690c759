// The end of a volume: what its memory holds when it is given back, and an
// unload that comes while an autoflush is writing.
#include "engine/tests/volume_fixture.h"

#include <filesystem>
#include <fstream>
#include <future>

namespace enginetest {
namespace {

class VolumeTeardown : public VolumeFixture {
 protected:
  // Unmounts and waits until the reaper has released the volume's memory;
  // returns what the released pages held.
  bw::FreedPageCensus UnmountAndCount(uint64_t handle, uint8_t force, uint8_t wipe) {
    bw::StartFreedPageCensus();
    EXPECT_STATUS(STATUS_SUCCESS, Unmount(handle, force, wipe));
    WaitForVolumeCount(0);
    EXPECT_EQ(0u, VolumeCount());
    WaitForPagesReleased();
    return bw::StopFreedPageCensus();
  }
};

TEST_F(VolumeTeardown, WipeGivesBackZeroedPagesAndNoWipeLeavesTheData) {
  constexpr ULONGLONG size = 4 * kMiB;
  struct Case {
    uint32_t algorithm;
    uint8_t force;
    uint8_t wipe;
  };
  for (Case c : {Case{ENGINE_ALGORITHM_NULL, 1, 1}, Case{ENGINE_ALGORITHM_XOR, 0, 1},
                 Case{ENGINE_ALGORITHM_NULL, 1, 0}, Case{ENGINE_ALGORITHM_XOR, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << "algorithm " << c.algorithm << " force " << int(c.force) << " wipe "
                                    << int(c.wipe));
    // An XOR volume holds its key stream for every zero it was never written.
    Reply reply = CreateMemory(c.algorithm, kMemory, size, ENGINE_FS_RAW, u"", u"wipe-key");
    ASSERT_STATUS(STATUS_SUCCESS, reply.status);
    HANDLE device = OpenDevice(reply.handle);
    std::vector<uint8_t> data = Pattern(size / 2, 7);
    ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, data.data(), static_cast<ULONG>(data.size()), kMiB));
    CloseDevice(device);

    bw::FreedPageCensus census = UnmountAndCount(reply.handle, c.force, c.wipe);
    // The volume's own pages were among those given back.
    EXPECT_GE(census.bytes, size);
    if (c.wipe) {
      EXPECT_EQ(0u, census.nonZeroBytes);
    } else {
      EXPECT_GE(census.nonZeroBytes, size / 4);
    }
  }
  EXPECT_EQ(0u, bw::MdlPagesOutstanding());
}

TEST_F(VolumeTeardown, AWipeRecordedForAVolumeStillOpenAppliesWhenItGoes) {
  Reply reply = CreateMemory(ENGINE_ALGORITHM_XOR, kMemory, 2 * kMiB, ENGINE_FS_FAT, u"", u"k", "OPEN");
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  HANDLE device = OpenDevice(reply.handle);
  bw::StartFreedPageCensus();
  // The open handle holds the raw file system's volume: only a forced
  // unmount goes ahead of it.
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, 1, 1));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(1u, VolumeCount());
  CloseDevice(device);
  WaitForVolumeCount(0);
  WaitForPagesReleased();
  bw::FreedPageCensus census = bw::StopFreedPageCensus();
  EXPECT_GE(census.bytes, 2 * kMiB);
  EXPECT_EQ(0u, census.nonZeroBytes);
}

// The engine unloads while a flush work item writes a large image: the
// unload waits for the item, which finishes its flush with events 6 and 7,
// and nothing is used after it was freed.
TEST_F(VolumeTeardown, UnloadWaitsForAFlushUnderWay) {
  constexpr ULONGLONG size = 48 * kMiB;
  std::string image = root_ + "/unload-flush.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(image, ENGINE_ALGORITHM_NULL, u"", size, ENGINE_FS_RAW));
  Reply reply = CreateMemory(0, kMemory, 0, 0, NtPath(image));
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  std::vector<uint8_t> contents = Pattern(size, 11);
  HANDLE device = OpenDevice(reply.handle);
  for (ULONGLONG at = 0; at < size; at += 8 * kMiB)
    ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, contents.data() + at, static_cast<ULONG>(8 * kMiB), at));
  CloseDevice(device);

  // The listener hears event 6 as the flush starts.
  auto listener = process_->CreateThread(300);
  HANDLE listenerHandle = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, process_->OpenThreadHandle(*listener, &listenerHandle));
  std::promise<void> started;
  std::vector<uint64_t> events;
  std::mutex eventsLock;
  listener->SetApcSink([&](const bw::UserApc &apc) {
    std::lock_guard<std::mutex> guard(eventsLock);
    events.push_back(apc.systemArgument1);
    if (apc.systemArgument1 == ENGINE_EVENT_AUTOFLUSH_STARTED && events.size() == 1) started.set_value();
  });
  ASSERT_STATUS(STATUS_SUCCESS,
                Control(IOCTL_ENGINE_REGISTER_NOTIFY,
                        Record(16).Put<uint64_t>(0, reinterpret_cast<uint64_t>(listenerHandle)).Put<uint64_t>(8, 0x1000),
                        0)
                    .status);
  ASSERT_STATUS(STATUS_SUCCESS, FlushState(reply.handle, 1, 0));
  ASSERT_EQ(std::future_status::ready, started.get_future().wait_for(10s));

  // Unload at once, as the system does: the control handle goes first.
  process_->Close(control_);
  control_ = nullptr;
  EXPECT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(kEngineService));
  engineLoaded_ = false;
  listener->SetApcSink(nullptr);

  {
    std::lock_guard<std::mutex> guard(eventsLock);
    EXPECT_EQ((std::vector<uint64_t>{ENGINE_EVENT_AUTOFLUSH_STARTED, ENGINE_EVENT_AUTOFLUSH_FINISHED}), events);
  }
  // The flush ran to its end: copy 1, every block, and the file cut after the data.
  ASSERT_EQ(size + 4096, std::filesystem::file_size(image));
  std::ifstream in(image, std::ios::binary);
  in.seekg(4096);
  std::vector<uint8_t> stored(size);
  in.read(reinterpret_cast<char *>(stored.data()), static_cast<std::streamsize>(size));
  EXPECT_TRUE(stored == contents);
}

}  // namespace
}  // namespace enginetest
