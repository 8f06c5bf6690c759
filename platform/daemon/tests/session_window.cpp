// A program with one top-level window that tells, one line each, how the
// end of its session reached it:
//   query lParam=0x80000000 alive=1
//   end wParam=1 lParam=0x80000000 alive=1
// where alive says whether its logon session still existed then. It prints
// "ready" once its window exists and ends after WM_ENDSESSION, or after 30
// seconds. Arguments: "refuse" answers the question with no; "vanish"
// ends the program at the question without an answer; a number is how many
// milliseconds the end takes.
#include "platform/daemon/tests/window_program.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool gRefuse = false;
bool gVanish = false;
DWORD gEndMs = 0;

// The process's logon session is still listed.
int SessionAlive() {
  HANDLE token;
  TOKEN_STATISTICS statistics;
  DWORD length = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -1;
  BOOL ok = GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &length);
  CloseHandle(token);
  if (!ok) return -1;
  BW_LOGON_SESSION sessions[256];
  DWORD count = 0;
  if (!BwListLogonSessions(sessions, 256, &count)) return -1;
  for (DWORD i = 0; i < count; ++i)
    if (sessions[i].LogonId.LowPart == statistics.AuthenticationId.LowPart &&
        sessions[i].LogonId.HighPart == statistics.AuthenticationId.HighPart)
      return 1;
  return 0;
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QUERYENDSESSION) {
    if (gVanish) _Exit(0);
    printf("query lParam=0x%llx alive=%d\n", static_cast<unsigned long long>(lParam), SessionAlive());
    fflush(stdout);
    return gRefuse ? FALSE : TRUE;
  }
  if (message == WM_ENDSESSION) {
    Sleep(gEndMs);
    printf("end wParam=%u lParam=0x%llx alive=%d\n", static_cast<unsigned>(wParam),
           static_cast<unsigned long long>(lParam), SessionAlive());
    fflush(stdout);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "refuse")) gRefuse = true;
    else if (!strcmp(argv[i], "vanish")) gVanish = true;
    else gEndMs = static_cast<DWORD>(atoi(argv[i]));
  }
  return bw::test::RunWindowProgram(u"BwSessionWindow", Procedure, 30000);
}
