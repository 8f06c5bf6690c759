// Several client processes sending requests at the same time.
#include "engine/tests/engine_fixture.h"

#include <atomic>
#include <thread>

namespace enginetest {
namespace {

class Concurrency : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
    ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());
  }
};

TEST_F(Concurrency, ProcessesSendRequestsAtOnce) {
  constexpr int kProcesses = 4, kThreadsEach = 2, kRounds = 150;
  struct Worker {
    std::shared_ptr<bw::UserProcess> process;
    std::shared_ptr<bw::UserThread> thread;
    std::shared_ptr<bw::UserThread> listener;
    HANDLE control = nullptr;
    HANDLE listenerHandle = nullptr;
  };
  std::vector<Worker> workers;
  for (int p = 0; p < kProcesses; ++p) {
    auto process = NewProcess(p % 2 == 1);
    for (int t = 0; t < kThreadsEach; ++t) {
      Worker w;
      w.process = process;
      w.thread = process->CreateThread(1000 + p * 10 + t);
      w.listener = process->CreateThread(2000 + p * 10 + t);
      w.control = OpenControl(*process, *w.thread);
      ASSERT_STATUS(STATUS_SUCCESS, process->OpenThreadHandle(*w.listener, &w.listenerHandle));
      workers.push_back(w);
    }
  }

  std::atomic<int> wrong{0};
  auto expect = [&](NTSTATUS expected, const bw::IoResult &result) {
    if (result.status != expected) wrong++;
  };
  std::vector<std::thread> threads;
  for (auto &w : workers) {
    threads.emplace_back([&, w] {
      Record handle(8);
      handle.Put<uint64_t>(0, 0x00007F0000001000ull);
      Record registration;
      if (w.process->IsWow64())
        registration.Put<uint32_t>(0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w.listenerHandle)));
      else
        registration.Put<uint64_t>(0, reinterpret_cast<uint64_t>(w.listenerHandle));
      const size_t routineOffset = w.process->IsWow64() ? 4 : 8;
      auto send = [&](ULONG code, const Record &in, ULONG out) {
        return w.process->DeviceIoControl(*w.thread, w.control, code, in.Size() ? in.Bytes().data() : nullptr,
                                          static_cast<ULONG>(in.Size()), out);
      };
      for (int round = 0; round < kRounds; ++round) {
        expect(STATUS_SUCCESS, send(IOCTL_ENGINE_LIST_VOLUMES, Record(), 0));
        expect(STATUS_INVALID_HANDLE, send(IOCTL_ENGINE_QUERY_VOLUME, handle, 100));
        expect(STATUS_SUCCESS, send(IOCTL_ENGINE_GET_AUTO_VOLUMES, Record(), 64));
        Record reg = registration;
        if (w.process->IsWow64()) reg.Put<uint32_t>(routineOffset, round % 2 ? 0 : 0x401000);
        else reg.Put<uint64_t>(routineOffset, round % 2 ? 0 : 0x140001000ull);
        expect(STATUS_SUCCESS, send(IOCTL_ENGINE_REGISTER_NOTIFY, reg, 0));
        expect(STATUS_INVALID_DEVICE_REQUEST, send(0x222000, Record(4), 4));
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
  for (auto &w : workers) w.process->Close(w.control);
  for (auto &w : workers) w.process->Terminate();
}

}  // namespace
}  // namespace enginetest
