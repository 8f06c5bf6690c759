// Access checks of tokens against device and file descriptors.
#include "se/token.h"
#include "bw/host.h"
#include "platform/kernel/tests/security_test_util.h"
#include "tests/support/status_matchers.h"

#include <cstring>

using namespace bw::test;
using bw::Token;

namespace {

std::shared_ptr<Token> MakeToken(uid_t uid, std::vector<std::u16string> groupSids,
                                 ULONG integrity = SECURITY_MANDATORY_MEDIUM_RID,
                                 ULONG extraAttributes = 0) {
  Token::Contents contents;
  contents.user = Token::HostUserSid(uid);
  for (auto &g : groupSids)
    contents.groups.push_back({Sid(g), ULONG(SE_GROUP_MANDATORY | SE_GROUP_ENABLED) | extraAttributes});
  contents.integrityRid = integrity;
  return Token::Create(std::move(contents));
}

class AccessCheckTest : public ::testing::Test {
 protected:
  // First member, so that it counts before the descriptors below exist.
  uint64_t before_ = bw::PoolOutstandingAllocations();
  void TearDown() override {
    full_.reset();
    read_.reset();
    EXPECT_EQ(bw::PoolOutstandingAllocations(), before_) << "pool leak";
  }

  NTSTATUS Check(PVOID sd, const Token &token, ACCESS_MASK desired) {
    granted_ = 0xDEADBEEF;
    return bw::AccessCheck(sd, token, desired, kFileMapping, &granted_);
  }

  PoolSd full_ = ParseSddl(kUsersFullSddl);
  PoolSd read_ = ParseSddl(kUsersReadSddl);
  std::shared_ptr<Token> system_ = Token::System();
  std::shared_ptr<Token> admin_ = MakeToken(1001, {u"WD", u"BA", u"BU", u"AU"},
                                            SECURITY_MANDATORY_HIGH_RID);
  std::shared_ptr<Token> user_ = Token::ForHostUser(1000, 1000, {});
  ACCESS_MASK granted_ = 0;
};

}  // namespace

TEST_F(AccessCheckTest, DeviceDescriptors) {
  for (const Token *t : {system_.get(), admin_.get(), user_.get()}) {
    EXPECT_STATUS(STATUS_SUCCESS, Check(full_.get(), *t, GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(granted_, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    EXPECT_STATUS(STATUS_SUCCESS, Check(read_.get(), *t, GENERIC_READ));
    EXPECT_EQ(granted_, ACCESS_MASK(FILE_GENERIC_READ));
  }
  // Users may only read the second one.
  for (const Token *t : {system_.get(), admin_.get()}) {
    EXPECT_STATUS(STATUS_SUCCESS, Check(read_.get(), *t, GENERIC_WRITE));
    EXPECT_STATUS(STATUS_SUCCESS, Check(read_.get(), *t, MAXIMUM_ALLOWED));
    EXPECT_EQ(granted_, ACCESS_MASK(FILE_ALL_ACCESS));
  }
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(read_.get(), *user_, GENERIC_WRITE));
  EXPECT_EQ(granted_, 0u);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(read_.get(), *user_, FILE_READ_DATA | FILE_WRITE_DATA));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(read_.get(), *user_, DELETE));
  EXPECT_STATUS(STATUS_SUCCESS, Check(read_.get(), *user_, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(FILE_GENERIC_READ));
  EXPECT_STATUS(STATUS_SUCCESS, Check(read_.get(), *user_, MAXIMUM_ALLOWED | SYNCHRONIZE));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(read_.get(), *user_, MAXIMUM_ALLOWED | WRITE_DAC));
  EXPECT_STATUS(STATUS_SUCCESS, Check(read_.get(), *user_, 0));
  EXPECT_EQ(granted_, 0u);

  // An administrator whose Administrators membership is for deny only is a user.
  Token::Contents contents;
  contents.user = Token::HostUserSid(1002);
  contents.groups = {{Sid(u"BA"), SE_GROUP_USE_FOR_DENY_ONLY}, {Sid(u"BU"), SE_GROUP_ENABLED}};
  auto filtered = Token::Create(std::move(contents));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(read_.get(), *filtered, GENERIC_WRITE));
}

TEST_F(AccessCheckTest, NullEmptyAndOwner) {
  PoolSd nullDacl = ParseSddl(u"D:NO_ACCESS_CONTROL");
  PoolSd noDacl = ParseSddl(u"O:BA");
  EXPECT_STATUS(STATUS_SUCCESS, Check(nullDacl.get(), *user_, GENERIC_ALL));
  EXPECT_EQ(granted_, ACCESS_MASK(FILE_ALL_ACCESS));
  EXPECT_STATUS(STATUS_SUCCESS, Check(noDacl.get(), *user_, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(FILE_ALL_ACCESS));

  PoolSd empty = ParseSddl(u"O:BAD:P");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(empty.get(), *user_, GENERIC_READ));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(empty.get(), *user_, MAXIMUM_ALLOWED));
  // The owner may still read and rewrite the DACL, nothing more.
  EXPECT_STATUS(STATUS_SUCCESS, Check(empty.get(), *admin_, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(READ_CONTROL | WRITE_DAC));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(empty.get(), *admin_, FILE_READ_DATA));
  // ...unless an OWNER RIGHTS ace says what the owner gets.
  PoolSd ownerRights = ParseSddl(u"O:BAD:(A;;RC;;;OW)");
  EXPECT_STATUS(STATUS_SUCCESS, Check(ownerRights.get(), *admin_, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(READ_CONTROL));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(ownerRights.get(), *user_, READ_CONTROL));
}

TEST_F(AccessCheckTest, DenyAcesAndOrder) {
  PoolSd denyFirst = ParseSddl(u"D:(D;;FW;;;BU)(A;;GA;;;BU)");
  PoolSd allowFirst = ParseSddl(u"D:(A;;GA;;;BU)(D;;FW;;;BU)");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(denyFirst.get(), *user_, FILE_WRITE_DATA));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(denyFirst.get(), *user_, GENERIC_READ));  // RC, SYNCHRONIZE
  EXPECT_STATUS(STATUS_SUCCESS, Check(denyFirst.get(), *user_, FILE_READ_DATA));
  EXPECT_STATUS(STATUS_SUCCESS, Check(denyFirst.get(), *user_, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(FILE_ALL_ACCESS & ~FILE_GENERIC_WRITE));
  EXPECT_STATUS(STATUS_SUCCESS, Check(allowFirst.get(), *user_, GENERIC_WRITE));
  EXPECT_STATUS(STATUS_SUCCESS, Check(allowFirst.get(), *user_, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(FILE_ALL_ACCESS));

  // Inherit-only aces are for children; a group that is not enabled does not count.
  PoolSd inheritOnly = ParseSddl(u"D:(A;OICIIO;GA;;;BU)");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(inheritOnly.get(), *user_, GENERIC_READ));
  Token::Contents contents;
  contents.user = Token::HostUserSid(1003);
  contents.groups = {{Sid(u"BU"), SE_GROUP_ENABLED_BY_DEFAULT}};
  auto disabled = Token::Create(std::move(contents));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(full_.get(), *disabled, GENERIC_READ));
}

// A volume device made for one user: the "users may read" DACL plus an ace
// granting that user everything.
TEST_F(AccessCheckTest, DaclWithAddedUserAce) {
  BOOLEAN present, defaulted;
  PACL dacl;
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(read_.get(), &present, &dacl, &defaulted));
  PSID user = user_->User();
  ULONG size = dacl->AclSize + sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG) + RtlLengthSid(user);
  std::vector<ULONG> storage(size / 4);
  PACL bigger = reinterpret_cast<PACL>(storage.data());
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(bigger, size, ACL_REVISION));
  for (ULONG i = 0; i < dacl->AceCount; ++i) {
    PACE_HEADER ace;
    ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(dacl, i, reinterpret_cast<PVOID *>(&ace)));
    ASSERT_STATUS(STATUS_SUCCESS, RtlAddAce(bigger, ACL_REVISION, 0xFFFFFFFF, ace, ace->AceSize));
  }
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessAllowedAce(bigger, ACL_REVISION, 0x001F01FF, user));
  SECURITY_DESCRIPTOR abs;
  RtlCreateSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION);
  RtlSetDaclSecurityDescriptor(&abs, TRUE, bigger, FALSE);
  abs.Control |= SE_DACL_PROTECTED;

  auto other = Token::ForHostUser(1001, 1001, {});
  for (PVOID sd : {static_cast<PVOID>(&abs), static_cast<PVOID>(nullptr)}) {
    std::vector<ULONG> rel;
    if (!sd) {  // the same, self-relative
      ULONG length = 0;
      RtlAbsoluteToSelfRelativeSD(&abs, nullptr, &length);
      rel.resize(length / 4);
      ASSERT_STATUS(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&abs, rel.data(), &length));
      sd = rel.data();
    }
    EXPECT_STATUS(STATUS_SUCCESS, Check(sd, *user_, GENERIC_READ | GENERIC_WRITE | DELETE));
    EXPECT_STATUS(STATUS_SUCCESS, Check(sd, *user_, MAXIMUM_ALLOWED));
    EXPECT_EQ(granted_, ACCESS_MASK(FILE_ALL_ACCESS));
    EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(sd, *other, GENERIC_WRITE));
    EXPECT_STATUS(STATUS_SUCCESS, Check(sd, *other, GENERIC_READ));
  }
}

TEST_F(AccessCheckTest, MandatoryLabels) {
  auto low = MakeToken(1000, {u"WD", u"BU", u"AU"}, SECURITY_MANDATORY_LOW_RID);
  // No label: the object counts as medium, no write up.
  EXPECT_STATUS(STATUS_SUCCESS, Check(full_.get(), *low, GENERIC_READ | GENERIC_EXECUTE));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(full_.get(), *low, FILE_WRITE_DATA));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(full_.get(), *low, WRITE_DAC));
  EXPECT_STATUS(STATUS_SUCCESS, Check(full_.get(), *low, MAXIMUM_ALLOWED));
  EXPECT_EQ(granted_, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE));

  // A low label admits everyone.
  PoolSd lowLabel = ParseSddl(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)S:(ML;;NW;;;LW)");
  EXPECT_STATUS(STATUS_SUCCESS, Check(lowLabel.get(), *low, GENERIC_WRITE));

  // No-security volumes: NULL DACL and a low label built with the kernel routines.
  auto lw = Sid(u"LW");
  alignas(4) UCHAR saclBuffer[32];
  PACL sacl = reinterpret_cast<PACL>(saclBuffer);
  RtlCreateAcl(sacl, sizeof saclBuffer, ACL_REVISION);
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddMandatoryAce(sacl, ACL_REVISION, 0, lw.data(),
                                                   SYSTEM_MANDATORY_LABEL_ACE_TYPE,
                                                   SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
  SECURITY_DESCRIPTOR open;
  RtlCreateSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  RtlSetDaclSecurityDescriptor(&open, TRUE, nullptr, FALSE);
  RtlSetSaclSecurityDescriptor(&open, TRUE, sacl, FALSE);
  EXPECT_STATUS(STATUS_SUCCESS, Check(&open, *low, FILE_GENERIC_READ | FILE_GENERIC_WRITE));
  // An access-allowed ace in the SACL is no label: the medium default holds.
  RtlCreateAcl(sacl, sizeof saclBuffer, ACL_REVISION);
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessAllowedAce(sacl, ACL_REVISION, 0x0012019F, lw.data()));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(&open, *low, FILE_GENERIC_WRITE));
  EXPECT_STATUS(STATUS_SUCCESS, Check(&open, *user_, FILE_GENERIC_WRITE));

  // A high label with no read up keeps medium tokens from reading, not the system.
  PoolSd high = ParseSddl(u"D:(A;;GA;;;WD)S:(ML;;NWNR;;;HI)");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(high.get(), *user_, FILE_READ_DATA));
  EXPECT_STATUS(STATUS_SUCCESS, Check(high.get(), *user_, FILE_EXECUTE));
  EXPECT_STATUS(STATUS_SUCCESS, Check(high.get(), *system_, GENERIC_ALL));
  // Inherit-only labels do not label the object itself.
  PoolSd inherited = ParseSddl(u"D:(A;;GA;;;WD)S:(ML;OICIIO;NWNR;;;HI)");
  EXPECT_STATUS(STATUS_SUCCESS, Check(inherited.get(), *user_, GENERIC_ALL));
}

TEST_F(AccessCheckTest, PrivilegesAndBadDescriptors) {
  EXPECT_STATUS(STATUS_PRIVILEGE_NOT_HELD, Check(full_.get(), *user_, ACCESS_SYSTEM_SECURITY));
  EXPECT_STATUS(STATUS_PRIVILEGE_NOT_HELD, Check(full_.get(), *system_, ACCESS_SYSTEM_SECURITY));
  ASSERT_STATUS(STATUS_SUCCESS, system_->AdjustPrivilege(SE_SECURITY_PRIVILEGE, true));
  EXPECT_STATUS(STATUS_SUCCESS, Check(full_.get(), *system_, ACCESS_SYSTEM_SECURITY | GENERIC_READ));
  EXPECT_EQ(granted_, ACCESS_MASK(ACCESS_SYSTEM_SECURITY | FILE_GENERIC_READ));

  PoolSd empty = ParseSddl(u"D:");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Check(empty.get(), *system_, WRITE_OWNER));
  ASSERT_STATUS(STATUS_SUCCESS, system_->AdjustPrivilege(SE_TAKE_OWNERSHIP_PRIVILEGE, true));
  EXPECT_STATUS(STATUS_SUCCESS, Check(empty.get(), *system_, WRITE_OWNER));

  EXPECT_STATUS(STATUS_INVALID_SECURITY_DESCR, Check(nullptr, *user_, GENERIC_READ));
  auto *header = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(full_.get());
  PACL dacl = reinterpret_cast<PACL>(static_cast<PUCHAR>(full_.get()) + header->Dacl);
  dacl->AceCount = 4;  // one more than is there
  EXPECT_STATUS(STATUS_INVALID_SECURITY_DESCR, Check(full_.get(), *user_, GENERIC_READ));
  EXPECT_EQ(granted_, 0u);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                bw::AccessCheck(read_.get(), *user_, GENERIC_READ, kFileMapping, nullptr));
}
