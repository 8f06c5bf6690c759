// Notification registrations and their delivery as user-mode APCs. The
// test build of the engine exports hooks to broadcast and to count.
#include "engine/tests/apc_log.h"
#include "engine/tests/engine_fixture.h"


#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace enginetest {
namespace {

using namespace std::chrono_literals;

struct Hooks {
  void (*Broadcast)(ULONG64 handle, ULONG event) = nullptr;
  ULONG (*RegistrationCount)() = nullptr;
  void (*WakeReaper)() = nullptr;
};

// A client process with a thread that sends requests and one that listens.
struct Client {
  std::shared_ptr<bw::UserProcess> process;
  std::shared_ptr<bw::UserThread> sender;
  std::shared_ptr<bw::UserThread> listener;
  HANDLE control = nullptr;
  HANDLE listenerHandle = nullptr;
  ApcLog log;
};

class Notifications : public KernelFixture {
 protected:
  const char *EngineModule() const override { return "ramvol_hooks.sys"; }

  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
    ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());
    hooks_.Broadcast = EngineHook<decltype(hooks_.Broadcast)>("EngineTestBroadcast");
    hooks_.RegistrationCount = EngineHook<decltype(hooks_.RegistrationCount)>("EngineTestRegistrationCount");
    hooks_.WakeReaper = EngineHook<decltype(hooks_.WakeReaper)>("EngineTestWakeReaper");
    ASSERT_TRUE(hooks_.Broadcast && hooks_.RegistrationCount && hooks_.WakeReaper);
  }

  void TearDown() override {
    for (auto &client : clients_) {
      if (client->control) client->process->Close(client->control);
      client->process->Terminate();
    }
    clients_.clear();
    KernelFixture::TearDown();
  }

  Client &NewClient(bool wow64) {
    clients_.push_back(std::make_unique<Client>());
    Client &client = *clients_.back();
    client.process = NewProcess(wow64);
    client.sender = client.process->CreateThread(200 + static_cast<uint32_t>(clients_.size()));
    client.listener = client.process->CreateThread(300 + static_cast<uint32_t>(clients_.size()));
    client.log.Attach(*client.listener);
    client.control = OpenControl(*client.process, *client.sender);
    EXPECT_STATUS(STATUS_SUCCESS, client.process->OpenThreadHandle(*client.listener, &client.listenerHandle));
    return client;
  }

  bw::IoResult Register(Client &client, HANDLE thread, uint64_t routine) {
    Record input;
    if (client.process->IsWow64())
      input.Put<uint32_t>(0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(thread)))
          .Put<uint32_t>(4, static_cast<uint32_t>(routine));
    else
      input.Put<uint64_t>(0, reinterpret_cast<uint64_t>(thread)).Put<uint64_t>(8, routine);
    return client.process->DeviceIoControl(*client.sender, client.control, IOCTL_ENGINE_REGISTER_NOTIFY,
                                           input.Bytes().data(), static_cast<ULONG>(input.Size()), 0);
  }

  bool WaitForRegistrations(ULONG count) {
    for (int i = 0; i < 200; ++i) {
      if (hooks_.RegistrationCount() == count) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  Hooks hooks_;
  std::vector<std::unique_ptr<Client>> clients_;
};

TEST_F(Notifications, SixtyFourBitCallerMustSendSixteenBytes) {
  Client &client = NewClient(false);
  Record eight;
  eight.Put<uint32_t>(0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(client.listenerHandle)))
      .Put<uint32_t>(4, 0x401000);
  bw::IoResult result = client.process->DeviceIoControl(*client.sender, client.control, IOCTL_ENGINE_REGISTER_NOTIFY,
                                                        eight.Bytes().data(), 8, 0);
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE, result.status);
  EXPECT_EQ(0u, hooks_.RegistrationCount());
}

TEST_F(Notifications, ThirtyTwoBitCallerSendsEightBytes) {
  Client &client = NewClient(true);
  Record sixteen;
  sixteen.Put<uint64_t>(0, reinterpret_cast<uint64_t>(client.listenerHandle)).Put<uint64_t>(8, 0x401000);
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE,
                client.process
                    ->DeviceIoControl(*client.sender, client.control, IOCTL_ENGINE_REGISTER_NOTIFY,
                                      sixteen.Bytes().data(), 16, 0)
                    .status);
  EXPECT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, 0x401000).status);
  EXPECT_EQ(1u, hooks_.RegistrationCount());
}

TEST_F(Notifications, ReachTheRegisteredThreadOfAnotherProcess) {
  Client &sender = NewClient(false);
  Client &listener = NewClient(false);
  constexpr uint64_t kRoutine = 0x00007FF612340000ull;
  ASSERT_STATUS(STATUS_SUCCESS, Register(listener, listener.listenerHandle, kRoutine).status);

  // The broadcast happens on behalf of another process's request.
  constexpr uint64_t kVolume = 0xFFFF8000DEADB000ull;
  hooks_.Broadcast(kVolume, ENGINE_EVENT_VOLUME_CREATED);
  hooks_.Broadcast(kVolume, ENGINE_EVENT_LETTERS_CHANGED);
  auto apcs = listener.log.WaitFor(2);
  ASSERT_EQ(2u, apcs.size());
  EXPECT_EQ(kRoutine, apcs[0].routine);
  EXPECT_EQ(kVolume, apcs[0].normalContext);
  EXPECT_EQ(ENGINE_EVENT_VOLUME_CREATED, apcs[0].systemArgument1);
  EXPECT_EQ(ENGINE_EVENT_LETTERS_CHANGED, apcs[1].systemArgument1);
  EXPECT_EQ(0u, sender.log.Count());
  // Delivered APCs give their memory back.
  EXPECT_EQ(0u, bw::PoolBytesWithTag(TagOf("Xapc")));
  EXPECT_EQ(0u, bw::PoolBytesWithTag(TagOf("Xacc")));
}

TEST_F(Notifications, ThirtyTwoBitThreadGetsTheHandleInItsOwnMemory) {
  Client &client = NewClient(true);
  constexpr uint32_t kRoutine = 0x00401000;
  ASSERT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, kRoutine).status);
  constexpr uint64_t kVolume = 0xFFFF8000CAFE0000ull;
  hooks_.Broadcast(kVolume, ENGINE_EVENT_VOLUME_REMOVED);
  auto apcs = client.log.WaitFor(1);
  ASSERT_EQ(1u, apcs.size());
  // The routine arrives in the form the 32-bit side decodes.
  EXPECT_NE(kRoutine, apcs[0].routine);
  EXPECT_EQ(static_cast<uint64_t>(-(static_cast<int64_t>(kRoutine) << 2)), apcs[0].routine);
  EXPECT_EQ(ENGINE_EVENT_VOLUME_REMOVED, apcs[0].systemArgument1);
  auto base = reinterpret_cast<uint64_t>(client.process->UserMemoryBase());
  uint64_t context = apcs[0].normalContext;
  ASSERT_GE(context, base);
  ASSERT_LE(context + 8, base + client.process->UserMemorySize());
  uint64_t handle;
  std::memcpy(&handle, reinterpret_cast<const void *>(context), sizeof(handle));
  EXPECT_EQ(kVolume, handle);
}

TEST_F(Notifications, RoutineZeroWithdrawsTheRegistration) {
  Client &client = NewClient(false);
  ASSERT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, 0x140001000).status);
  // A second registration of the same thread keeps the first.
  EXPECT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, 0x140002000).status);
  EXPECT_EQ(1u, hooks_.RegistrationCount());
  hooks_.Broadcast(0x1000, ENGINE_EVENT_VOLUME_CREATED);
  auto apcs = client.log.WaitFor(1);
  ASSERT_EQ(1u, apcs.size());
  EXPECT_EQ(0x140001000u, apcs[0].routine);

  EXPECT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, 0).status);
  EXPECT_EQ(0u, hooks_.RegistrationCount());
  hooks_.Broadcast(0x1000, ENGINE_EVENT_VOLUME_REMOVED);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(1u, client.log.Count());
  // Withdrawing again is harmless.
  EXPECT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, 0).status);
}

TEST_F(Notifications, OnlyThreadsCanBeRegistered) {
  Client &client = NewClient(false);
  // The control device's own handle is a file, not a thread.
  EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, Register(client, client.control, 0x140001000).status);
  EXPECT_EQ(0u, hooks_.RegistrationCount());
}

TEST_F(Notifications, ReaperDropsThreadsThatEnded) {
  Client &client = NewClient(false);
  auto second = client.process->CreateThread(999);
  HANDLE secondHandle = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, client.process->OpenThreadHandle(*second, &secondHandle));
  ASSERT_STATUS(STATUS_SUCCESS, Register(client, client.listenerHandle, 0x140001000).status);
  ASSERT_STATUS(STATUS_SUCCESS, Register(client, secondHandle, 0x140001000).status);
  EXPECT_EQ(2u, hooks_.RegistrationCount());

  client.listener->Terminate();
  hooks_.WakeReaper();
  EXPECT_TRUE(WaitForRegistrations(1));
  // A broadcast still reaches the thread that lives.
  ApcLog secondLog;
  secondLog.Attach(*second);
  hooks_.Broadcast(0x2000, ENGINE_EVENT_VOLUME_CREATED);
  EXPECT_EQ(1u, secondLog.WaitFor(1).size());
  second->SetApcSink(nullptr);
}

TEST_F(Notifications, AThreadThatCannotTakeAnApcDoesNotStopTheOthers) {
  Client &first = NewClient(false);
  Client &second = NewClient(false);
  ASSERT_STATUS(STATUS_SUCCESS, Register(first, first.listenerHandle, 0x140001000).status);
  ASSERT_STATUS(STATUS_SUCCESS, Register(second, second.listenerHandle, 0x140001000).status);
  // The first listener ends; until the reaper runs it is still registered.
  first.listener->Terminate();
  hooks_.Broadcast(0x3000, ENGINE_EVENT_AUTOFLUSH_STARTED);
  auto apcs = second.log.WaitFor(1);
  ASSERT_EQ(1u, apcs.size());
  EXPECT_EQ(ENGINE_EVENT_AUTOFLUSH_STARTED, apcs[0].systemArgument1);
  EXPECT_EQ(0u, bw::PoolBytesWithTag(TagOf("Xapc")));
}

}  // namespace
}  // namespace enginetest
