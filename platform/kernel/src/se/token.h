// Access tokens of the kernel stand-in: who a process or thread is (user and
// group SIDs, privileges, logon session, integrity level), and the access
// check that compares a token with a security descriptor.
#pragma once

#include "nt/security.h"

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace bw {

class Token {
 public:
  struct Group {
    std::vector<UCHAR> sid;
    ULONG attributes;  // SE_GROUP_*
  };

  // Everything a token is made of. Groups exclude the integrity label, which
  // the token adds from integrityRid.
  struct Contents {
    std::vector<UCHAR> user;
    std::vector<Group> groups;
    std::vector<LUID_AND_ATTRIBUTES> privileges;
    std::vector<UCHAR> owner;         // default owner of new objects; empty = user
    std::vector<UCHAR> primaryGroup;  // empty = user
    LUID authenticationId{};
    ULONG sessionId = 0;
    ULONG integrityRid = SECURITY_MANDATORY_MEDIUM_RID;
    bool elevated = false;
  };

  // Overrides for ForHostUser; what is not given is derived.
  struct HostLogon {
    std::optional<LUID> authenticationId;  // default: HostLogonId(uid, session id)
    std::optional<ULONG> sessionId;        // default: 0 for uid 0, else 1
  };

  explicit Token(Contents contents);
  Token(const Token &) = delete;
  Token &operator=(const Token &) = delete;

  static std::shared_ptr<Token> Create(Contents contents);

  // LocalSystem: user S-1-5-18, Administrators, system integrity, session 0,
  // logon session SYSTEM_LUID.
  static std::shared_ptr<Token> System();

  // A Linux identity seen as a Windows one:
  // - uid 0 is LocalSystem (as System(), with the logon overrides applied);
  // - any other uid is the local account S-1-5-21-<machine>-<1000 + uid>
  //   with Everyone, Users, Interactive, Authenticated Users, This
  //   Organization, Local and a logon SID, medium integrity;
  // - a user in one of the groups that may become root through sudo
  //   ("sudo", "wheel", "admin") is an administrator as well: Administrators
  //   enabled and owning new objects, administrator privileges, high
  //   integrity, elevated. "adm" only grants reading logs, so it does not
  //   count.
  static std::shared_ptr<Token> ForHostUser(uid_t uid, gid_t gid, std::span<const gid_t> groups,
                                            const HostLogon &logon = {});

  // Stable logon-session id of (uid, login session): HighPart = uid (never 0,
  // so never one of the well-known ids), LowPart = the session.
  static LUID HostLogonId(uid_t uid, ULONG loginSession);
  // Whether membership in the group makes a host user an administrator.
  static bool IsHostAdminGroup(gid_t gid);
  // The user SID ForHostUser gives a uid other than 0.
  static std::vector<UCHAR> HostUserSid(uid_t uid);

  PSID User() const { return const_cast<UCHAR *>(user_.data()); }
  PSID Owner() const { return const_cast<UCHAR *>(owner_.data()); }
  PSID PrimaryGroup() const { return const_cast<UCHAR *>(primaryGroup_.data()); }
  PSID IntegritySid() const;
  // All groups, the integrity label last.
  const std::vector<Group> &Groups() const { return groups_; }
  LUID TokenId() const { return tokenId_; }
  LUID AuthenticationId() const { return authenticationId_; }
  ULONG SessionId() const { return sessionId_; }
  ULONG IntegrityLevel() const { return integrityRid_; }
  bool Elevated() const { return elevated_; }

  // Whether an ace for `sid` applies: the user or an enabled group; deny
  // aces also apply to deny-only groups.
  bool MatchesSid(PSID sid, bool forDenyAce) const;
  bool IsMember(PSID sid) const { return MatchesSid(sid, false); }

  bool PrivilegeEnabled(ULONG privilege) const;
  std::vector<LUID_AND_ATTRIBUTES> Privileges() const;
  // Enables or disables a privilege the token holds; STATUS_NOT_ALL_ASSIGNED
  // (a success status) when it does not hold it.
  NTSTATUS AdjustPrivilege(ULONG privilege, bool enable, bool *wasEnabled = nullptr);

  // Writes the WDK structure of the class into the caller's buffer, pointers
  // pointing into that buffer. A short buffer gives STATUS_BUFFER_TOO_SMALL;
  // *returnLength (when given) always receives the needed length.
  NTSTATUS Query(TOKEN_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                 PULONG returnLength) const;

 private:
  std::vector<UCHAR> user_;
  std::vector<Group> groups_;
  std::vector<UCHAR> owner_;
  std::vector<UCHAR> primaryGroup_;
  LUID tokenId_;
  LUID authenticationId_;
  ULONG sessionId_;
  ULONG integrityRid_;
  bool elevated_;
  mutable std::mutex privilegeLock_;
  std::vector<LUID_AND_ATTRIBUTES> privileges_;
};

using TokenRef = std::shared_ptr<Token>;

// Decides what `token` may do to an object protected by `sd` (either form):
// generic bits of the request and of the aces are mapped with `mapping`; a
// NULL DACL grants everything, an empty one nothing; aces count in order,
// inherit-only ones are skipped; the owner may always read and change the
// DACL unless an OWNER RIGHTS ace says otherwise; MAXIMUM_ALLOWED asks for
// everything the DACL grants; the mandatory label of the SACL (medium
// no-write-up when there is none) keeps lower integrity levels from the
// access it names. ACCESS_SYSTEM_SECURITY needs SeSecurityPrivilege and
// SeTakeOwnershipPrivilege gives WRITE_OWNER.
// Returns STATUS_SUCCESS with *granted, or STATUS_ACCESS_DENIED /
// STATUS_PRIVILEGE_NOT_HELD with *granted = 0. A missing or malformed
// descriptor gives STATUS_INVALID_SECURITY_DESCR: objects without security
// are the caller's decision.
NTSTATUS AccessCheck(PSECURITY_DESCRIPTOR sd, const Token &token, ACCESS_MASK desired,
                     const GENERIC_MAPPING &mapping, ACCESS_MASK *granted);

}  // namespace bw
