// Well-known SIDs and lists built by SetEntriesInAclW: order, replacement
// of a trustee's entries, inherited entries kept; no daemon is needed.
#include <aclapi.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<BYTE> Sid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size)) << GetLastError();
  sid.resize(size);
  return sid;
}

EXPLICIT_ACCESS_W Entry(std::vector<BYTE> &sid, ACCESS_MODE mode, DWORD rights, DWORD inheritance = 0) {
  EXPLICIT_ACCESS_W e{};
  e.grfAccessPermissions = rights;
  e.grfAccessMode = mode;
  e.grfInheritance = inheritance;
  e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  e.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  e.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
  return e;
}

struct Ace {
  BYTE type, flags;
  ACCESS_MASK mask;
  std::vector<BYTE> sid;
};

std::vector<Ace> Entries(PACL acl) {
  std::vector<Ace> out;
  auto *at = reinterpret_cast<BYTE *>(acl) + sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(at);
    auto *sid = reinterpret_cast<BYTE *>(&ace->SidStart);
    out.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                   std::vector<BYTE>(sid, sid + GetLengthSid(sid))});
    at += ace->Header.AceSize;
  }
  return out;
}

TEST(WellKnownSids, LayoutAndSizes) {
  EXPECT_EQ((std::vector<BYTE>{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0}), Sid(WinBuiltinUsersSid));
  EXPECT_EQ((std::vector<BYTE>{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}),
            Sid(WinBuiltinAdministratorsSid));
  EXPECT_EQ((std::vector<BYTE>{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}), Sid(WinWorldSid));
  EXPECT_EQ((std::vector<BYTE>{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}), Sid(WinLocalSystemSid));
  BYTE small[8];
  DWORD size = sizeof small;
  EXPECT_FALSE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, small, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(16u, size);
  EXPECT_FALSE(CreateWellKnownSid(static_cast<WELL_KNOWN_SID_TYPE>(999), nullptr, small, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(SetEntriesInAcl, MergesIntoCanonicalOrder) {
  auto users = Sid(WinBuiltinUsersSid), world = Sid(WinWorldSid), admins = Sid(WinBuiltinAdministratorsSid);
  EXPLICIT_ACCESS_W first[] = {Entry(world, GRANT_ACCESS, GENERIC_READ), Entry(users, GRANT_ACCESS, GENERIC_READ)};
  PACL old = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetEntriesInAclW(2, first, nullptr, &old));
  // An inherited entry, as the file system adds them below a parent.
  reinterpret_cast<ACE_HEADER *>(reinterpret_cast<BYTE *>(old) + sizeof(ACL))->AceFlags = INHERITED_ACE;

  EXPLICIT_ACCESS_W change[] = {Entry(users, SET_ACCESS, 0xE0010000, SUB_CONTAINERS_AND_OBJECTS_INHERIT),
                                Entry(admins, DENY_ACCESS, DELETE)};
  PACL merged = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetEntriesInAclW(2, change, old, &merged));
  auto entries = Entries(merged);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, entries[0].type);  // denials first
  EXPECT_EQ(admins, entries[0].sid);
  // Users' earlier entry went: one entry with the new rights and inheritance.
  EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, entries[1].type);
  EXPECT_EQ(users, entries[1].sid);
  EXPECT_EQ(0xE0010000u, entries[1].mask);
  EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, entries[1].flags);
  EXPECT_EQ(world, entries[2].sid);  // inherited entries last
  EXPECT_EQ(INHERITED_ACE, entries[2].flags);

  EXPLICIT_ACCESS_W revoke[] = {Entry(admins, REVOKE_ACCESS, 0)};
  PACL revoked = nullptr;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SetEntriesInAclW(1, revoke, merged, &revoked));
  EXPECT_EQ(2u, Entries(revoked).size());
  LocalFree(old);
  LocalFree(merged);
  LocalFree(revoked);
}

TEST(SetEntriesInAcl, RefusesWhatItCannotBuild) {
  auto users = Sid(WinBuiltinUsersSid);
  PACL acl = reinterpret_cast<PACL>(1);
  EXPLICIT_ACCESS_W byName = Entry(users, GRANT_ACCESS, GENERIC_READ);
  byName.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED), SetEntriesInAclW(1, &byName, nullptr, &acl));
  EXPECT_EQ(nullptr, acl);
  BYTE broken[] = {9, 9, 9};
  EXPLICIT_ACCESS_W badSid = Entry(users, GRANT_ACCESS, GENERIC_READ);
  badSid.Trustee.ptstrName = reinterpret_cast<LPWSTR>(broken);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), SetEntriesInAclW(1, &badSid, nullptr, &acl));
  ACL lying{ACL_REVISION, 0, sizeof(ACL), 3, 0};  // claims entries it has no room for
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ACL), SetEntriesInAclW(0, nullptr, &lying, &acl));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), SetEntriesInAclW(1, nullptr, nullptr, &acl));
}

}  // namespace
