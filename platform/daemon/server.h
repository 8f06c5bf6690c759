// ramvold's side of the transport: accepts client connections and runs
// their requests as UserMode requests of the kernel stand-in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bw {

class Server {
 public:
  // Listens on `socketPath` (replacing a stale socket file).
  bool Listen(const std::string &socketPath, std::string *error);
  // Accepts until Stop(); each connection runs on its own thread.
  void Run();
  // Wakes Run() and every connection; call from any thread.
  void Stop();
  // Waits for every connection thread to end.
  void Join();
  // What a client asked the system to do as it stops (ExitWindowsEx).
  enum class ExitAction { None, Shutdown, Reboot };
  ExitAction RequestedExit() const { return exitAction_; }

 private:
  struct Process;
  struct Connection;
  struct Session;
  struct Frame;

  // Takes one waiting connection and starts the thread that serves it.
  void Accept();
  // Runs a connection from its hello to its end.
  void Serve(std::shared_ptr<Connection> connection);
  // The first frame: who the client thread is. False ends the connection.
  bool Greet(Session &session, const Frame &frame);
  // One request; false ends the connection (malformed or unanswerable).
  bool Dispatch(Session &session, const Frame &frame);
  bool ServeCreate(Session &session, const Frame &frame);
  bool ServeDeviceControl(Session &session, const Frame &frame);
  // Reads and writes.
  bool ServeTransfer(Session &session, const Frame &frame);
  bool ServeFlush(Session &session, const Frame &frame);
  bool ServeWindow(Session &session, const Frame &frame);
  bool ServeClose(Session &session, const Frame &frame);
  bool ServeOpenThread(Session &session, const Frame &frame);
  // Information, directory, label, security and file-system control
  // requests on files (server_files.cpp).
  bool ServeFileInformation(Session &session, const Frame &frame);
  bool ServeQueryDirectory(Session &session, const Frame &frame);
  bool ServeFsControl(Session &session, const Frame &frame);
  // Logon sessions, DOS device names, volume and token information and
  // process session ids (server_sessions.cpp).
  bool ServeLogonSession(Session &session, const Frame &frame);
  bool ServeDosDevice(Session &session, const Frame &frame);
  bool ServeQueryVolume(Session &session, const Frame &frame);
  bool ServeQueryToken(Session &session, const Frame &frame);
  bool ServeProcessSession(Session &session, const Frame &frame);
  bool ServeAdjustPrivileges(Session &session, const Frame &frame);
  // Windows and their messages (server_windows.cpp).
  bool ServeCreateWindow(Session &session, const Frame &frame);
  bool ServeDestroyWindow(Session &session, const Frame &frame);
  bool ServePostMessage(Session &session, const Frame &frame);
  bool ServeBroadcast(Session &session, const Frame &frame);
  bool ServeAnswerMessage(Session &session, const Frame &frame);
  // Tells the top-level windows that a logon session ends (`logonId`; 0:
  // the whole system shuts down) with WM_QUERYENDSESSION and then
  // WM_ENDSESSION, each sent and waited for; the calling thread's own
  // windows, which cannot answer while it waits, are left out.
  void EndSessionRound(uint64_t logonId, uint32_t callerPid, uint32_t callerTid);
  // The windows of a client thread go with its connection.
  void ForgetWindows(uint32_t pid, uint32_t tid);
  // The service control manager, the system's restart, pending file
  // operations (server_services.cpp).
  bool ServeService(Session &session, const Frame &frame);
  bool ServeExitSystem(Session &session, const Frame &frame);
  bool ServeDelayedMove(Session &session, const Frame &frame);
  bool ServeDevice(Session &session, const Frame &frame);  // server_devices.cpp
  bool ServeRegistry(Session &session, const Frame &frame);  // server_registry.cpp
  bool ServeMutant(Session &session, const Frame &frame);  // server_mutants.cpp
  // The client thread is gone: its kernel thread ends, and the process with
  // its last connection.
  void EndSession(Session &session);

  // The kernel process of a client process, created with its first
  // connection: its creation routines run outside the server's lock, and
  // connections of that process that arrive meanwhile wait for them. Null
  // with *status when the process may not be (its logon session is not
  // there or not its user's).
  std::shared_ptr<Process> AttachProcess(uint32_t pid, uint32_t uid, uint32_t gid, bool wow64,
                                         const std::string &imageName, uint64_t logonId,
                                         int32_t *status);
  std::shared_ptr<Process> CreateProcessFor(uint32_t pid, uint32_t uid, uint32_t gid, bool wow64,
                                            const std::string &imageName, uint64_t logonId,
                                            int32_t *status);
  void DetachProcess(uint32_t pid);

  uint64_t bootId_ = 0;  // tells this start of the daemon from others
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};
  std::string socketPath_;
  std::atomic<bool> stopping_{false};
  std::atomic<ExitAction> exitAction_{ExitAction::None};
  std::mutex lock_;
  std::map<uint32_t, std::shared_ptr<Process>> processes_;
  std::condition_variable processReady_;  // a process's creation ended
  std::vector<std::shared_ptr<Connection>> connections_;
  size_t activeThreads_ = 0;  // connection threads still running

  // Every process's windows, by handle: who owns each and where its
  // messages go.
  struct WindowEntry {
    uint32_t pid;
    uint32_t tid;
    uint32_t flags;  // wire::kWindowTopLevel, kWindowMessageOnly
    uint64_t logonId;  // of the owning process
    std::weak_ptr<Connection> owner;
  };
  // Sent messages waiting for their answer, by answer id, under windowLock_.
  struct PendingAnswer {
    uint32_t pid;
    uint32_t tid;
    bool answered;
    uint64_t result;
  };
  std::map<uint64_t, PendingAnswer> answers_;
  uint64_t lastAnswer_ = 0;
  std::condition_variable answered_;
  std::mutex windowLock_;
  std::map<uint64_t, WindowEntry> windows_;
  uint64_t lastWindow_ = 0x10000;
  std::condition_variable idle_;
};

}  // namespace bw
