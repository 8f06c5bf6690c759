// The user-space guard: a process's user-space mappings can be touched only
// while a thread is in that process (attached to it, or standing for one of
// its threads); from anywhere else a touch faults.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <unistd.h>

#include <cstring>

namespace bw::test {
namespace {

const PHYSICAL_ADDRESS kLow{}, kSkip{};
const PHYSICAL_ADDRESS kHigh{{0xFFFFFFFF, 0x7FFFFFFF}};

// Whether the byte at `p` can be read or written now. The host kernel
// answers a pipe transfer from or into closed memory with EFAULT instead of
// a fault, so the probes can ask without dying.
bool Readable(const void *p) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  bool ok = write(fds[1], p, 1) == 1;
  close(fds[0]);
  close(fds[1]);
  return ok;
}

bool Writable(void *p, char value) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  bool ok = write(fds[1], &value, 1) == 1 && read(fds[0], p, 1) == 1;
  close(fds[0]);
  close(fds[1]);
  return ok;
}

class UserSpaceGuardTest : public KernelTest {
 protected:
  BootOptions BootOptionsFor(const std::string &root) const override {
    BootOptions options = KernelTest::BootOptionsFor(root);
    options.guardUserSpace = true;
    return options;
  }
  void TearDown() override {
    EXPECT_EQ(0u, MappingsOutstanding());
    EXPECT_EQ(0u, MdlPagesOutstanding());
    KernelTest::TearDown();
  }

  PMDL Allocate(SIZE_T bytes) {
    return MmAllocateNodePagesForMdlEx(kLow, kHigh, kSkip, bytes, MmCached, 0, MM_ALLOCATE_FULLY_REQUIRED);
  }
  static void Free(PMDL mdl) {
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
  }
  static char *MapUser(PMDL mdl) {
    return static_cast<char *>(
        MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority));
  }
};

TEST_F(UserSpaceGuardTest, SystemUserSpaceIsOpenOnlyWhileAttached) {
  PMDL mdl = Allocate(2 * PAGE_SIZE);
  ASSERT_NE(nullptr, mdl);
  auto *system = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(nullptr, system);
  // Made by a thread of the system process that is not attached: the system
  // process's user space, closed at once.
  char *user = MapUser(mdl);
  ASSERT_NE(nullptr, user);
  EXPECT_LT(user, static_cast<char *>(MmSystemRangeStart));
  EXPECT_FALSE(Readable(user));
  EXPECT_TRUE(Readable(system));  // system space is everybody's

  KAPC_STATE inSystem;
  KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess), &inSystem);
  EXPECT_TRUE(Readable(user + PAGE_SIZE));
  memcpy(system + PAGE_SIZE, "pages", 5);
  EXPECT_EQ(0, memcmp(user + PAGE_SIZE, "pages", 5));
  EXPECT_TRUE(Writable(user, 'u'));
  EXPECT_EQ('u', system[0]);

  // Attached on to a user process, the thread has left the system process.
  auto process = CreateUserProcess(ProcessOptions{});
  PEPROCESS client = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(uintptr_t{process->Pid()}),
                                                           &client));
  KAPC_STATE inClient;
  KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(client), &inClient);
  EXPECT_FALSE(Readable(user));
  KeUnstackDetachProcess(&inClient);
  EXPECT_TRUE(Readable(user));
  ObDereferenceObject(client);

  MmUnmapLockedPages(user, mdl);
  KeUnstackDetachProcess(&inSystem);
  MmUnmapLockedPages(system, mdl);
  Free(mdl);
}

TEST_F(UserSpaceGuardTest, ClientUserSpaceIsOpenWhileOneOfItsThreadsRuns) {
  auto process = CreateUserProcess(ProcessOptions{});
  auto thread = process->CreateThread(1);
  auto other = process->CreateThread(2);
  PMDL mdl = Allocate(PAGE_SIZE);
  ASSERT_NE(nullptr, mdl);
  char *user = nullptr;
  process->Run(*thread, [&] {
    user = MapUser(mdl);
    ASSERT_NE(nullptr, user);
    EXPECT_TRUE(Writable(user, 'c'));
  });
  ASSERT_NE(nullptr, user);
  // The request has ended: nobody is in the client.
  EXPECT_FALSE(Readable(user));
  process->Run(*other, [&] {
    EXPECT_TRUE(Readable(user));
    EXPECT_EQ('c', user[0]);
    // Attached to the system process, the thread is out of its own.
    KAPC_STATE state;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess), &state);
    EXPECT_FALSE(Readable(user));
    KeUnstackDetachProcess(&state);
    EXPECT_TRUE(Readable(user));
    MmUnmapLockedPages(user, mdl);
  });
  Free(mdl);
}

TEST_F(UserSpaceGuardTest, ViewsOfAnotherProcessOpenWithTheirProcess) {
  LARGE_INTEGER size;
  size.QuadPart = 0x10000;
  HANDLE section = nullptr;
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_STATUS(STATUS_SUCCESS, ZwCreateSection(&section, SECTION_ALL_ACCESS, &oa, &size, PAGE_READWRITE,
                                                SEC_COMMIT, nullptr));
  PVOID view = nullptr;
  SIZE_T viewSize = 0;
  LARGE_INTEGER at{};
  ASSERT_STATUS(STATUS_SUCCESS, ZwMapViewOfSection(section, NtCurrentProcess(), &view, 0, 0, &at, &viewSize,
                                                   ViewUnmap, 0, PAGE_READWRITE));
  EXPECT_FALSE(Readable(view));
  {
    KAPC_STATE state;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess), &state);
    memcpy(view, "view", 4);
    KeUnstackDetachProcess(&state);
  }
  EXPECT_FALSE(Readable(view));
  // A thread that touches it anyway faults, as on Windows.
  EXPECT_DEATH(static_cast<volatile char *>(view)[0] = 'x', "");
  {
    KAPC_STATE state;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(PsInitialSystemProcess), &state);
    EXPECT_EQ(0, memcmp(view, "view", 4));
    KeUnstackDetachProcess(&state);
  }
  EXPECT_STATUS(STATUS_SUCCESS, ZwUnmapViewOfSection(NtCurrentProcess(), view));
  EXPECT_STATUS(STATUS_SUCCESS, ZwClose(section));
}

}  // namespace
}  // namespace bw::test
