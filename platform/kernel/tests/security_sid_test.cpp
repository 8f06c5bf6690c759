// SIDs and ACLs: binary layouts, construction, string form, ACL editing.
#include "bw/host.h"
#include "platform/kernel/tests/security_test_util.h"
#include "tests/support/status_matchers.h"

#include <cstddef>
#include <cstring>

using namespace bw::test;

// Layouts shared with real driver code (x64).
static_assert(sizeof(SID) == 12 && offsetof(SID, SubAuthority) == 8);
static_assert(SECURITY_MAX_SID_SIZE == 68);
static_assert(sizeof(ACL) == 8 && sizeof(ACE_HEADER) == 4);
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12 && offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8);
static_assert(sizeof(SYSTEM_MANDATORY_LABEL_ACE) == 12);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40 && offsetof(SECURITY_DESCRIPTOR, Owner) == 8 &&
              offsetof(SECURITY_DESCRIPTOR, Group) == 16 &&
              offsetof(SECURITY_DESCRIPTOR, Sacl) == 24 && offsetof(SECURITY_DESCRIPTOR, Dacl) == 32);
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20 &&
              offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl) == 16);
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16 && offsetof(TOKEN_GROUPS, Groups) == 8);
static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12 && sizeof(TOKEN_PRIVILEGES) == 16);
static_assert(sizeof(TOKEN_STATISTICS) == 56 && offsetof(TOKEN_STATISTICS, AuthenticationId) == 8 &&
              offsetof(TOKEN_STATISTICS, TokenType) == 24 &&
              offsetof(TOKEN_STATISTICS, ModifiedId) == 48);
static_assert(sizeof(GENERIC_MAPPING) == 16);
static_assert(FILE_GENERIC_READ == 0x120089 && FILE_GENERIC_WRITE == 0x120116 &&
              FILE_GENERIC_EXECUTE == 0x1200A0 && FILE_ALL_ACCESS == 0x1F01FF);
static_assert((FILE_GENERIC_READ | FILE_GENERIC_WRITE) == 0x0012019F);

TEST(SecuritySid, AdministratorsSidIsByteExact) {
  UCHAR buffer[SECURITY_MAX_SID_SIZE];
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  ASSERT_STATUS(STATUS_SUCCESS, RtlInitializeSid(buffer, &nt, 2));
  *RtlSubAuthoritySid(buffer, 0) = SECURITY_BUILTIN_DOMAIN_RID;
  *RtlSubAuthoritySid(buffer, 1) = DOMAIN_ALIAS_RID_ADMINS;
  const UCHAR expected[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
  ASSERT_EQ(RtlLengthSid(buffer), sizeof expected);
  EXPECT_EQ(0, memcmp(buffer, expected, sizeof expected));
  EXPECT_TRUE(RtlValidSid(buffer));
  EXPECT_EQ(*RtlSubAuthorityCountSid(buffer), 2);
  EXPECT_EQ(RtlLengthRequiredSid(2), 16u);
  EXPECT_EQ(Sid(u"BA"), std::vector<UCHAR>(expected, expected + sizeof expected));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlInitializeSid(buffer, &nt, 16));
}

TEST(SecuritySid, ValidityEqualityAndCopy) {
  auto sy = Sid(u"SY"), ba = Sid(u"BA"), ba2 = Sid(u"S-1-5-32-544");
  EXPECT_TRUE(RtlEqualSid(ba.data(), ba2.data()));
  EXPECT_FALSE(RtlEqualSid(ba.data(), sy.data()));
  auto bu = Sid(u"BU");  // same length as BA, last RID differs
  EXPECT_FALSE(RtlEqualSid(ba.data(), bu.data()));

  std::vector<UCHAR> bad = sy;
  bad[0] = 2;  // revision
  EXPECT_FALSE(RtlValidSid(bad.data()));
  bad = sy;
  bad[1] = 16;  // too many sub-authorities
  EXPECT_FALSE(RtlValidSid(bad.data()));
  EXPECT_FALSE(RtlValidSid(nullptr));

  UCHAR out[16];
  memset(out, 0xEE, sizeof out);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlCopySid(15, out, ba.data()));
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_STATUS(STATUS_SUCCESS, RtlCopySid(16, out, ba.data()));
  EXPECT_TRUE(RtlEqualSid(out, ba.data()));
}

TEST(SecuritySid, StringForms) {
  EXPECT_EQ(SidText(Sid(u"BA").data()), "S-1-5-32-544");
  EXPECT_EQ(SidText(Sid(u"WD").data()), "S-1-1-0");
  EXPECT_EQ(SidText(Sid(u"LW").data()), "S-1-16-4096");
  EXPECT_EQ(SidText(Sid(u"CO").data()), "S-1-3-0");
  EXPECT_EQ(SidText(Sid(u"S-1-5-21-1-2-3-1001").data()), "S-1-5-21-1-2-3-1001");

  // Authorities of 2^32 and above are written in hexadecimal.
  UCHAR big[12];
  SID_IDENTIFIER_AUTHORITY wide = {{0x12, 0x34, 0, 0, 0, 5}};
  RtlInitializeSid(big, &wide, 1);
  *RtlSubAuthoritySid(big, 0) = 7;
  EXPECT_EQ(SidText(big), "S-1-0x123400000005-7");
  EXPECT_EQ(Sid(u"S-1-0x123400000005-7"), std::vector<UCHAR>(big, big + 12));

  // The longest SID there is.
  std::u16string longest = u"S-1-4294967295";
  for (int i = 0; i < 15; ++i) longest += u"-4294967295";
  auto sid = Sid(longest);
  ASSERT_EQ(sid.size(), SECURITY_MAX_SID_SIZE);
  EXPECT_EQ(SidText(sid.data()), std::string(longest.begin(), longest.end()));
}

TEST(SecuritySid, ConvertIntoCallerBuffer) {
  auto ba = Sid(u"BA");
  WCHAR chars[13];  // "S-1-5-32-544" is 12 characters, the terminator needs one more
  UNICODE_STRING s{0, sizeof chars - sizeof(WCHAR), chars};
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, RtlConvertSidToUnicodeString(&s, ba.data(), FALSE));
  s.MaximumLength = sizeof chars;
  ASSERT_STATUS(STATUS_SUCCESS, RtlConvertSidToUnicodeString(&s, ba.data(), FALSE));
  EXPECT_EQ(s.Length, 24);
  EXPECT_EQ(std::u16string(chars), u"S-1-5-32-544");

  auto bad = ba;
  bad[0] = 3;
  EXPECT_STATUS(STATUS_INVALID_SID, RtlConvertSidToUnicodeString(&s, bad.data(), TRUE));
}

TEST(SecurityAcl, AddAcesUntilFull) {
  auto before = bw::PoolOutstandingAllocations();
  auto sy = Sid(u"SY"), ba = Sid(u"BA");
  // Room for exactly one ace with SYSTEM's SID (8 + 12) and one with BA's (8 + 16).
  alignas(4) UCHAR buffer[8 + 20 + 24 + 3];
  PACL acl = reinterpret_cast<PACL>(buffer);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlCreateAcl(acl, 7, ACL_REVISION));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, sizeof buffer, 1));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, 0x10000, ACL_REVISION));
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof buffer, ACL_REVISION));
  EXPECT_EQ(acl->AclSize, 52);  // rounded down to whole ULONGs
  EXPECT_TRUE(RtlValidAcl(acl));

  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sy.data()));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                RtlAddAccessAllowedAceEx(acl, ACL_REVISION, 0x20, GENERIC_READ, ba.data()));
  auto bad = ba;
  bad[1] = 20;
  EXPECT_STATUS(STATUS_INVALID_SID,
                RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, bad.data()));
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessAllowedAceEx(acl, ACL_REVISION,
                                                         OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                                         0x001F01FF, ba.data()));
  EXPECT_STATUS(STATUS_ALLOTTED_SPACE_EXCEEDED,
                RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, sy.data()));
  EXPECT_EQ(acl->AceCount, 2);
  EXPECT_TRUE(RtlValidAcl(acl));

  const UCHAR secondAce[] = {0, 3, 24, 0, 0xFF, 0x01, 0x1F, 0,   // header, mask
                             1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
  PVOID ace = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(acl, 1, &ace));
  EXPECT_EQ(ace, buffer + 28);
  EXPECT_EQ(0, memcmp(ace, secondAce, sizeof secondAce));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlGetAce(acl, 2, &ace));
  EXPECT_EQ(bw::PoolOutstandingAllocations(), before);
}

TEST(SecurityAcl, InsertDeleteAndValidate) {
  auto sy = Sid(u"SY"), bu = Sid(u"BU"), lw = Sid(u"LW");
  alignas(4) UCHAR buffer[128];
  PACL acl = reinterpret_cast<PACL>(buffer);
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof buffer, ACL_REVISION));
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, 1, sy.data()));
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAccessDeniedAce(acl, ACL_REVISION, 2, bu.data()));

  // Take the deny ace out and put it back in front.
  PVOID ace;
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(acl, 1, &ace));
  std::vector<UCHAR> copy(static_cast<PUCHAR>(ace), static_cast<PUCHAR>(ace) + 24);
  ASSERT_STATUS(STATUS_SUCCESS, RtlDeleteAce(acl, 1));
  EXPECT_EQ(acl->AceCount, 1);
  ASSERT_STATUS(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 0, copy.data(), 24));
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(acl, 0, &ace));
  EXPECT_EQ(static_cast<PACE_HEADER>(ace)->AceType, ACCESS_DENIED_ACE_TYPE);
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(acl, 1, &ace));
  EXPECT_EQ(reinterpret_cast<PACCESS_ALLOWED_ACE>(ace)->Mask, 1u);
  EXPECT_TRUE(RtlValidAcl(acl));
  // A partial ace is refused; so is more than the ACL can hold.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, RtlAddAce(acl, ACL_REVISION, 0, copy.data(), 20));
  std::vector<UCHAR> many;
  for (int i = 0; i < 4; ++i) many.insert(many.end(), copy.begin(), copy.end());
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL,
                RtlAddAce(acl, ACL_REVISION, 0xFFFFFFFF, many.data(), ULONG(many.size())));

  // Mandatory label aces carry only policy bits.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                RtlAddMandatoryAce(acl, ACL_REVISION, 0, lw.data(),
                                   SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0x0012019F));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                RtlAddMandatoryAce(acl, ACL_REVISION, 0, lw.data(), ACCESS_ALLOWED_ACE_TYPE, 1));
  EXPECT_STATUS(STATUS_SUCCESS, RtlAddMandatoryAce(acl, ACL_REVISION, 0, lw.data(),
                                                   SYSTEM_MANDATORY_LABEL_ACE_TYPE,
                                                   SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));

  // Structural damage is noticed.
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(acl, 1, &ace));
  static_cast<PACE_HEADER>(ace)->AceSize = 200;
  EXPECT_FALSE(RtlValidAcl(acl));
  static_cast<PACE_HEADER>(ace)->AceSize = 22;
  EXPECT_FALSE(RtlValidAcl(acl));
  static_cast<PACE_HEADER>(ace)->AceSize = 16;  // cuts SYSTEM's SID short
  EXPECT_FALSE(RtlValidAcl(acl));
  static_cast<PACE_HEADER>(ace)->AceSize = 20;
  EXPECT_TRUE(RtlValidAcl(acl));
}
