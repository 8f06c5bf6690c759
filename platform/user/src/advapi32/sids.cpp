// Security identifiers: the well-known ones, their checks, and whether the
// caller's token holds one (its user or an enabled group).
#include "platform/user/src/client/answer.h"
#include "platform/user/src/client/handles.h"

#include <cstring>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

struct WellKnown {
  WELL_KNOWN_SID_TYPE type;
  uint8_t authority;
  uint8_t count;
  uint32_t subAuthorities[2];
};

// S-1-<authority>-<sub authorities>.
constexpr WellKnown kWellKnown[] = {
    {WinNullSid, 0, 1, {0}},
    {WinWorldSid, 1, 1, {0}},
    {WinLocalSid, 2, 1, {0}},
    {WinCreatorOwnerSid, 3, 1, {0}},
    {WinCreatorGroupSid, 3, 1, {1}},
    {WinNtAuthoritySid, 5, 0, {}},
    {WinNetworkSid, 5, 1, {2}},
    {WinBatchSid, 5, 1, {3}},
    {WinInteractiveSid, 5, 1, {4}},
    {WinServiceSid, 5, 1, {6}},
    {WinAnonymousSid, 5, 1, {7}},
    {WinAuthenticatedUserSid, 5, 1, {11}},
    {WinLocalSystemSid, 5, 1, {18}},
    {WinLocalServiceSid, 5, 1, {19}},
    {WinNetworkServiceSid, 5, 1, {20}},
    {WinBuiltinDomainSid, 5, 1, {32}},
    {WinBuiltinAdministratorsSid, 5, 2, {32, 544}},
    {WinBuiltinUsersSid, 5, 2, {32, 545}},
    {WinBuiltinGuestsSid, 5, 2, {32, 546}},
};

constexpr DWORD kTokenUser = 1, kTokenGroups = 2;
constexpr DWORD kGroupEnabled = 0x4, kGroupDenyOnly = 0x10;

// One token query whose answer holds SID pointers into the transfer
// window; they are moved to point into *answer.
bool QueryWithSids(DWORD infoClass, std::vector<uint8_t> *answer) {
  for (uint32_t capacity = 1024;; capacity *= 2) {
    wire::QueryTokenRequest request{};
    request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::QueryToken)};
    request.infoClass = infoClass;
    ReplyData reply;
    if (!AskForAnswer(request, {}, capacity, &reply, answer)) return false;
    if (reply.information > capacity && capacity < (1u << 20)) continue;
    if (reply.status < 0) return Fail(RtlNtStatusToDosError(reply.status));
    uint64_t window = request.output, base = reinterpret_cast<uint64_t>(answer->data());
    auto relocate = [&](size_t at) {
      uint64_t pointer;
      memcpy(&pointer, answer->data() + at, 8);
      if (pointer < window || pointer >= window + answer->size()) return false;
      pointer = pointer - window + base;
      memcpy(answer->data() + at, &pointer, 8);
      return true;
    };
    if (infoClass == kTokenUser) return answer->size() >= 16 && relocate(0);
    uint32_t count;
    if (answer->size() < 8) return Fail(ERROR_INTERNAL_ERROR);
    memcpy(&count, answer->data(), 4);
    if (answer->size() < 8 + size_t{count} * 16) return Fail(ERROR_INTERNAL_ERROR);
    for (uint32_t i = 0; i < count; ++i)
      if (!relocate(8 + size_t{i} * 16)) return Fail(ERROR_INTERNAL_ERROR);
    return true;
  }
}

}  // namespace

BOOL WINAPI IsValidSid(PSID pSid) {
  auto *sid = static_cast<const uint8_t *>(pSid);
  return sid && sid[0] == 1 && sid[1] <= 15;
}

DWORD WINAPI GetLengthSid(PSID pSid) {
  return IsValidSid(pSid) ? 8 + 4 * static_cast<const uint8_t *>(pSid)[1] : 0;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  if (!IsValidSid(pSid1) || !IsValidSid(pSid2)) return Fail(ERROR_INVALID_SID);
  SetLastError(ERROR_SUCCESS);
  DWORD length = GetLengthSid(pSid1);
  return length == GetLengthSid(pSid2) && memcmp(pSid1, pSid2, length) == 0;
}

BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID, PSID pSid, DWORD *cbSid) {
  if (!cbSid) return Fail(ERROR_INVALID_PARAMETER);
  for (const WellKnown &k : kWellKnown) {
    if (k.type != WellKnownSidType) continue;
    DWORD length = 8 + 4 * k.count;
    if (!pSid || *cbSid < length) {
      *cbSid = length;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto *sid = static_cast<uint8_t *>(pSid);
    sid[0] = 1;
    sid[1] = k.count;
    memset(sid + 2, 0, 6);
    sid[7] = k.authority;
    memcpy(sid + 8, k.subAuthorities, 4 * k.count);  // little-endian, as in a SID
    *cbSid = length;
    return TRUE;
  }
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
  if (!IsMember) return Fail(ERROR_NOACCESS);
  if (!IsValidSid(SidToCheck)) return Fail(ERROR_INVALID_SID);
  if (TokenHandle) {
    // The only token a program here can hold is its process's primary one,
    // which Windows refuses here: the check takes impersonation tokens.
    if (!LocalHandle(TokenHandle, HandleKind::Token)) return Fail(ERROR_INVALID_HANDLE);
    return Fail(ERROR_NO_IMPERSONATION_TOKEN);
  }
  *IsMember = FALSE;
  std::vector<uint8_t> user, groups;
  if (!QueryWithSids(kTokenUser, &user) || !QueryWithSids(kTokenGroups, &groups)) return FALSE;
  PSID userSid;
  memcpy(&userSid, user.data(), 8);
  if (IsValidSid(userSid) && EqualSid(userSid, SidToCheck)) {
    *IsMember = TRUE;
    return TRUE;
  }
  uint32_t count;
  memcpy(&count, groups.data(), 4);
  for (uint32_t i = 0; i < count; ++i) {
    PSID sid;
    uint32_t attributes;
    memcpy(&sid, groups.data() + 8 + size_t{i} * 16, 8);
    memcpy(&attributes, groups.data() + 16 + size_t{i} * 16, 4);
    if ((attributes & kGroupEnabled) && !(attributes & kGroupDenyOnly) && IsValidSid(sid) &&
        EqualSid(sid, SidToCheck)) {
      *IsMember = TRUE;
      break;
    }
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
