// logon-session: runs a program in a fresh logon session of the caller's
// own user and ends the session when the program ends; ends a session at
// once; lists the caller's sessions; shows the caller's own and the drive
// letters it sees.
#include <windows.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage(FILE *to) {
  fprintf(to,
          "usage: logon-session run PROGRAM [ARGUMENTS...]\n"
          "       logon-session end HHHHHHHH-LLLLLLLL\n"
          "       logon-session list\n"
          "       logon-session show\n"
          "  run   begins a fresh logon session of your own user, runs PROGRAM in it\n"
          "        (it and the processes it starts belong to the session through\n"
          "        " BW_LOGON_SESSION_VARIABLE "), and ends the session when PROGRAM\n"
          "        ends: the session's drive letters go, drivers are told. Exits\n"
          "        with PROGRAM's exit code.\n"
          "  end   ends one of your sessions at once (a default session lasts while\n"
          "        ramvold runs)\n"
          "  list  one line per session of yours: id, uid, processes, 'default'\n"
          "  show  this process's logon session and session id, then each drive\n"
          "        letter it sees with its type and target\n"
          "ramvold is found through BRIMWELL_ROOT as by every program.\n"
          "Exit codes: 0 done, 1 refused or failed (the reason is printed), 2 usage.\n");
}

int Failed(const char *what) {
  DWORD error = GetLastError();
  const char *name = error == ERROR_ACCESS_DENIED                ? " (ERROR_ACCESS_DENIED)"
                     : error == ERROR_NO_SUCH_LOGON_SESSION      ? " (ERROR_NO_SUCH_LOGON_SESSION)"
                     : error == ERROR_FILE_NOT_FOUND             ? " (ERROR_FILE_NOT_FOUND: is ramvold running?)"
                                                                 : "";
  fprintf(stderr, "logon-session: %s failed: error %u%s\n", what, static_cast<unsigned>(error),
          name);
  return 1;
}

std::string Text(const LUID &id) {
  char text[18];
  BwFormatLogonSession(&id, text);
  return text;
}

int Run(char **argv) {
  LUID id;
  if (!BwBeginLogonSession(&id)) return Failed("beginning a logon session");
  std::string name = Text(id);
  fprintf(stderr, "logon-session: session %s began\n", name.c_str());
  pid_t child = fork();
  if (child == 0) {
    setenv(BW_LOGON_SESSION_VARIABLE, name.c_str(), 1);
    execvp(argv[0], argv);
    fprintf(stderr, "logon-session: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  int code = 1;
  if (child > 0) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    fprintf(stderr, "logon-session: cannot start %s: %s\n", argv[0], strerror(errno));
  }
  // Someone may have ended it already (logon-session end): it is over then.
  if (!BwEndLogonSession(&id) && GetLastError() != ERROR_NO_SUCH_LOGON_SESSION)
    return Failed("ending the logon session");
  fprintf(stderr, "logon-session: session %s ended\n", name.c_str());
  return code;
}

int End(const char *text) {
  LUID id;
  if (!BwParseLogonSession(text, &id)) {
    fprintf(stderr, "logon-session: '%s' is no session id (HHHHHHHH-LLLLLLLL)\n", text);
    return 2;
  }
  if (!BwEndLogonSession(&id)) return Failed("ending the logon session");
  return 0;
}

int List() {
  BW_LOGON_SESSION sessions[256];
  DWORD count = 0;
  if (!BwListLogonSessions(sessions, 256, &count)) return Failed("listing logon sessions");
  for (DWORD i = 0; i < count; ++i)
    printf("%s uid %u processes %u%s\n", Text(sessions[i].LogonId).c_str(),
           static_cast<unsigned>(sessions[i].Uid), static_cast<unsigned>(sessions[i].Processes),
           sessions[i].IsDefault ? " default" : "");
  return 0;
}

std::string Narrow(const char16_t *s) {
  std::string out;
  for (; *s; ++s) out += *s < 0x80 ? static_cast<char>(*s) : '?';
  return out;
}

int Show() {
  HANDLE token;
  TOKEN_STATISTICS statistics;
  DWORD length = 0, sessionId = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return Failed("opening the token");
  bool ok = GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &length) &&
            ProcessIdToSessionId(GetCurrentProcessId(), &sessionId);
  CloseHandle(token);
  if (!ok) return Failed("querying the token");
  printf("logon session %s session %u\n", Text(statistics.AuthenticationId).c_str(),
         static_cast<unsigned>(sessionId));
  static const char *kTypes[] = {"unknown", "no-root", "removable", "fixed",
                                 "remote",  "cdrom",   "ramdisk"};
  DWORD drives = GetLogicalDrives();
  for (int n = 0; n < 26; ++n) {
    if (!(drives & (DWORD{1} << n))) continue;
    char16_t name[] = {static_cast<char16_t>(u'A' + n), u':', 0};
    char16_t root[] = {name[0], u':', u'\\', 0};
    char16_t target[1024];
    std::string to = QueryDosDeviceW(name, target, 1024) ? Narrow(target) : "?";
    UINT type = GetDriveTypeW(root);
    printf("%c: %s %s\n", 'A' + n, type < 7 ? kTypes[type] : "unknown", to.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
    Usage(stdout);
    return 0;
  }
  if (argc >= 3 && !strcmp(argv[1], "run")) return Run(argv + 2);
  if (argc == 3 && !strcmp(argv[1], "end")) return End(argv[2]);
  if (argc == 2 && !strcmp(argv[1], "list")) return List();
  if (argc == 2 && !strcmp(argv[1], "show")) return Show();
  Usage(stderr);
  return 2;
}
