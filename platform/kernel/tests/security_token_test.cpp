// Tokens: host identities mapped to Windows ones, and information queries.
#include "se/token.h"
#include "platform/kernel/tests/security_test_util.h"
#include "tests/support/status_matchers.h"

#include <grp.h>

#include <set>

using namespace bw::test;
using bw::Token;

namespace {

std::vector<UCHAR> QueryAll(const Token &token, TOKEN_INFORMATION_CLASS cls) {
  ULONG needed = 0;
  NTSTATUS status = token.Query(cls, nullptr, 0, &needed);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, status);
  std::vector<UCHAR> buffer(needed);
  ULONG written = 0;
  EXPECT_STATUS(STATUS_SUCCESS, token.Query(cls, buffer.data(), needed, &written));
  EXPECT_EQ(written, needed);
  return buffer;
}

std::set<std::string> GroupSids(const Token &token, ULONG requiredAttributes = 0) {
  auto buffer = QueryAll(token, TokenGroups);
  auto *groups = reinterpret_cast<PTOKEN_GROUPS>(buffer.data());
  std::set<std::string> out;
  for (ULONG i = 0; i < groups->GroupCount; ++i) {
    PSID sid = groups->Groups[i].Sid;
    // Every SID lies inside the caller's buffer.
    EXPECT_GE(static_cast<PUCHAR>(sid), buffer.data());
    EXPECT_LE(static_cast<PUCHAR>(sid) + RtlLengthSid(sid), buffer.data() + buffer.size());
    if ((groups->Groups[i].Attributes & requiredAttributes) == requiredAttributes)
      out.insert(SidText(sid));
  }
  return out;
}

std::optional<gid_t> HostAdminGroup() {
  for (const char *name : {"sudo", "wheel", "admin"})
    if (struct group *g = getgrnam(name)) return g->gr_gid;
  return std::nullopt;
}

}  // namespace

TEST(SecurityToken, SystemToken) {
  auto token = Token::System();
  auto user = QueryAll(*token, TokenUser);
  auto *tu = reinterpret_cast<PTOKEN_USER>(user.data());
  EXPECT_EQ(user.size(), sizeof(TOKEN_USER) + 12);
  EXPECT_EQ(tu->User.Sid, user.data() + sizeof(TOKEN_USER));
  EXPECT_EQ(tu->User.Attributes, 0u);
  EXPECT_EQ(SidText(tu->User.Sid), "S-1-5-18");

  TOKEN_STATISTICS stats;
  ULONG length;
  ASSERT_STATUS(STATUS_SUCCESS, token->Query(TokenStatistics, &stats, sizeof stats, &length));
  EXPECT_EQ(length, sizeof stats);
  EXPECT_EQ(stats.AuthenticationId.LowPart, 0x3e7u);
  EXPECT_EQ(stats.AuthenticationId.HighPart, 0);
  EXPECT_EQ(stats.TokenType, TokenPrimary);
  EXPECT_EQ(stats.GroupCount, 4u);  // Administrators, Everyone, Authenticated Users, label
  ULONG session = 99;
  ASSERT_STATUS(STATUS_SUCCESS, token->Query(TokenSessionId, &session, sizeof session, &length));
  EXPECT_EQ(session, 0u);
  EXPECT_EQ(GroupSids(*token, SE_GROUP_ENABLED),
            (std::set<std::string>{"S-1-5-32-544", "S-1-1-0", "S-1-5-11"}));
  EXPECT_EQ(token->IntegrityLevel(), ULONG(SECURITY_MANDATORY_SYSTEM_RID));
  // Two tokens, two ids.
  TOKEN_STATISTICS other;
  Token::System()->Query(TokenStatistics, &other, sizeof other, &length);
  EXPECT_NE(other.TokenId.LowPart, stats.TokenId.LowPart);
}

TEST(SecurityToken, OrdinaryHostUser) {
  auto token = Token::ForHostUser(1000, 1000, {});
  auto other = Token::ForHostUser(1001, 1001, {});
  EXPECT_EQ(SidText(token->User()), "S-1-5-21-2370893061-1854922739-3401537810-2000");
  EXPECT_EQ(SidText(other->User()), "S-1-5-21-2370893061-1854922739-3401537810-2001");
  EXPECT_EQ(token->AuthenticationId().HighPart, 1000);
  EXPECT_EQ(token->AuthenticationId().LowPart, 1u);
  EXPECT_EQ(token->SessionId(), 1u);
  EXPECT_FALSE(token->Elevated());

  auto groups = GroupSids(*token, SE_GROUP_ENABLED);
  for (const char *expected : {"S-1-1-0", "S-1-5-32-545", "S-1-5-11", "S-1-5-4", "S-1-2-0",
                               "S-1-5-5-1000-1"})
    EXPECT_TRUE(groups.count(expected)) << expected;
  EXPECT_FALSE(groups.count("S-1-5-32-544"));
  auto ba = Sid(u"BA");
  EXPECT_FALSE(token->IsMember(ba.data()));

  auto label = QueryAll(*token, TokenIntegrityLevel);
  auto *tml = reinterpret_cast<PTOKEN_MANDATORY_LABEL>(label.data());
  EXPECT_EQ(SidText(tml->Label.Sid), "S-1-16-8192");
  EXPECT_EQ(tml->Label.Attributes, ULONG(SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED));

  auto logon = QueryAll(*token, TokenLogonSid);
  auto *tg = reinterpret_cast<PTOKEN_GROUPS>(logon.data());
  ASSERT_EQ(tg->GroupCount, 1u);
  EXPECT_EQ(SidText(tg->Groups[0].Sid), "S-1-5-5-1000-1");

  auto owner = QueryAll(*token, TokenOwner);
  EXPECT_TRUE(RtlEqualSid(reinterpret_cast<PTOKEN_OWNER>(owner.data())->Owner, token->User()));

  TOKEN_ELEVATION elevation{7};
  ULONG length;
  ASSERT_STATUS(STATUS_SUCCESS, token->Query(TokenElevation, &elevation, sizeof elevation, &length));
  EXPECT_EQ(elevation.TokenIsElevated, 0u);
}

TEST(SecurityToken, ExplicitLogonAndRoot) {
  Token::HostLogon logon;
  logon.authenticationId = LUID{0x1234, 0};
  logon.sessionId = 3;
  auto token = Token::ForHostUser(1000, 1000, {}, logon);
  TOKEN_STATISTICS stats;
  ULONG length;
  token->Query(TokenStatistics, &stats, sizeof stats, &length);
  EXPECT_EQ(stats.AuthenticationId.LowPart, 0x1234u);
  EXPECT_EQ(token->SessionId(), 3u);
  EXPECT_TRUE(GroupSids(*token).count("S-1-5-5-0-4660"));

  auto root = Token::ForHostUser(0, 0, {});
  EXPECT_EQ(SidText(root->User()), "S-1-5-18");
  EXPECT_EQ(root->AuthenticationId().LowPart, 0x3e7u);
  EXPECT_EQ(root->SessionId(), 0u);
  auto ba = Sid(u"BA");
  EXPECT_TRUE(root->IsMember(ba.data()));
  EXPECT_EQ(Token::ForHostUser(0, 0, {}, logon)->SessionId(), 3u);
}

TEST(SecurityToken, SudoGroupMakesAnAdministrator) {
  auto admin = HostAdminGroup();
  if (!admin) GTEST_SKIP() << "no administrators' group on this host";
  gid_t groups[] = {100, *admin};
  auto token = Token::ForHostUser(1000, 1000, groups);
  auto ba = Sid(u"BA");
  EXPECT_TRUE(token->IsMember(ba.data()));
  EXPECT_TRUE(token->Elevated());
  EXPECT_EQ(token->IntegrityLevel(), ULONG(SECURITY_MANDATORY_HIGH_RID));
  EXPECT_EQ(SidText(token->Owner()), "S-1-5-32-544");
  EXPECT_TRUE(Token::IsHostAdminGroup(*admin));
  if (struct group *adm = getgrnam("adm")) {
    EXPECT_FALSE(Token::IsHostAdminGroup(adm->gr_gid));
  }
}

TEST(SecurityToken, ShortBuffersAndBadClasses) {
  auto token = Token::ForHostUser(1000, 1000, {});
  alignas(8) UCHAR buffer[1024];
  ULONG length = 0;
  // TOKEN_USER (16) + a five-sub-authority SID (28).
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, token->Query(TokenUser, buffer, 43, &length));
  EXPECT_EQ(length, 44u);
  EXPECT_STATUS(STATUS_SUCCESS, token->Query(TokenUser, buffer, 44, &length));

  ULONG groupsLength = 0;
  token->Query(TokenGroups, nullptr, 0, &groupsLength);
  memset(buffer, 0xAB, sizeof buffer);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL,
                token->Query(TokenGroups, buffer, groupsLength - 1, &length));
  EXPECT_EQ(buffer[0], 0xAB);  // nothing written

  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, token->Query(TokenSessionId, buffer, 2, &length));
  EXPECT_EQ(length, 4u);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL,
                token->Query(TokenStatistics, buffer, sizeof(TOKEN_STATISTICS) - 1, &length));
  EXPECT_EQ(length, sizeof(TOKEN_STATISTICS));
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                token->Query(static_cast<TOKEN_INFORMATION_CLASS>(0), buffer, 1024, &length));
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                token->Query(static_cast<TOKEN_INFORMATION_CLASS>(99), buffer, 1024, &length));
}

TEST(SecurityToken, Privileges) {
  auto token = Token::ForHostUser(1000, 1000, {});
  auto buffer = QueryAll(*token, TokenPrivileges);
  auto *tp = reinterpret_cast<PTOKEN_PRIVILEGES>(buffer.data());
  ASSERT_EQ(buffer.size(), 4 + tp->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES));
  bool sawChangeNotify = false;
  for (ULONG i = 0; i < tp->PrivilegeCount; ++i) {
    if (tp->Privileges[i].Luid.LowPart == SE_CHANGE_NOTIFY_PRIVILEGE) {
      sawChangeNotify = true;
      EXPECT_TRUE(tp->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED);
    }
  }
  EXPECT_TRUE(sawChangeNotify);

  EXPECT_FALSE(token->PrivilegeEnabled(SE_SHUTDOWN_PRIVILEGE));
  bool was = true;
  EXPECT_STATUS(STATUS_SUCCESS, token->AdjustPrivilege(SE_SHUTDOWN_PRIVILEGE, true, &was));
  EXPECT_FALSE(was);
  EXPECT_TRUE(token->PrivilegeEnabled(SE_SHUTDOWN_PRIVILEGE));
  EXPECT_STATUS(STATUS_NOT_ALL_ASSIGNED, token->AdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, true));
  EXPECT_FALSE(token->PrivilegeEnabled(SE_LOAD_DRIVER_PRIVILEGE));
}
