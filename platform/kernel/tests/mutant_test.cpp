// Mutants of user processes: where a name lives, what a second create of
// it gets, who may open it, ownership on release, and the name going with
// the last handle.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

namespace bw::test {
namespace {

constexpr ACCESS_MASK kAll = 0x1F0001;
constexpr ACCESS_MASK kSynchronize = 0x100000;
constexpr NTSTATUS kNotOwned = static_cast<NTSTATUS>(0xC0000046);  // STATUS_MUTANT_NOT_OWNED

class MutantTest : public KernelTest {
 protected:
  struct Client {
    std::shared_ptr<UserProcess> process;
    std::shared_ptr<UserThread> thread;
  };
  Client Start(uint32_t uid, uint32_t sessionId = 1) {
    ProcessOptions options;
    options.uid = uid;
    options.gid = uid;
    options.sessionId = uid == 0 ? 0 : sessionId;
    Client client;
    client.process = CreateUserProcess(options);
    client.thread = client.process->CreateThread(1);
    return client;
  }
  // A self-relative descriptor whose DACL is present and null.
  static SECURITY_DESCRIPTOR_RELATIVE NullDacl() {
    SECURITY_DESCRIPTOR_RELATIVE descriptor{};
    descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
    descriptor.Control = SE_DACL_PRESENT | SE_SELF_RELATIVE;
    return descriptor;
  }
};

TEST_F(MutantTest, GlobalNamesAreSharedAndOtherNamesStayInTheSession) {
  Client user = Start(1000);
  HANDLE global = nullptr, local = nullptr, prefixed = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, user.process->CreateMutant(*user.thread, u"Global\\BwOne", false,
                                                           nullptr, &global));
  EXPECT_TRUE(ObjectExists(u"\\BaseNamedObjects\\BwOne"));
  ASSERT_STATUS(STATUS_SUCCESS,
                user.process->CreateMutant(*user.thread, u"BwOne", false, nullptr, &local));
  EXPECT_TRUE(ObjectExists(u"\\Sessions\\1\\BaseNamedObjects\\BwOne"));
  // "Local\" is the session's own directory, which holds the name already.
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, user.process->CreateMutant(*user.thread, u"Local\\BwOne",
                                                                      true, nullptr, &prefixed));
  HANDLE none = nullptr;
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                user.process->CreateMutant(*user.thread, u"Bw\\One", false, nullptr, &none));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                user.process->CreateMutant(*user.thread, u"Global\\", false, nullptr, &none));
  // Session 0 (the system's own) shares the global directory.
  Client system = Start(0);
  HANDLE same = nullptr;
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS,
                system.process->CreateMutant(*system.thread, u"BwOne", false, nullptr, &same));
  EXPECT_STATUS(STATUS_SUCCESS, system.process->Close(same));
  for (HANDLE h : {global, local, prefixed}) EXPECT_STATUS(STATUS_SUCCESS, user.process->Close(h));
}

TEST_F(MutantTest, TheNameGoesWithTheLastHandle) {
  Client user = Start(1000);
  HANDLE first = nullptr, second = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, user.process->CreateMutant(*user.thread, u"Global\\BwTemp", false,
                                                           nullptr, &first));
  ASSERT_STATUS(STATUS_SUCCESS,
                user.process->OpenMutant(*user.thread, u"Global\\BwTemp", kSynchronize, &second));
  EXPECT_STATUS(STATUS_SUCCESS, user.process->Close(first));
  EXPECT_TRUE(ObjectExists(u"\\BaseNamedObjects\\BwTemp"));
  EXPECT_STATUS(STATUS_SUCCESS, user.process->Close(second));
  EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\BwTemp"));
  HANDLE again = nullptr;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                user.process->OpenMutant(*user.thread, u"Global\\BwTemp", kSynchronize, &again));
  // A process that ends closes its handles, and its names go with them.
  {
    Client ending = Start(1000);
    HANDLE kept = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, ending.process->CreateMutant(*ending.thread, u"Global\\BwKept",
                                                               false, nullptr, &kept));
    ending.process->Terminate();
  }
  EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\BwKept"));
}

TEST_F(MutantTest, AnotherUserOpensOnlyThroughANullDacl) {
  Client owner = Start(1000);
  Client other = Start(1001);
  HANDLE guarded = nullptr, open = nullptr, h = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, owner.process->CreateMutant(*owner.thread, u"Global\\BwGuarded",
                                                            false, nullptr, &guarded));
  SECURITY_DESCRIPTOR_RELATIVE everyone = NullDacl();
  ASSERT_STATUS(STATUS_SUCCESS, owner.process->CreateMutant(*owner.thread, u"Global\\BwOpen", false,
                                                            &everyone, &open));

  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                other.process->OpenMutant(*other.thread, u"Global\\BwGuarded", kSynchronize, &h));
  // A create of the name is an open, and is refused the same way.
  EXPECT_STATUS(STATUS_ACCESS_DENIED, other.process->CreateMutant(
                                          *other.thread, u"Global\\BwGuarded", false, nullptr, &h));
  ASSERT_STATUS(STATUS_SUCCESS,
                other.process->OpenMutant(*other.thread, u"Global\\BwOpen", kAll, &h));
  EXPECT_STATUS(STATUS_SUCCESS, other.process->Close(h));
  // The owner's own user, and the system, get in either way.
  Client again = Start(1000);
  ASSERT_STATUS(STATUS_SUCCESS,
                again.process->OpenMutant(*again.thread, u"Global\\BwGuarded", kAll, &h));
  EXPECT_STATUS(STATUS_SUCCESS, again.process->Close(h));
  Client system = Start(0);
  ASSERT_STATUS(STATUS_SUCCESS,
                system.process->OpenMutant(*system.thread, u"Global\\BwGuarded", kAll, &h));
  EXPECT_STATUS(STATUS_SUCCESS, system.process->Close(h));

  // A name that is another kind of object.
  std::u16string linkName = u"\\BaseNamedObjects\\BwLink", target = u"\\Device\\Null";
  UNICODE_STRING link{static_cast<USHORT>(linkName.size() * 2),
                      static_cast<USHORT>(linkName.size() * 2), linkName.data()};
  UNICODE_STRING to{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                    target.data()};
  ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &to));
  EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH,
                owner.process->OpenMutant(*owner.thread, u"Global\\BwLink", kAll, &h));
  EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH,
                owner.process->CreateMutant(*owner.thread, u"Global\\BwLink", false, nullptr, &h));
  EXPECT_STATUS(STATUS_SUCCESS, IoDeleteSymbolicLink(&link));
  EXPECT_STATUS(STATUS_SUCCESS, owner.process->Close(guarded));
  EXPECT_STATUS(STATUS_SUCCESS, owner.process->Close(open));
}

TEST_F(MutantTest, OnlyTheOwningThreadReleases) {
  Client user = Start(1000);
  auto second = user.process->CreateThread(2);
  HANDLE owned = nullptr, free = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS,
                user.process->CreateMutant(*user.thread, u"", true, nullptr, &owned));
  ASSERT_STATUS(STATUS_SUCCESS,
                user.process->CreateMutant(*user.thread, u"", false, nullptr, &free));
  LONG previous = -1;
  EXPECT_STATUS(kNotOwned, user.process->ReleaseMutant(*second, owned, &previous));
  EXPECT_STATUS(kNotOwned, user.process->ReleaseMutant(*user.thread, free, &previous));
  EXPECT_STATUS(STATUS_SUCCESS, user.process->ReleaseMutant(*user.thread, owned, &previous));
  EXPECT_EQ(1, previous);
  EXPECT_STATUS(kNotOwned, user.process->ReleaseMutant(*user.thread, owned, &previous));
  EXPECT_STATUS(STATUS_SUCCESS, user.process->Close(owned));
  EXPECT_STATUS(STATUS_SUCCESS, user.process->Close(free));
}

}  // namespace
}  // namespace bw::test
