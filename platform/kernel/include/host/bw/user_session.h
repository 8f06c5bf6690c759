// User processes and threads as the kernel stand-in sees them. ramvold
// creates one UserProcess per connected client process and runs each of its
// requests through these calls; kernel tests use them directly in-process.
#pragma once

#if defined(BW_DRIVER_CODE)
#error "driver code reaches the kernel through its public headers only, never the stand-in's host side"
#endif

#include "nt/io.h"
#include "nt/status.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bw {

struct ProcessOptions {
  uint32_t pid = 0;              // host process id (0: a made-up one)
  uint32_t uid = 0;              // host identity the token is built from
  uint32_t gid = 0;
  std::vector<uint32_t> groups;  // supplementary host groups
  bool wow64 = false;            // a 32-bit process on the 64-bit system
  std::string imageName = "client.exe";
  uint32_t sessionId = 1;
  // The logon session the process belongs to. 0: the user's default one
  // (derived from the uid). A live session of another user is refused; one
  // not live begins as this user's and lasts until the kernel stops.
  LUID logonId{0, 0};
  uint32_t parentPid = 0;        // what process notifications name as the parent
};

// A user-mode APC on its way to a user thread: the routine (as the process
// sees it; for a 32-bit process the wrapped form), its context and the two
// system arguments. The owning process runs it when the thread waits
// alertably.
struct UserApc {
  uint64_t routine;
  uint64_t normalContext;
  uint64_t systemArgument1;
  uint64_t systemArgument2;
};

class UserProcess;
class UserThread;

struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t information = 0;
  std::vector<uint8_t> output;  // the bytes the request returned
};

class UserThread {
 public:
  virtual ~UserThread() = default;
  virtual uint32_t Tid() const = 0;
  // Where user APCs for this thread go.
  virtual void SetApcSink(std::function<void(const UserApc &)> sink) = 0;
  // The thread ended: the kernel marks its object terminating and signalled.
  virtual void Terminate() = 0;
};

class UserProcess {
 public:
  virtual ~UserProcess() = default;
  virtual uint32_t Pid() const = 0;
  virtual bool IsWow64() const = 0;
  // The authentication id of the process's logon session and its session id.
  virtual LUID LogonId() const = 0;
  virtual ULONG SessionId() const = 0;

  // A thread of this process; its tid is only a label.
  virtual std::shared_ptr<UserThread> CreateThread(uint32_t tid) = 0;
  // A handle in this process's table for one of its threads.
  virtual NTSTATUS OpenThreadHandle(UserThread &thread, HANDLE *handle) = 0;

  // NtCreateFile on behalf of `thread` (requestor mode UserMode, the
  // process's token, access checks on open; a write open of a device with
  // FILE_READ_ONLY_DEVICE fails with STATUS_MEDIA_WRITE_PROTECTED).
  // `attributes` are those of a file the open creates; *information
  // receives what the file system answered (FILE_CREATED, FILE_OPENED ...).
  virtual NTSTATUS CreateFile(UserThread &thread, std::u16string_view ntPath,
                              ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                              ULONG options, HANDLE *handle, ULONG attributes = 0,
                              uint64_t *information = nullptr) = 0;

  // The Nt services on buffers in this process's user space: memory below
  // MmUserProbeAddress that the client sees at the same address (ramvold
  // maps windows of shared memory there). The I/O manager treats them as
  // the client's own pages: probed, locked in an MDL for direct I/O, copied
  // through a system buffer for buffered I/O, handed over as they are for
  // METHOD_NEITHER, and what the device returns lands in them. `offset`
  // null reads or writes at the position of a synchronous file object. The
  // result's `output` stays empty.
  virtual IoResult NtDeviceIoControlFile(UserThread &thread, HANDLE handle, ULONG code, PVOID input,
                                         ULONG inputLength, PVOID output, ULONG outputLength) = 0;
  virtual IoResult NtReadFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                              const LARGE_INTEGER *offset) = 0;
  virtual IoResult NtWriteFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                               const LARGE_INTEGER *offset) = 0;
  virtual IoResult NtFlushBuffersFile(UserThread &thread, HANDLE handle) = 0;
  // NtQueryVolumeInformationFile: what the I/O manager or the file's device
  // says of the volume (FileFsDeviceInformation comes from the device object).
  virtual IoResult NtQueryVolumeInformationFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                                ULONG length, FS_INFORMATION_CLASS infoClass) = 0;
  // The information, directory, volume, security and file-system control
  // services, on buffers in user space as above; the handle must carry the
  // access each needs (a set of basic information FILE_WRITE_ATTRIBUTES, a
  // rename DELETE, a directory query FILE_LIST_DIRECTORY, a security query
  // READ_CONTROL ...). A directory query's `fileName` (null: none) lies in
  // user space too. NtQuerySecurityObject's information is the length the
  // descriptor needs, also when the buffer is too small
  // (STATUS_BUFFER_TOO_SMALL).
  virtual IoResult NtQueryInformationFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                          ULONG length, FILE_INFORMATION_CLASS infoClass) = 0;
  virtual IoResult NtSetInformationFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                        ULONG length, FILE_INFORMATION_CLASS infoClass) = 0;
  virtual IoResult NtQueryDirectoryFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                        ULONG length, FILE_INFORMATION_CLASS infoClass,
                                        bool singleEntry, PUNICODE_STRING fileName,
                                        bool restartScan) = 0;
  virtual IoResult NtSetVolumeInformationFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                              ULONG length, FS_INFORMATION_CLASS infoClass) = 0;
  virtual IoResult NtQuerySecurityObject(UserThread &thread, HANDLE handle,
                                         SECURITY_INFORMATION which, PVOID buffer,
                                         ULONG length) = 0;
  virtual IoResult NtSetSecurityObject(UserThread &thread, HANDLE handle,
                                       SECURITY_INFORMATION which, PVOID descriptor) = 0;
  virtual IoResult NtFsControlFile(UserThread &thread, HANDLE handle, ULONG code, PVOID input,
                                   ULONG inputLength, PVOID output, ULONG outputLength) = 0;
  // NtQueryInformationToken on the process's primary token; *returnLength
  // receives the length the class needs.
  virtual NTSTATUS QueryToken(TOKEN_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                              ULONG *returnLength) = 0;
  // The token's privileges (NtAdjustPrivilegesToken): the state of each one
  // it holds, and a privilege it does not hold as STATUS_NOT_ALL_ASSIGNED.
  virtual std::vector<LUID_AND_ATTRIBUTES> TokenPrivileges() = 0;
  virtual NTSTATUS AdjustTokenPrivilege(LUID privilege, bool enable, bool *wasEnabled) = 0;

  // The same requests with the bytes copied in and out, for callers whose
  // buffers live elsewhere (in-process tests): they pass through user
  // memory of the thread's own. `input` may be null with inputLength 0.
  virtual IoResult DeviceIoControl(UserThread &thread, HANDLE handle, ULONG code,
                                   const void *input, ULONG inputLength,
                                   ULONG outputLength) = 0;
  virtual IoResult Read(UserThread &thread, HANDLE handle, ULONG length, uint64_t offset) = 0;
  virtual IoResult Write(UserThread &thread, HANDLE handle, const void *data, ULONG length,
                         uint64_t offset) = 0;
  virtual NTSTATUS Close(HANDLE handle) = 0;
  // Mutexes (NtCreateMutant, NtOpenMutant, NtReleaseMutant) by their
  // Win32 names: "Global\X" in "\BaseNamedObjects", "Local\X" or "X" in
  // the process's session directory; an empty name makes an unnamed one.
  // A create of an existing name opens it and answers
  // STATUS_OBJECT_NAME_EXISTS. `descriptor` (self-relative, or null for the
  // token's default) guards later opens; a null DACL lets anyone in. A
  // release by a thread that does not own it is 0xC0000046
  // (STATUS_MUTANT_NOT_OWNED).
  virtual NTSTATUS CreateMutant(UserThread &thread, std::u16string_view name, bool initialOwner,
                                PSECURITY_DESCRIPTOR descriptor, HANDLE *handle) = 0;
  virtual NTSTATUS OpenMutant(UserThread &thread, std::u16string_view name, ACCESS_MASK access,
                              HANDLE *handle) = 0;
  virtual NTSTATUS ReleaseMutant(UserThread &thread, HANDLE handle, LONG *previousCount) = 0;
  // Runs `work` on the calling host thread standing for `thread`, as the
  // process's requests run: for tests of kernel code that must run in a
  // client's context.
  virtual void Run(UserThread &thread, const std::function<void()> &work) = 0;

  // The process ended: every handle is closed and its threads terminate.
  virtual void Terminate() = 0;

  // The block of shared memory where the kernel places data for this
  // process (ZwAllocateVirtualMemory). ramvold shares it with the client;
  // it is mapped at the same address in both.
  virtual void *UserMemoryBase() const = 0;
  virtual size_t UserMemorySize() const = 0;
};

// Creates a user process. `userMemory`/`userMemorySize` give the region the
// kernel allocates in for that process (null: the kernel allocates one).
// The routines registered with PsSetCreateProcessNotifyRoutine are called
// first, in the new process's context; the call returns when they have (a
// routine that waits holds the creation, as on Windows). Null when the
// process may not join the logon session of `options`.
std::shared_ptr<UserProcess> CreateUserProcess(const ProcessOptions &options,
                                               void *userMemory = nullptr,
                                               size_t userMemorySize = 0);

// Host memory a host program keeps mapped for the buffers of user
// requests (ramvold's transfer windows), from `NoteUserBuffers` until
// `ForgetUserBuffers`, which comes before it is unmapped. Locking a buffer
// in it records its host pages as any host memory's, but without asking the
// host whether the range is mapped or taking the memory manager's lock.
// `start` is page-aligned; `bytes` a whole number of pages.
void NoteUserBuffers(const void *start, size_t bytes);
void ForgetUserBuffers(const void *start, size_t bytes);

// Logon sessions. Every user process belongs to one, named by the
// authentication id its token carries. While a session lives its DosDevices
// directory "\Sessions\0\DosDevices\HHHHHHHH-LLLLLLLL" exists (drivers
// create links in it); "\??" of its processes looks there first.
struct LogonSessionInfo {
  LUID logonId;
  uint32_t uid;        // the host user it belongs to
  bool isDefault;      // the user's default session: lasts while the kernel runs
  uint32_t processes;  // live processes in it
};
// Begins a fresh logon session of host user `uid` (its directory created).
NTSTATUS BeginLogonSession(uint32_t uid, LUID *logonId);
// Ends a live session: its directory goes with every link in it, then each
// routine registered with SeRegisterLogonSessionTerminatedRoutine is called
// with the LUID, in a system thread at passive level with no lock of the
// kernel held; returns when they all have. STATUS_NO_SUCH_LOGON_SESSION
// when the session does not live. Its processes keep their tokens.
NTSTATUS EndLogonSession(LUID logonId);
// The live sessions, in the order of their ids.
std::vector<LogonSessionInfo> LogonSessions();
// The owner of a live session; false when it does not live.
bool LogonSessionOwner(LUID logonId, uint32_t *uid);

// What \?? holds as a process of logon session `logonId` sees it. With a
// name: the target of that link (the session's own before a global one),
// STATUS_OBJECT_NAME_NOT_FOUND when there is none. Without (empty name):
// every name, the session's and the global ones, each once, sorted.
NTSTATUS QueryDosDevice(LUID logonId, std::u16string_view name,
                        std::vector<std::u16string> *result);

// Loads a driver module (NAME.sys exporting DriverEntry) as service
// `serviceName`: creates "\Driver\<service>" and calls DriverEntry with the
// service key path in a system thread. Returns DriverEntry's status.
NTSTATUS LoadDriver(const std::string &modulePath, std::u16string_view serviceName,
                    std::string *error = nullptr);
// Calls the driver's unload routine and unloads the module.
NTSTATUS UnloadDriver(std::u16string_view serviceName);
// The loaded module of a driver loaded from `modulePath` (dlsym looks its
// symbols up), or null. Modules run from private copies of their files, so
// a path alone does not find them.
void *LoadedDriverModule(const std::string &modulePath);
// Loads the driver of a service key as ZwLoadDriver does: the key
// "...\Services\<service>" must exist (else STATUS_OBJECT_NAME_NOT_FOUND)
// with Type 1 (kernel driver) or 2 (file system); its ImagePath
// ("\SystemRoot\System32\drivers\x.sys", "System32\drivers\x.sys" below
// \SystemRoot, a "\??\" path; none: \SystemRoot\System32\drivers\<service>.sys)
// names a file on a host folder's volume. STATUS_IMAGE_ALREADY_LOADED for
// a loaded one; else what opening the file or DriverEntry gave.
NTSTATUS LoadServiceDriver(std::u16string_view service, std::string *error = nullptr);
// Unloads it as ZwUnloadDriver does: STATUS_OBJECT_NAME_NOT_FOUND when it is
// not loaded, STATUS_INVALID_DEVICE_REQUEST without an unload routine or
// for a Plug and Play driver that still has devices.
NTSTATUS UnloadServiceDriver(std::u16string_view service);
// Loads Windows' own drivers of the stand-in from `folder`, as Windows
// loads its boot drivers before any other: the mount manager (mountmgr.sys,
// service MountMgr), then the raw file system (raw.sys, service RAW). A
// failure unloads what was loaded and names the driver in *error.
NTSTATUS LoadSystemDrivers(const std::string &folder, std::string *error = nullptr);
// Unloads them in the reverse order (those that are loaded).
void UnloadSystemDrivers();
// Services currently loaded, in load order.
std::vector<std::u16string> LoadedDrivers();

// Sends IRP_MJ_SHUTDOWN to every device registered for it (system shutdown).
void NotifyShutdown();

// Object namespace inspection for tests: whether a name exists
// ("\Device\BrimwellVolume", "\??\BrimwellVolume").
bool ObjectExists(std::u16string_view ntPath);
// Handles open in the system process's table (kernel handles).
size_t KernelHandleCount();

}  // namespace bw
