// ExitWindowsEx: asks ramvold to restart or shut down the system. The
// caller's token must have SeShutdownPrivilege enabled; the call returns
// before the system goes down, as it does on Windows.
#include <windows.h>

#include "platform/user/src/client/connection.h"

using namespace bw;
using namespace bw::user;

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  wire::ExitSystemRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::ExitSystem)};
  request.flags = uFlags;
  request.reason = dwReason;
  Connection *connection = ThreadConnection();
  ReplyData reply;
  if (!connection || !connection->Call(&request, sizeof request, &reply)) return FALSE;
  if (reply.status != 0) {
    SetLastError(static_cast<DWORD>(reply.status));
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
