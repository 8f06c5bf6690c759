// Access tokens: construction from host identities and information queries.
#include "se/token.h"

#include "nt/rtl.h"
#include "se/security_internal.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstring>
#include <string>

using namespace bw::sec;

namespace {

// The machine's account domain: S-1-5-21-<these>. Fixed, so that SIDs stored
// by one run (e.g. in descriptors on disk) mean the same user in the next.
constexpr ULONG kMachineRid1 = 2370893061u;
constexpr ULONG kMachineRid2 = 1854922739u;
constexpr ULONG kMachineRid3 = 3401537810u;
constexpr ULONG kHostUserRidBase = 1000;

constexpr ULONG kGroupOn = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
constexpr ULONG kIntegrityAttributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;

LUID NextTokenId() {
  // Token ids come from the same space as other locally unique ids; start
  // well clear of the well-known logon sessions.
  static std::atomic<uint64_t> next{0x10000};
  uint64_t v = next.fetch_add(1);
  return LUID{static_cast<ULONG>(v), static_cast<LONG>(v >> 32)};
}

LUID_AND_ATTRIBUTES Priv(ULONG id, bool enabled) {
  ULONG attributes = enabled ? SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED : 0;
  return LUID_AND_ATTRIBUTES{LUID{id, 0}, attributes};
}

std::vector<LUID_AND_ATTRIBUTES> SystemPrivileges() {
  return {Priv(SE_CREATE_TOKEN_PRIVILEGE, false),     Priv(SE_ASSIGNPRIMARYTOKEN_PRIVILEGE, false),
          Priv(SE_LOCK_MEMORY_PRIVILEGE, true),       Priv(SE_INCREASE_QUOTA_PRIVILEGE, false),
          Priv(SE_TCB_PRIVILEGE, true),               Priv(SE_SECURITY_PRIVILEGE, false),
          Priv(SE_TAKE_OWNERSHIP_PRIVILEGE, false),   Priv(SE_LOAD_DRIVER_PRIVILEGE, false),
          Priv(SE_SYSTEM_PROFILE_PRIVILEGE, true),    Priv(SE_SYSTEMTIME_PRIVILEGE, false),
          Priv(SE_PROF_SINGLE_PROCESS_PRIVILEGE, true), Priv(SE_INC_BASE_PRIORITY_PRIVILEGE, true),
          Priv(SE_CREATE_PAGEFILE_PRIVILEGE, true),   Priv(SE_CREATE_PERMANENT_PRIVILEGE, true),
          Priv(SE_BACKUP_PRIVILEGE, false),           Priv(SE_RESTORE_PRIVILEGE, false),
          Priv(SE_SHUTDOWN_PRIVILEGE, false),         Priv(SE_DEBUG_PRIVILEGE, true),
          Priv(SE_AUDIT_PRIVILEGE, true),             Priv(SE_SYSTEM_ENVIRONMENT_PRIVILEGE, false),
          Priv(SE_CHANGE_NOTIFY_PRIVILEGE, true),     Priv(SE_UNDOCK_PRIVILEGE, false),
          Priv(SE_MANAGE_VOLUME_PRIVILEGE, false),    Priv(SE_IMPERSONATE_PRIVILEGE, true),
          Priv(SE_CREATE_GLOBAL_PRIVILEGE, true),     Priv(SE_INC_WORKING_SET_PRIVILEGE, true),
          Priv(SE_TIME_ZONE_PRIVILEGE, true),         Priv(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE, true)};
}

std::vector<LUID_AND_ATTRIBUTES> AdministratorPrivileges() {
  return {Priv(SE_INCREASE_QUOTA_PRIVILEGE, false),     Priv(SE_SECURITY_PRIVILEGE, false),
          Priv(SE_TAKE_OWNERSHIP_PRIVILEGE, false),     Priv(SE_LOAD_DRIVER_PRIVILEGE, false),
          Priv(SE_SYSTEM_PROFILE_PRIVILEGE, false),     Priv(SE_SYSTEMTIME_PRIVILEGE, false),
          Priv(SE_PROF_SINGLE_PROCESS_PRIVILEGE, false), Priv(SE_INC_BASE_PRIORITY_PRIVILEGE, false),
          Priv(SE_CREATE_PAGEFILE_PRIVILEGE, false),    Priv(SE_BACKUP_PRIVILEGE, false),
          Priv(SE_RESTORE_PRIVILEGE, false),            Priv(SE_SHUTDOWN_PRIVILEGE, false),
          Priv(SE_DEBUG_PRIVILEGE, false),              Priv(SE_SYSTEM_ENVIRONMENT_PRIVILEGE, false),
          Priv(SE_CHANGE_NOTIFY_PRIVILEGE, true),       Priv(SE_REMOTE_SHUTDOWN_PRIVILEGE, false),
          Priv(SE_UNDOCK_PRIVILEGE, false),             Priv(SE_MANAGE_VOLUME_PRIVILEGE, false),
          Priv(SE_IMPERSONATE_PRIVILEGE, true),         Priv(SE_CREATE_GLOBAL_PRIVILEGE, true),
          Priv(SE_INC_WORKING_SET_PRIVILEGE, false),    Priv(SE_TIME_ZONE_PRIVILEGE, false),
          Priv(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE, false)};
}

std::vector<LUID_AND_ATTRIBUTES> UserPrivileges() {
  return {Priv(SE_SHUTDOWN_PRIVILEGE, false), Priv(SE_CHANGE_NOTIFY_PRIVILEGE, true),
          Priv(SE_UNDOCK_PRIVILEGE, false), Priv(SE_INC_WORKING_SET_PRIVILEGE, false),
          Priv(SE_TIME_ZONE_PRIVILEGE, false)};
}

SidBytes SystemSid() { return MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID}); }
SidBytes AdministratorsSid() {
  return MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
}

bw::Token::Contents SystemContents() {
  bw::Token::Contents contents;
  contents.user = SystemSid();
  contents.groups = {
      {AdministratorsSid(), kGroupOn | SE_GROUP_OWNER},
      {MakeSid(kWorldAuthority, {SECURITY_WORLD_RID}), kGroupOn},
      {MakeSid(kNtAuthority, {SECURITY_AUTHENTICATED_USER_RID}), kGroupOn},
  };
  contents.privileges = SystemPrivileges();
  contents.owner = AdministratorsSid();
  contents.primaryGroup = SystemSid();
  contents.authenticationId = SYSTEM_LUID;
  contents.sessionId = 0;
  contents.integrityRid = SECURITY_MANDATORY_SYSTEM_RID;
  contents.elevated = true;
  return contents;
}

// Serialises a query result: fixed part first, SIDs after it, pointers
// computed for where the bytes will land in the caller's buffer.
class Writer {
 public:
  explicit Writer(PVOID destination) : destination_(static_cast<PUCHAR>(destination)) {}
  void Reserve(size_t fixed) { bytes_.assign(fixed, 0); }
  template <typename T>
  void Put(size_t offset, const T &value) {
    memcpy(bytes_.data() + offset, &value, sizeof value);
  }
  // Appends a SID (ULONG-aligned) and returns where it will be.
  PSID AppendSid(const std::vector<UCHAR> &sid) {
    bytes_.resize(RoundUp4(static_cast<ULONG>(bytes_.size())), 0);
    size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), sid.begin(), sid.end());
    // Plain address arithmetic: a size probe passes no buffer at all.
    return reinterpret_cast<PSID>(reinterpret_cast<ULONG_PTR>(destination_) + at);
  }
  ULONG Size() const { return static_cast<ULONG>(bytes_.size()); }
  void CopyOut() const { memcpy(destination_, bytes_.data(), bytes_.size()); }

 private:
  PUCHAR destination_;
  std::vector<UCHAR> bytes_;
};

void PutSidAndAttributes(Writer &w, size_t offset, PSID sid, ULONG attributes) {
  SID_AND_ATTRIBUTES sa{};
  sa.Sid = sid;
  sa.Attributes = attributes;
  w.Put(offset, sa);
}

void WriteGroups(Writer &w, const std::vector<bw::Token::Group> &groups) {
  constexpr size_t kArray = offsetof(TOKEN_GROUPS, Groups);
  w.Reserve(kArray + groups.size() * sizeof(SID_AND_ATTRIBUTES));
  w.Put(0, static_cast<ULONG>(groups.size()));
  for (size_t i = 0; i < groups.size(); ++i) {
    PSID where = w.AppendSid(groups[i].sid);
    PutSidAndAttributes(w, kArray + i * sizeof(SID_AND_ATTRIBUTES), where, groups[i].attributes);
  }
}

}  // namespace

namespace bw {

Token::Token(Contents contents)
    : user_(std::move(contents.user)),
      groups_(std::move(contents.groups)),
      owner_(contents.owner.empty() ? user_ : std::move(contents.owner)),
      primaryGroup_(contents.primaryGroup.empty() ? user_ : std::move(contents.primaryGroup)),
      tokenId_(NextTokenId()),
      authenticationId_(contents.authenticationId),
      sessionId_(contents.sessionId),
      integrityRid_(contents.integrityRid),
      elevated_(contents.elevated),
      privileges_(std::move(contents.privileges)) {
  groups_.push_back({MakeSid(kMandatoryLabelAuthority, {integrityRid_}), kIntegrityAttributes});
}

std::shared_ptr<Token> Token::Create(Contents contents) { return std::make_shared<Token>(std::move(contents)); }

std::shared_ptr<Token> Token::System() { return Create(SystemContents()); }

LUID Token::HostLogonId(uid_t uid, ULONG loginSession) {
  LONG high = static_cast<LONG>(uid & 0x7FFFFFFF);
  if (high == 0) high = 0x7FFFFFFF;
  return LUID{loginSession, high};
}

bool Token::IsHostAdminGroup(gid_t gid) {
  struct group entry;
  struct group *found = nullptr;
  std::vector<char> buffer(4096);
  while (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (!found || !found->gr_name) return false;
  std::string name = found->gr_name;
  return name == "sudo" || name == "wheel" || name == "admin";
}

std::vector<UCHAR> Token::HostUserSid(uid_t uid) {
  return MakeSid(kNtAuthority, {SECURITY_NT_NON_UNIQUE, kMachineRid1, kMachineRid2, kMachineRid3,
                                static_cast<ULONG>(kHostUserRidBase + uid)});
}

std::shared_ptr<Token> Token::ForHostUser(uid_t uid, gid_t gid, std::span<const gid_t> groups,
                                          const HostLogon &logon) {
  if (uid == 0) {
    Contents contents = SystemContents();
    contents.sessionId = logon.sessionId.value_or(0);
    if (logon.authenticationId) contents.authenticationId = *logon.authenticationId;
    return Create(std::move(contents));
  }

  bool administrator = IsHostAdminGroup(gid) ||
                       std::any_of(groups.begin(), groups.end(), IsHostAdminGroup);
  Contents contents;
  contents.user = HostUserSid(uid);
  contents.sessionId = logon.sessionId.value_or(1);
  contents.authenticationId =
      logon.authenticationId.value_or(HostLogonId(uid, contents.sessionId));
  const LUID &logonId = contents.authenticationId;
  contents.groups.push_back({MakeSid(kWorldAuthority, {SECURITY_WORLD_RID}), kGroupOn});
  if (administrator) contents.groups.push_back({AdministratorsSid(), kGroupOn | SE_GROUP_OWNER});
  contents.groups.push_back(
      {MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}), kGroupOn});
  contents.groups.push_back({MakeSid(kNtAuthority, {SECURITY_INTERACTIVE_RID}), kGroupOn});
  contents.groups.push_back({MakeSid(kNtAuthority, {SECURITY_AUTHENTICATED_USER_RID}), kGroupOn});
  contents.groups.push_back({MakeSid(kNtAuthority, {SECURITY_THIS_ORGANIZATION_RID}), kGroupOn});
  contents.groups.push_back({MakeSid(kLocalAuthority, {SECURITY_LOCAL_RID}), kGroupOn});
  contents.groups.push_back({MakeSid(kNtAuthority, {SECURITY_LOGON_IDS_RID,
                                                static_cast<ULONG>(logonId.HighPart),
                                                logonId.LowPart}),
                         kGroupOn | SE_GROUP_LOGON_ID});
  contents.privileges = administrator ? AdministratorPrivileges() : UserPrivileges();
  if (administrator) contents.owner = AdministratorsSid();
  contents.primaryGroup = MakeSid(kNtAuthority, {SECURITY_NT_NON_UNIQUE, kMachineRid1, kMachineRid2,
                                             kMachineRid3, DOMAIN_GROUP_RID_USERS});
  contents.integrityRid = administrator ? SECURITY_MANDATORY_HIGH_RID : SECURITY_MANDATORY_MEDIUM_RID;
  contents.elevated = administrator;
  return Create(std::move(contents));
}

PSID Token::IntegritySid() const {
  return const_cast<UCHAR *>(groups_.back().sid.data());
}

bool Token::MatchesSid(PSID sid, bool forDenyAce) const {
  ULONG length = RtlLengthSid(sid);
  auto same = [&](const std::vector<UCHAR> &mine) {
    return mine.size() == length && memcmp(mine.data(), sid, length) == 0;
  };
  if (same(user_)) return true;
  for (const Group &g : groups_) {
    if (g.attributes & SE_GROUP_INTEGRITY) continue;
    bool counts = (g.attributes & SE_GROUP_ENABLED) ||
                  (forDenyAce && (g.attributes & SE_GROUP_USE_FOR_DENY_ONLY));
    if (counts && same(g.sid)) return true;
  }
  return false;
}

bool Token::PrivilegeEnabled(ULONG privilege) const {
  std::lock_guard<std::mutex> guard(privilegeLock_);
  for (const auto &p : privileges_)
    if (p.Luid.LowPart == privilege && p.Luid.HighPart == 0)
      return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  return false;
}

std::vector<LUID_AND_ATTRIBUTES> Token::Privileges() const {
  std::lock_guard<std::mutex> guard(privilegeLock_);
  return privileges_;
}

NTSTATUS Token::AdjustPrivilege(ULONG privilege, bool enable, bool *wasEnabled) {
  std::lock_guard<std::mutex> guard(privilegeLock_);
  for (auto &p : privileges_) {
    if (p.Luid.LowPart != privilege || p.Luid.HighPart != 0) continue;
    if (wasEnabled) *wasEnabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    if (enable)
      p.Attributes |= SE_PRIVILEGE_ENABLED;
    else
      p.Attributes &= ~ULONG(SE_PRIVILEGE_ENABLED);
    return STATUS_SUCCESS;
  }
  if (wasEnabled) *wasEnabled = false;
  return STATUS_NOT_ALL_ASSIGNED;
}

NTSTATUS Token::Query(TOKEN_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                      PULONG returnLength) const {
  Writer w(buffer);
  switch (infoClass) {
    case TokenUser:
      w.Reserve(sizeof(TOKEN_USER));
      PutSidAndAttributes(w, 0, w.AppendSid(user_), 0);
      break;
    case TokenGroups:
      WriteGroups(w, groups_);
      break;
    case TokenLogonSid: {
      std::vector<Group> logon;
      for (const Group &g : groups_)
        if ((g.attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) logon.push_back(g);
      WriteGroups(w, logon);
      break;
    }
    case TokenPrivileges: {
      auto privileges = Privileges();
      constexpr size_t kArray = offsetof(TOKEN_PRIVILEGES, Privileges);
      w.Reserve(kArray + privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
      w.Put(0, static_cast<ULONG>(privileges.size()));
      for (size_t i = 0; i < privileges.size(); ++i)
        w.Put(kArray + i * sizeof(LUID_AND_ATTRIBUTES), privileges[i]);
      break;
    }
    case TokenOwner:
      w.Reserve(sizeof(TOKEN_OWNER));
      w.Put(0, w.AppendSid(owner_));
      break;
    case TokenPrimaryGroup:
      w.Reserve(sizeof(TOKEN_PRIMARY_GROUP));
      w.Put(0, w.AppendSid(primaryGroup_));
      break;
    case TokenType:
      w.Reserve(sizeof(TOKEN_TYPE));
      w.Put(0, TokenPrimary);
      break;
    case TokenStatistics: {
      TOKEN_STATISTICS s{};
      s.TokenId = tokenId_;
      s.AuthenticationId = authenticationId_;
      s.ExpirationTime.QuadPart = 0x7FFFFFFFFFFFFFFFLL;  // never
      s.TokenType = TokenPrimary;
      s.ImpersonationLevel = SecurityAnonymous;
      s.DynamicCharged = 4096;
      s.DynamicAvailable = 4096 - 400;
      s.GroupCount = static_cast<ULONG>(groups_.size());
      s.PrivilegeCount = static_cast<ULONG>(Privileges().size());
      s.ModifiedId = tokenId_;
      w.Reserve(sizeof s);
      w.Put(0, s);
      break;
    }
    case TokenSessionId:
      w.Reserve(sizeof(ULONG));
      w.Put(0, sessionId_);
      break;
    case TokenOrigin: {
      // Every logon of this stand-in is made by the system's own session.
      TOKEN_ORIGIN origin{};
      origin.OriginatingLogonSession = SYSTEM_LUID;
      w.Reserve(sizeof origin);
      w.Put(0, origin);
      break;
    }
    case TokenElevationType:
      w.Reserve(sizeof(TOKEN_ELEVATION_TYPE));
      w.Put(0, TokenElevationTypeDefault);
      break;
    case TokenElevation:
      w.Reserve(sizeof(TOKEN_ELEVATION));
      w.Put(0, TOKEN_ELEVATION{elevated_ ? 1u : 0u});
      break;
    case TokenIntegrityLevel:
      w.Reserve(sizeof(TOKEN_MANDATORY_LABEL));
      PutSidAndAttributes(w, 0, w.AppendSid(groups_.back().sid), kIntegrityAttributes);
      break;
    default:
      if (infoClass < TokenUser || infoClass > TokenLogonSid) return STATUS_INVALID_INFO_CLASS;
      return STATUS_NOT_IMPLEMENTED;
  }
  if (returnLength) *returnLength = w.Size();
  if (length < w.Size()) return STATUS_BUFFER_TOO_SMALL;
  w.CopyOut();
  return STATUS_SUCCESS;
}

}  // namespace bw
