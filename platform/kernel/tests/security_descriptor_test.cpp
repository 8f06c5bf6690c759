// Security descriptors: building, converting between forms, and SDDL.
#include "bw/host.h"
#include "platform/kernel/tests/security_test_util.h"
#include "tests/support/status_matchers.h"

#include <cstring>

using namespace bw::test;

namespace {

class SecurityDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = bw::PoolOutstandingAllocations(); }
  void TearDown() override { EXPECT_EQ(bw::PoolOutstandingAllocations(), before_) << "pool leak"; }
  uint64_t before_ = 0;
};

std::vector<UCHAR> Bytes(PVOID p, size_t n) {
  return std::vector<UCHAR>(static_cast<PUCHAR>(p), static_cast<PUCHAR>(p) + n);
}

}  // namespace

TEST_F(SecurityDescriptorTest, UsersMayReadStringIsByteExact) {
  PoolSd sd = ParseSddl(kUsersReadSddl);
  ASSERT_TRUE(sd);
  const UCHAR expected[] = {
      1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,  // header
      2, 0, 76, 0, 3, 0, 0, 0,                                            // ACL
      0, 0, 20, 0, 0, 0, 0, 0x10, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,    // GA SY
      0, 0, 24, 0, 0, 0, 0, 0x10, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,  // GA BA
      0, 0, 24, 0, 0, 0, 0, 0x80, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0,  // GR BU
  };
  ASSERT_EQ(RtlLengthSecurityDescriptor(sd.get()), sizeof expected);
  EXPECT_EQ(Bytes(sd.get(), sizeof expected), Bytes((PVOID)expected, sizeof expected));
  EXPECT_EQ(bw::PoolBytesWithTag(kSdTag), sizeof expected);
  EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.get(), sizeof expected,
                                                 DACL_SECURITY_INFORMATION));
}

TEST_F(SecurityDescriptorTest, TheTwoDeviceStringsDifferOnlyInTheUsersMask) {
  PoolSd full = ParseSddl(kUsersFullSddl), read = ParseSddl(kUsersReadSddl);
  const char *sids[] = {"S-1-5-18", "S-1-5-32-544", "S-1-5-32-545"};
  for (auto *sd : {full.get(), read.get()}) {
    BOOLEAN present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    EXPECT_FALSE(defaulted);
    ASSERT_EQ(dacl->AceCount, 3);
    EXPECT_EQ(dacl->AclRevision, ACL_REVISION);
    for (ULONG i = 0; i < 3; ++i) {
      PACCESS_ALLOWED_ACE ace;
      ASSERT_STATUS(STATUS_SUCCESS, RtlGetAce(dacl, i, reinterpret_cast<PVOID *>(&ace)));
      EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
      EXPECT_EQ(ace->Header.AceFlags, 0);
      EXPECT_EQ(SidText(&ace->SidStart), sids[i]);
      ACCESS_MASK expected = (sd == read.get() && i == 2) ? GENERIC_READ : GENERIC_ALL;
      EXPECT_EQ(ace->Mask, expected) << "ace " << i;
    }
    PSID owner = &owner;
    BOOLEAN ownerDefaulted;
    ASSERT_STATUS(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(sd, &owner, &ownerDefaulted));
    EXPECT_EQ(owner, nullptr);
  }
}

TEST_F(SecurityDescriptorTest, FullSddlGrammar) {
  PoolSd sd = ParseSddl(
      u"O:BAG:S-1-5-21-1-2-3-513D:AI(D;OICIIO;WDWO;;;WD)(A;ID;0x1F01FF;;;S-1-5-21-1-2-3-1001)"
      u"(A;NP;42;;;AU)S:P(ML;;NWNR;;;LW)");
  ASSERT_TRUE(sd);
  SECURITY_DESCRIPTOR_CONTROL control;
  ULONG revision;
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetControlSecurityDescriptor(sd.get(), &control, &revision));
  EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED |
                         SE_SACL_PRESENT | SE_SACL_PROTECTED);
  PSID owner, group;
  BOOLEAN defaulted;
  RtlGetOwnerSecurityDescriptor(sd.get(), &owner, &defaulted);
  RtlGetGroupSecurityDescriptor(sd.get(), &group, &defaulted);
  EXPECT_EQ(SidText(owner), "S-1-5-32-544");
  EXPECT_EQ(SidText(group), "S-1-5-21-1-2-3-513");

  BOOLEAN present;
  PACL dacl, sacl;
  RtlGetDaclSecurityDescriptor(sd.get(), &present, &dacl, &defaulted);
  ASSERT_EQ(dacl->AceCount, 3);
  PACCESS_ALLOWED_ACE ace;
  RtlGetAce(dacl, 0, reinterpret_cast<PVOID *>(&ace));
  EXPECT_EQ(ace->Header.AceType, ACCESS_DENIED_ACE_TYPE);
  EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE);
  EXPECT_EQ(ace->Mask, ACCESS_MASK(WRITE_DAC | WRITE_OWNER));
  EXPECT_EQ(SidText(&ace->SidStart), "S-1-1-0");
  RtlGetAce(dacl, 1, reinterpret_cast<PVOID *>(&ace));
  EXPECT_EQ(ace->Header.AceFlags, INHERITED_ACE);
  EXPECT_EQ(ace->Mask, 0x001F01FFu);
  EXPECT_EQ(SidText(&ace->SidStart), "S-1-5-21-1-2-3-1001");
  RtlGetAce(dacl, 2, reinterpret_cast<PVOID *>(&ace));
  EXPECT_EQ(ace->Header.AceFlags, NO_PROPAGATE_INHERIT_ACE);
  EXPECT_EQ(ace->Mask, 42u);

  RtlGetSaclSecurityDescriptor(sd.get(), &present, &sacl, &defaulted);
  ASSERT_TRUE(present && sacl);
  ASSERT_EQ(sacl->AceCount, 1);
  RtlGetAce(sacl, 0, reinterpret_cast<PVOID *>(&ace));
  EXPECT_EQ(ace->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
  EXPECT_EQ(ace->Mask, ACCESS_MASK(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP |
                                   SYSTEM_MANDATORY_LABEL_NO_READ_UP));
  EXPECT_EQ(SidText(&ace->SidStart), "S-1-16-4096");
  EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(
      sd.get(), RtlLengthSecurityDescriptor(sd.get()),
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
          SACL_SECURITY_INFORMATION));
}

TEST_F(SecurityDescriptorTest, NullAndEmptyDacls) {
  PoolSd nullDacl = ParseSddl(u"D:NO_ACCESS_CONTROL");
  PoolSd emptyDacl = ParseSddl(u"D:P");
  PoolSd nothing = ParseSddl(u"");
  BOOLEAN present, defaulted;
  PACL dacl = reinterpret_cast<PACL>(&dacl);
  RtlGetDaclSecurityDescriptor(nullDacl.get(), &present, &dacl, &defaulted);
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_EQ(RtlLengthSecurityDescriptor(nullDacl.get()), 20u);
  RtlGetDaclSecurityDescriptor(emptyDacl.get(), &present, &dacl, &defaulted);
  ASSERT_TRUE(present && dacl);
  EXPECT_EQ(dacl->AceCount, 0);
  EXPECT_EQ(dacl->AclSize, sizeof(ACL));
  RtlGetDaclSecurityDescriptor(nothing.get(), &present, &dacl, &defaulted);
  EXPECT_FALSE(present);
  EXPECT_EQ(dacl, nullptr);
}

TEST_F(SecurityDescriptorTest, MalformedSddlIsRefused) {
  const char16_t *bad[] = {
      u"X:",
      u"D",
      u"D:P(A;;GA;;;XX)",
      u"D:P(A;;GA;;;SY",
      u"D:P(A;;GA;;;SY)x",
      u"D:P(Q;;GA;;;SY)",
      u"D:P(A;;ZZ;;;SY)",
      u"D:P(A;XX;GA;;;SY)",
      u"D:P(A;;G;;;SY)",
      u"D:(A;;GA;;;S-1-)",
      u"D:(A;;GA;;;S-2-5-18)",
      u"D:(A;;GA;;;S-1-5-)",
      u"D:(A;;GA;;;S-1-5-4294967296)",
      u"D:(A;;GA;;;S-1-5-0x12)",
      u"D:(A;;GA;;;S-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1)",  // 16 sub-authorities
      u"D:(A;;0x100000000;;;SY)",
      u"D:(A;;GA;;;SY;x)",
      u"D:(A;;GA;;;)",
      u"D:(A;;GA;{00000000-0000-0000-0000-000000000000};;SY)",
      u"D:(A;;GA;;;SY)D:(A;;GA;;;SY)",
      u"O:SYO:SY",
      u"O:",
      u"D:NO_ACCESS_CONTROL(A;;GA;;;SY)",
      u"D:Q(A;;GA;;;SY)",
      u"S:(ML;;GA;;;LW)",
      u"d:p(a;;ga;;;sy)",
  };
  for (const char16_t *text : bad) {
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, bw::SddlToSecurityDescriptor(text, &sd, kSdTag))
        << std::string(text, text + std::char_traits<char16_t>::length(text));
    EXPECT_EQ(sd, nullptr);
  }
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                bw::SddlToSecurityDescriptor(kUsersFullSddl, nullptr, kSdTag));
}

TEST_F(SecurityDescriptorTest, SddlAllocationFailure) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                bw::SddlToSecurityDescriptor(kUsersFullSddl, &sd, kSdTag));
  bw::ClearFaults();
  EXPECT_EQ(sd, nullptr);
}

TEST_F(SecurityDescriptorTest, AbsoluteToSelfRelativeAndBack) {
  auto owner = Sid(u"S-1-5-21-1-2-3-1001"), group = Sid(u"SY"), user = Sid(u"BU");
  auto low = Sid(u"LW");
  alignas(4) UCHAR daclBuffer[64], saclBuffer[32];
  PACL dacl = reinterpret_cast<PACL>(daclBuffer), sacl = reinterpret_cast<PACL>(saclBuffer);
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(dacl, 32, ACL_REVISION));
  ASSERT_STATUS(STATUS_SUCCESS,
                RtlAddAccessAllowedAceEx(dacl, ACL_REVISION, CONTAINER_INHERIT_ACE, 0x1F01FF,
                                         user.data()));
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateAcl(sacl, 28, ACL_REVISION));
  ASSERT_STATUS(STATUS_SUCCESS,
                RtlAddMandatoryAce(sacl, ACL_REVISION, 0, low.data(),
                                   SYSTEM_MANDATORY_LABEL_ACE_TYPE,
                                   SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));

  SECURITY_DESCRIPTOR abs;
  EXPECT_STATUS(STATUS_UNKNOWN_REVISION, RtlCreateSecurityDescriptor(&abs, 2));
  ASSERT_STATUS(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&abs, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_STATUS(STATUS_SUCCESS, RtlSetOwnerSecurityDescriptor(&abs, owner.data(), FALSE));
  ASSERT_STATUS(STATUS_SUCCESS, RtlSetGroupSecurityDescriptor(&abs, group.data(), TRUE));
  ASSERT_STATUS(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(&abs, TRUE, dacl, FALSE));
  ASSERT_STATUS(STATUS_SUCCESS, RtlSetSaclSecurityDescriptor(&abs, TRUE, sacl, FALSE));
  EXPECT_TRUE(RtlValidSecurityDescriptor(&abs));
  ULONG total = 20 + 8 + 24 + 8 + 20 + 28 + 12;
  EXPECT_EQ(RtlLengthSecurityDescriptor(&abs), 40 + total - 20);

  ULONG length = 0;
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&abs, nullptr, &length));
  ASSERT_EQ(length, total);
  alignas(8) UCHAR rel[128];
  length = total - 1;
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&abs, rel, &length));
  EXPECT_EQ(length, total);
  ASSERT_STATUS(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&abs, rel, &length));
  auto *header = reinterpret_cast<PISECURITY_DESCRIPTOR_RELATIVE>(rel);
  EXPECT_EQ(header->Control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT |
                                 SE_GROUP_DEFAULTED);
  // SACL, DACL, owner, group, in that order after the header.
  EXPECT_EQ(header->Sacl, 20u);
  EXPECT_EQ(header->Dacl, 20u + 28);
  EXPECT_EQ(header->Owner, 20u + 28 + 32);
  EXPECT_EQ(header->Group, 20u + 28 + 32 + 28);
  EXPECT_EQ(Bytes(rel + header->Dacl, 32), Bytes(dacl, 32));
  EXPECT_EQ(Bytes(rel + header->Owner, 28), owner);
  EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(rel, total, OWNER_SECURITY_INFORMATION));
  EXPECT_EQ(RtlLengthSecurityDescriptor(rel), total);

  // Forms are not interchangeable.
  EXPECT_STATUS(STATUS_BAD_DESCRIPTOR_FORMAT, RtlAbsoluteToSelfRelativeSD(rel, rel, &length));
  EXPECT_STATUS(STATUS_BAD_DESCRIPTOR_FORMAT, RtlSetDaclSecurityDescriptor(rel, TRUE, dacl, FALSE));

  // Back to absolute: every size is reported when one is short.
  SECURITY_DESCRIPTOR back;
  alignas(4) UCHAR d2[64], s2[32], o2[68], g2[68];
  ULONG absSize = sizeof back, dSize = sizeof d2, sSize = sizeof s2, oSize = 27, gSize = sizeof g2;
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL,
                RtlSelfRelativeToAbsoluteSD(rel, &back, &absSize, (PACL)d2, &dSize, (PACL)s2,
                                            &sSize, o2, &oSize, g2, &gSize));
  EXPECT_EQ(absSize, sizeof(SECURITY_DESCRIPTOR));
  EXPECT_EQ(dSize, 32u);
  EXPECT_EQ(sSize, 28u);
  EXPECT_EQ(oSize, 28u);
  EXPECT_EQ(gSize, 12u);
  ASSERT_STATUS(STATUS_SUCCESS,
                RtlSelfRelativeToAbsoluteSD(rel, &back, &absSize, (PACL)d2, &dSize, (PACL)s2,
                                            &sSize, o2, &oSize, g2, &gSize));
  EXPECT_EQ(back.Control, abs.Control);
  EXPECT_TRUE(RtlEqualSid(back.Owner, owner.data()));
  EXPECT_TRUE(RtlEqualSid(back.Group, group.data()));
  EXPECT_EQ(Bytes(back.Dacl, 32), Bytes(dacl, 32));
  EXPECT_EQ(Bytes(back.Sacl, 28), Bytes(sacl, 28));
  EXPECT_STATUS(STATUS_BAD_DESCRIPTOR_FORMAT,
                RtlSelfRelativeToAbsoluteSD(&abs, &back, &absSize, (PACL)d2, &dSize, (PACL)s2,
                                            &sSize, o2, &oSize, g2, &gSize));
}

TEST_F(SecurityDescriptorTest, RelativeDescriptorBoundsAreChecked) {
  PoolSd sd = ParseSddl(u"O:SYD:(A;;GA;;;BA)");
  ULONG length = RtlLengthSecurityDescriptor(sd.get());
  EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.get(), length, 0));
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length - 1, 0));
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length, GROUP_SECURITY_INFORMATION));
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length, SACL_SECURITY_INFORMATION));
  auto *header = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd.get());
  ULONG owner = header->Owner;
  header->Owner = length;  // past the end
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length, 0));
  header->Owner = 4;  // inside the header
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length, 0));
  header->Owner = owner + 2;  // misaligned
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length, 0));
  header->Owner = owner;
  header->Revision = 2;
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.get(), length, 0));
  EXPECT_FALSE(RtlValidSecurityDescriptor(sd.get()));
  BOOLEAN present, defaulted;
  PACL dacl;
  EXPECT_STATUS(STATUS_UNKNOWN_REVISION,
                RtlGetDaclSecurityDescriptor(sd.get(), &present, &dacl, &defaulted));
  header->Revision = 1;
}

TEST(SecurityGenericMapping, MapsAndClearsGenericBits) {
  ACCESS_MASK mask = GENERIC_READ | GENERIC_EXECUTE | DELETE;
  RtlMapGenericMask(&mask, &kFileMapping);
  EXPECT_EQ(mask, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | DELETE));
  mask = GENERIC_ALL | MAXIMUM_ALLOWED;
  RtlMapGenericMask(&mask, &kFileMapping);
  EXPECT_EQ(mask, ACCESS_MASK(FILE_ALL_ACCESS | MAXIMUM_ALLOWED));
}
