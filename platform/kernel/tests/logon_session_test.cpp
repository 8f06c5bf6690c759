// Logon sessions: each session's DosDevices directory and what its
// processes see through "\??", the end of a session with its links and the
// termination routines, and who may join which session.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace bw::test {
namespace {

constexpr uint32_t kUid = 1000;

std::u16string Directory(LUID id) {
  char text[32];
  snprintf(text, sizeof text, "%08X-%08X", static_cast<unsigned>(id.HighPart),
           static_cast<unsigned>(id.LowPart));
  return u"\\Sessions\\0\\DosDevices\\" + std::u16string(text, text + strlen(text));
}

NTSTATUS MakeLink(const std::u16string &link, const std::u16string &target) {
  UNICODE_STRING l{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2),
                   const_cast<char16_t *>(link.data())};
  UNICODE_STRING t{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                   const_cast<char16_t *>(target.data())};
  return IoCreateSymbolicLink(&l, &t);
}

std::u16string Target(LUID id, std::u16string_view name) {
  std::vector<std::u16string> targets;
  if (!NT_SUCCESS(QueryDosDevice(id, name, &targets)) || targets.size() != 1) return u"<none>";
  return targets[0];
}

// What the termination routine was told, and where it ran.
struct Ended {
  LUID id;
  bool systemThread;
  KIRQL irql;
  NTSTATUS linkInside;  // a kernel call from inside the routine
};
std::mutex gEndedLock;
std::vector<Ended> gEnded;

NTSTATUS RecordEnd(PLUID LogonId) {
  Ended e{*LogonId, PsGetCurrentProcess() == PsInitialSystemProcess, KeGetCurrentIrql(),
          MakeLink(u"\\GLOBAL??\\BwEndedSeen", u"\\Device\\Null")};
  std::lock_guard<std::mutex> guard(gEndedLock);
  gEnded.push_back(e);
  return STATUS_SUCCESS;
}

class LogonSessionTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    gEnded.clear();
  }
  std::shared_ptr<UserProcess> Process(LUID logon, uint32_t uid = kUid) {
    ProcessOptions options;
    options.uid = uid;
    options.gid = uid;
    options.logonId = logon;
    return CreateUserProcess(options);
  }
};

TEST_F(LogonSessionTest, ProcessesOfOneUserInTwoSessionsEachSeeTheirOwnLinksAndTheGlobalOnes) {
  LUID a, b;
  ASSERT_STATUS(STATUS_SUCCESS, BeginLogonSession(kUid, &a));
  ASSERT_STATUS(STATUS_SUCCESS, BeginLogonSession(kUid, &b));
  EXPECT_NE(Directory(a), Directory(b));
  ASSERT_TRUE(ObjectExists(Directory(a)));
  ASSERT_TRUE(ObjectExists(Directory(b)));

  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(Directory(a) + u"\\Q:", u"\\Device\\InA"));
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(Directory(b) + u"\\Q:", u"\\Device\\InB"));
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(u"\\??\\G:", u"\\Device\\Everywhere"));
  // A session's link goes before a global one of the same name.
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(u"\\??\\S:", u"\\Device\\GlobalS"));
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(Directory(a) + u"\\S:", u"\\Device\\SessionS"));

  auto inA = Process(a);
  auto inB = Process(b);
  auto inDefault = Process(LUID{0, 0});
  ASSERT_TRUE(inA && inB && inDefault);
  EXPECT_EQ(a.LowPart, inA->LogonId().LowPart);
  EXPECT_EQ(a.HighPart, inA->LogonId().HighPart);

  EXPECT_EQ(u"\\Device\\InA", Target(inA->LogonId(), u"Q:"));
  EXPECT_EQ(u"\\Device\\InB", Target(inB->LogonId(), u"q:"));
  EXPECT_EQ(u"<none>", Target(inDefault->LogonId(), u"Q:"));
  for (auto *p : {&inA, &inB, &inDefault})
    EXPECT_EQ(u"\\Device\\Everywhere", Target((*p)->LogonId(), u"G:"));
  EXPECT_EQ(u"\\Device\\SessionS", Target(a, u"S:"));
  EXPECT_EQ(u"\\Device\\GlobalS", Target(b, u"S:"));

  std::vector<std::u16string> names;
  ASSERT_STATUS(STATUS_SUCCESS, QueryDosDevice(a, u"", &names));
  EXPECT_EQ(1, std::count(names.begin(), names.end(), u"Q:"));
  EXPECT_EQ(1, std::count(names.begin(), names.end(), u"S:"));
  EXPECT_EQ(1, std::count(names.begin(), names.end(), u"G:"));
  ASSERT_STATUS(STATUS_SUCCESS, QueryDosDevice(inDefault->LogonId(), u"", &names));
  EXPECT_EQ(0, std::count(names.begin(), names.end(), u"Q:"));
  EXPECT_EQ(1, std::count(names.begin(), names.end(), u"G:"));

  inA.reset();
  inB.reset();
  inDefault.reset();
  EXPECT_STATUS(STATUS_SUCCESS, EndLogonSession(a));
  EXPECT_STATUS(STATUS_SUCCESS, EndLogonSession(b));
}

TEST_F(LogonSessionTest, AnEndedSessionLosesItsDirectoryAndLinksAndRoutinesHearOfItOnce) {
  ASSERT_STATUS(STATUS_SUCCESS, SeRegisterLogonSessionTerminatedRoutine(RecordEnd));
  LUID a, b;
  ASSERT_STATUS(STATUS_SUCCESS, BeginLogonSession(kUid, &a));
  ASSERT_STATUS(STATUS_SUCCESS, BeginLogonSession(kUid + 1, &b));
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(Directory(a) + u"\\Q:", u"\\Device\\InA"));
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(Directory(a) + u"\\R:", u"\\Device\\InA2"));
  ASSERT_STATUS(STATUS_SUCCESS, MakeLink(Directory(b) + u"\\Q:", u"\\Device\\InB"));
  auto process = Process(a);
  ASSERT_TRUE(process);

  EXPECT_STATUS(STATUS_SUCCESS, EndLogonSession(a));
  EXPECT_FALSE(ObjectExists(Directory(a)));
  EXPECT_FALSE(ObjectExists(Directory(a) + u"\\Q:"));
  EXPECT_EQ(u"<none>", Target(a, u"Q:"));
  // Nothing can be put where the session was.
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, MakeLink(Directory(a) + u"\\T:", u"\\Device\\X"));
  // The other session keeps what it has.
  EXPECT_TRUE(ObjectExists(Directory(b) + u"\\Q:"));
  EXPECT_EQ(u"\\Device\\InB", Target(b, u"Q:"));

  {
    std::lock_guard<std::mutex> guard(gEndedLock);
    ASSERT_EQ(1u, gEnded.size());
    EXPECT_EQ(a.LowPart, gEnded[0].id.LowPart);
    EXPECT_EQ(a.HighPart, gEnded[0].id.HighPart);
    EXPECT_TRUE(gEnded[0].systemThread);
    EXPECT_EQ(PASSIVE_LEVEL, gEnded[0].irql);
    EXPECT_STATUS(STATUS_SUCCESS, gEnded[0].linkInside);
  }
  // Ended once: a second end is refused and nobody is told again; no
  // process joins it any more.
  EXPECT_STATUS(STATUS_NO_SUCH_LOGON_SESSION, EndLogonSession(a));
  EXPECT_FALSE(Process(a));
  EXPECT_EQ(1u, gEnded.size());
  uint32_t owner = 0;
  EXPECT_FALSE(LogonSessionOwner(a, &owner));

  // The process in it lives on with its token.
  EXPECT_EQ(a.LowPart, process->LogonId().LowPart);
  process.reset();
  EXPECT_STATUS(STATUS_SUCCESS, SeUnregisterLogonSessionTerminatedRoutine(RecordEnd));
  EXPECT_STATUS(STATUS_NOT_FOUND, SeUnregisterLogonSessionTerminatedRoutine(RecordEnd));
  EXPECT_STATUS(STATUS_SUCCESS, EndLogonSession(b));
  EXPECT_EQ(1u, gEnded.size());
}

TEST_F(LogonSessionTest, AUsersProcessesShareItsDefaultSessionAndNobodyJoinsAnotherUsersSession) {
  auto first = Process(LUID{0, 0});
  auto second = Process(LUID{0, 0});
  ASSERT_TRUE(first && second);
  LUID id = first->LogonId();
  EXPECT_EQ(id.LowPart, second->LogonId().LowPart);
  EXPECT_EQ(id.HighPart, second->LogonId().HighPart);
  EXPECT_TRUE(ObjectExists(Directory(id)));
  bool listed = false;
  for (const LogonSessionInfo &s : LogonSessions()) {
    if (s.logonId.LowPart != id.LowPart || s.logonId.HighPart != id.HighPart) continue;
    listed = true;
    EXPECT_EQ(kUid, s.uid);
    EXPECT_TRUE(s.isDefault);
    EXPECT_EQ(2u, s.processes);
  }
  EXPECT_TRUE(listed);

  LUID fresh;
  ASSERT_STATUS(STATUS_SUCCESS, BeginLogonSession(kUid, &fresh));
  EXPECT_NE(id.LowPart, fresh.LowPart);
  EXPECT_FALSE(Process(fresh, kUid + 1));  // another user's session
  EXPECT_FALSE(Process(id, kUid + 1));
  auto joined = Process(fresh);
  ASSERT_TRUE(joined);
  uint32_t owner = 0;
  ASSERT_TRUE(LogonSessionOwner(fresh, &owner));
  EXPECT_EQ(kUid, owner);

  // The token says the same.
  TOKEN_STATISTICS statistics{};
  ULONG length = 0;
  ASSERT_STATUS(STATUS_SUCCESS,
                joined->QueryToken(TokenStatistics, &statistics, sizeof statistics, &length));
  EXPECT_EQ(fresh.LowPart, statistics.AuthenticationId.LowPart);
  EXPECT_EQ(fresh.HighPart, statistics.AuthenticationId.HighPart);
  ULONG sessionId = 99;
  ASSERT_STATUS(STATUS_SUCCESS, joined->QueryToken(TokenSessionId, &sessionId, sizeof sessionId,
                                                   &length));
  EXPECT_EQ(joined->SessionId(), sessionId);
  joined.reset();
  EXPECT_STATUS(STATUS_SUCCESS, EndLogonSession(fresh));
}

}  // namespace
}  // namespace bw::test
