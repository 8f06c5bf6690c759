// The stand-in's one-privilege adjustment of the process's token.
#include <windows.h>

#include "platform/user/src/client/connection.h"

using namespace bw;
using namespace bw::user;

BOOL WINAPI BwAdjustProcessPrivilege(DWORD Privilege, BOOL Enable) {
  wire::AdjustPrivilegeRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::AdjustPrivilege)};
  request.privilege = Privilege;
  request.enable = Enable ? 1 : 0;
  Connection *connection = ThreadConnection();
  ReplyData reply;
  if (!connection || !connection->Call(&request, sizeof request, &reply)) return FALSE;
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return FALSE;
  }
  // As AdjustTokenPrivileges: success, with ERROR_NOT_ALL_ASSIGNED when the
  // token does not hold the privilege.
  SetLastError(RtlNtStatusToDosError(reply.status));
  return TRUE;
}
