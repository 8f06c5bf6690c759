// User processes and their threads: the kernel side of client processes.
#include "bw/user_session.h"
#include "internal.h"
#include "io/io_internal.h"
#include "ob/mutant.h"
#include "ps/process.h"
#include "se/logon_session.h"
#include "se/token.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace bw {

namespace {

std::mutex gProcessMapLock;
std::map<uint32_t, PEPROCESS> gProcesses;  // live user processes, not referenced
class UserThreadImpl final : public UserThread {
 public:
  explicit UserThreadImpl(PKTHREAD thread) : thread_(thread) {}
  ~UserThreadImpl() override {
    Terminate();
    ObfDereferenceObject(thread_);
  }
  uint32_t Tid() const override { return thread_->Tid; }
  void SetApcSink(std::function<void(const UserApc &)> sink) override {
    std::deque<UserApc> pending;
    {
      std::lock_guard<std::mutex> guard(thread_->ApcLock);
      thread_->ApcSink = sink;
      pending.swap(thread_->PendingApcs);
    }
    if (sink)
      for (auto &apc : pending) sink(apc);
  }
  void Terminate() override {
    if (!thread_->Terminating) TerminateThreadObject(thread_, STATUS_SUCCESS);
  }
  PKTHREAD Object() const { return thread_; }

 private:
  PKTHREAD thread_;
};

PKTHREAD ObjectOf(UserThread &thread) { return static_cast<UserThreadImpl &>(thread).Object(); }

// User memory the copying calls pass their bytes through: one stretch per
// host thread, grown to the largest request, below 2 GiB where a 32-bit
// process's memory lies too.
class CopyArea {
 public:
  ~CopyArea() {
    if (base_) munmap(base_, size_);
  }
  char *Get(size_t bytes) {
    if (bytes <= size_ && base_) return base_;
    if (base_) munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
    size_t size = (std::max<size_t>(bytes, 1) + 0xFFFF) & ~size_t(0xFFFF);
    void *p =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    base_ = static_cast<char *>(p);
    size_ = size;
    return base_;
  }

 private:
  char *base_ = nullptr;
  size_t size_ = 0;
};
thread_local CopyArea tCopyArea;

class UserProcessImpl final : public UserProcess {
 public:
  explicit UserProcessImpl(PEPROCESS process) : process_(process) {}
  ~UserProcessImpl() override {
    Terminate();
    ObfDereferenceObject(process_);
  }
  uint32_t Pid() const override { return process_->Pid; }
  bool IsWow64() const override { return process_->Wow64; }
  LUID LogonId() const override { return process_->LogonId; }
  ULONG SessionId() const override { return process_->SessionId; }

  std::shared_ptr<UserThread> CreateThread(uint32_t tid) override {
    PKTHREAD thread = CreateThreadObject(process_, tid, false);
    if (!thread) return nullptr;
    return std::make_shared<UserThreadImpl>(thread);
  }

  NTSTATUS OpenThreadHandle(UserThread &thread, HANDLE *handle) override {
    return process_->Handles->Insert(ObjectOf(thread), THREAD_ALL_ACCESS, 0, handle);
  }

  NTSTATUS CreateFile(UserThread &thread, std::u16string_view ntPath, ACCESS_MASK access,
                      ULONG shareAccess, ULONG disposition, ULONG options, HANDLE *handle,
                      ULONG attributes, uint64_t *information) override {
    ThreadContext context(ObjectOf(thread));
    PFILE_OBJECT file = nullptr;
    ULONG_PTR answered = 0;
    NTSTATUS status = OpenFileObject(ntPath, access, shareAccess, disposition, options, UserMode,
                                     &file, &answered, 0, static_cast<USHORT>(attributes));
    if (information) *information = answered;
    if (!NT_SUCCESS(status)) return status;
    // The handle carries the rights granted, generic ones mapped, so that
    // later requests are checked against what they stand for.
    status = process_->Handles->Insert(
        file, access ? FileStateOf(file)->grantedAccess : FILE_ALL_ACCESS, 0, handle);
    ObfDereferenceObject(file);
    return status;
  }

  IoResult NtDeviceIoControlFile(UserThread &thread, HANDLE handle, ULONG code, PVOID input,
                                 ULONG inputLength, PVOID output, ULONG outputLength) override {
    ThreadContext context(ObjectOf(thread));
    IoResult result;
    PFILE_OBJECT file = nullptr;
    result.status = ReferenceFile(handle, &file);
    if (!NT_SUCCESS(result.status)) return result;
    IO_STATUS_BLOCK iosb{};
    result.status = FileDeviceIoControl(file, UserMode, false, code, input, inputLength, output,
                                        outputLength, &iosb);
    ObfDereferenceObject(file);
    result.information = iosb.Information;
    return result;
  }

  IoResult NtReadFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                      const LARGE_INTEGER *offset) override {
    return Transfer(thread, handle, false, buffer, length, offset);
  }

  IoResult NtWriteFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                       const LARGE_INTEGER *offset) override {
    return Transfer(thread, handle, true, buffer, length, offset);
  }

  IoResult NtFlushBuffersFile(UserThread &thread, HANDLE handle) override {
    ThreadContext context(ObjectOf(thread));
    IoResult result;
    PFILE_OBJECT file = nullptr;
    result.status = ReferenceFile(handle, &file);
    if (!NT_SUCCESS(result.status)) return result;
    IO_STATUS_BLOCK iosb{};
    result.status = FileFlushBuffers(file, UserMode, &iosb);
    ObfDereferenceObject(file);
    result.information = iosb.Information;
    return result;
  }

  IoResult NtQueryVolumeInformationFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                        ULONG length, FS_INFORMATION_CLASS infoClass) override {
    ThreadContext context(ObjectOf(thread));
    IoResult result;
    // The handle is one of this process's: referencing it needs no access,
    // as the class asked for here needs none on Windows either.
    IO_STATUS_BLOCK iosb{};
    result.status = ZwQueryVolumeInformationFile(handle, &iosb, buffer, length, infoClass);
    result.information = NT_SUCCESS(result.status) ? iosb.Information : 0;
    return result;
  }

  IoResult NtQueryInformationFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                                  FILE_INFORMATION_CLASS infoClass) override {
    return OnFile(thread, handle, RequiredAccess(InfoRequest::Query, infoClass),
                  [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
                    return FileQueryInformation(file, UserMode, buffer, length, infoClass, iosb);
                  });
  }

  IoResult NtSetInformationFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                                FILE_INFORMATION_CLASS infoClass) override {
    return OnFile(thread, handle, RequiredAccess(InfoRequest::Set, infoClass),
                  [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
                    return FileSetInformation(file, UserMode, buffer, length, infoClass, iosb);
                  });
  }

  IoResult NtQueryDirectoryFile(UserThread &thread, HANDLE handle, PVOID buffer, ULONG length,
                                FILE_INFORMATION_CLASS infoClass, bool singleEntry,
                                PUNICODE_STRING fileName, bool restartScan) override {
    return OnFile(thread, handle, RequiredAccess(InfoRequest::Directory, infoClass),
                  [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
                    return FileQueryDirectory(file, UserMode, buffer, length, infoClass,
                                              singleEntry, fileName, restartScan, iosb);
                  });
  }

  IoResult NtSetVolumeInformationFile(UserThread &thread, HANDLE handle, PVOID buffer,
                                      ULONG length, FS_INFORMATION_CLASS infoClass) override {
    return OnFile(thread, handle, RequiredAccess(InfoRequest::SetVolume, infoClass),
                  [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
                    return FileSetVolume(file, UserMode, buffer, length, infoClass, iosb);
                  });
  }

  IoResult NtQuerySecurityObject(UserThread &thread, HANDLE handle, SECURITY_INFORMATION which,
                                 PVOID buffer, ULONG length) override {
    return OnFile(thread, handle, QuerySecurityAccess(which),
                  [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
                    ULONG needed = 0;
                    NTSTATUS status = FileQuerySecurity(file, UserMode, which, buffer, length,
                                                        &needed);
                    iosb->Information = needed;
                    return status;
                  },
                  true);
  }

  IoResult NtSetSecurityObject(UserThread &thread, HANDLE handle, SECURITY_INFORMATION which,
                               PVOID descriptor) override {
    return OnFile(thread, handle, SetSecurityAccess(which),
                  [&](PFILE_OBJECT file, PIO_STATUS_BLOCK) {
                    return FileSetSecurity(file, UserMode, which, descriptor);
                  });
  }

  IoResult NtFsControlFile(UserThread &thread, HANDLE handle, ULONG code, PVOID input,
                           ULONG inputLength, PVOID output, ULONG outputLength) override {
    return OnFile(thread, handle, 0, [&](PFILE_OBJECT file, PIO_STATUS_BLOCK iosb) {
      return FileFsControl(file, UserMode, code, input, inputLength, output, outputLength, iosb);
    });
  }

  NTSTATUS QueryToken(TOKEN_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                      ULONG *returnLength) override {
    return process_->Token->Query(infoClass, buffer, length, returnLength);
  }

  std::vector<LUID_AND_ATTRIBUTES> TokenPrivileges() override { return process_->Token->Privileges(); }

  NTSTATUS AdjustTokenPrivilege(LUID privilege, bool enable, bool *wasEnabled) override {
    // Privilege ids are small numbers: a high part is none the token holds.
    if (privilege.HighPart != 0) {
      if (wasEnabled) *wasEnabled = false;
      return STATUS_NOT_ALL_ASSIGNED;
    }
    return process_->Token->AdjustPrivilege(privilege.LowPart, enable, wasEnabled);
  }

  IoResult DeviceIoControl(UserThread &thread, HANDLE handle, ULONG code, const void *input,
                           ULONG inputLength, ULONG outputLength) override {
    size_t outputAt = (static_cast<size_t>(inputLength) + 15) & ~size_t(15);
    char *area = tCopyArea.Get(outputAt + outputLength);
    if (!area) return IoResult{STATUS_INSUFFICIENT_RESOURCES, 0, {}};
    if (input && inputLength) memcpy(area, input, inputLength);
    memset(area + outputAt, 0, outputLength);
    IoResult result =
        NtDeviceIoControlFile(thread, handle, code, input ? area : nullptr, inputLength,
                              outputLength ? area + outputAt : nullptr, outputLength);
    size_t returned =
        NT_ERROR(result.status) ? 0 : std::min<uint64_t>(result.information, outputLength);
    result.output.assign(area + outputAt, area + outputAt + returned);
    return result;
  }

  IoResult Read(UserThread &thread, HANDLE handle, ULONG length, uint64_t offset) override {
    char *area = tCopyArea.Get(length);
    if (!area) return IoResult{STATUS_INSUFFICIENT_RESOURCES, 0, {}};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    IoResult result = NtReadFile(thread, handle, area, length, &at);
    size_t read = NT_ERROR(result.status) ? 0 : std::min<uint64_t>(result.information, length);
    result.output.assign(area, area + read);
    return result;
  }

  IoResult Write(UserThread &thread, HANDLE handle, const void *data, ULONG length,
                 uint64_t offset) override {
    char *area = tCopyArea.Get(length);
    if (!area) return IoResult{STATUS_INSUFFICIENT_RESOURCES, 0, {}};
    if (length) memcpy(area, data, length);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return NtWriteFile(thread, handle, area, length, &at);
  }

  void Run(UserThread &thread, const std::function<void()> &work) override {
    ThreadContext context(ObjectOf(thread));
    work();
  }

  NTSTATUS CreateMutant(UserThread &thread, std::u16string_view name, bool initialOwner,
                        PSECURITY_DESCRIPTOR descriptor, HANDLE *handle) override {
    ThreadContext context(ObjectOf(thread));
    return bw::CreateMutant(process_, ObjectOf(thread), name, initialOwner, descriptor, handle);
  }

  NTSTATUS OpenMutant(UserThread &thread, std::u16string_view name, ACCESS_MASK access,
                      HANDLE *handle) override {
    ThreadContext context(ObjectOf(thread));
    return bw::OpenMutant(process_, name, access, handle);
  }

  NTSTATUS ReleaseMutant(UserThread &thread, HANDLE handle, LONG *previousCount) override {
    ThreadContext context(ObjectOf(thread));
    return bw::ReleaseMutant(process_, ObjectOf(thread), handle, previousCount);
  }

  NTSTATUS Close(HANDLE handle) override {
    PKTHREAD helper = CreateThreadObject(process_, 0, false);
    NTSTATUS status;
    {
      ThreadContext context(helper);
      status = process_->Handles->Close(handle);
    }
    TerminateThreadObject(helper, STATUS_SUCCESS);
    ObfDereferenceObject(helper);
    return status;
  }

  void Terminate() override {
    if (terminated_) return;
    terminated_ = true;
    // The exit routines run while the process can still be looked up, in
    // its own context, before its handles close (as when its last thread
    // exits on Windows).
    NotifyProcessExited(process_);
    PKTHREAD helper = CreateThreadObject(process_, 0, false);
    {
      ThreadContext context(helper);
      TerminateProcessObject(process_);
    }
    TerminateThreadObject(helper, STATUS_SUCCESS);
    ObfDereferenceObject(helper);
    {
      std::lock_guard<std::mutex> guard(gProcessMapLock);
      auto it = gProcesses.find(process_->Pid);
      if (it != gProcesses.end() && it->second == process_) gProcesses.erase(it);
    }
    LeaveLogonSession(process_->LogonId);
  }

  void *UserMemoryBase() const override { return process_->UserMemory; }
  size_t UserMemorySize() const override { return process_->UserMemorySize; }

 private:
  static NTSTATUS ReferenceFile(HANDLE handle, PFILE_OBJECT *file) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &FileType, UserMode, &object, nullptr);
    *file = static_cast<PFILE_OBJECT>(object);
    return status;
  }

  // Runs `call` on the handle's file object, referenced with `access`
  // checked. A failed request's information is 0 unless `keepInformation`.
  template <class Call>
  IoResult OnFile(UserThread &thread, HANDLE handle, ACCESS_MASK access, Call call,
                  bool keepInformation = false) {
    ThreadContext context(ObjectOf(thread));
    IoResult result;
    PVOID object = nullptr;
    result.status = ObReferenceObjectByHandle(handle, access, &FileType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(result.status)) return result;
    auto *file = static_cast<PFILE_OBJECT>(object);
    IO_STATUS_BLOCK iosb{};
    result.status = call(file, &iosb);
    ObfDereferenceObject(file);
    result.information = (keepInformation || !NT_ERROR(result.status)) ? iosb.Information : 0;
    return result;
  }

  IoResult Transfer(UserThread &thread, HANDLE handle, bool write, PVOID buffer, ULONG length,
                    const LARGE_INTEGER *offset) {
    ThreadContext context(ObjectOf(thread));
    IoResult result;
    PFILE_OBJECT file = nullptr;
    result.status = ReferenceFile(handle, &file);
    if (!NT_SUCCESS(result.status)) return result;
    IO_STATUS_BLOCK iosb{};
    result.status = FileReadWrite(file, UserMode, write, buffer, length, offset, &iosb);
    ObfDereferenceObject(file);
    result.information = iosb.Information;
    return result;
  }

  PEPROCESS process_;
  bool terminated_ = false;
};

}  // namespace

std::shared_ptr<UserProcess> CreateUserProcess(const ProcessOptions &options, void *userMemory,
                                               size_t userMemorySize) {
  Token::HostLogon logon;
  if (options.logonId.LowPart || options.logonId.HighPart) logon.authenticationId = options.logonId;
  logon.sessionId = options.sessionId;
  std::vector<gid_t> groups(options.groups.begin(), options.groups.end());
  auto token = Token::ForHostUser(options.uid, options.gid, groups, logon);
  if (!NT_SUCCESS(JoinLogonSession(token->AuthenticationId(), options.uid))) return nullptr;
  PEPROCESS process = CreateProcessObject(options, false);
  if (!process) {
    LeaveLogonSession(token->AuthenticationId());
    return nullptr;
  }
  process->Token = token;
  process->LogonId = token->AuthenticationId();
  process->SessionId = token->SessionId();
  process->ParentPid = options.parentPid;
  if (userMemory) {
    process->UserMemory = static_cast<char *>(userMemory);
    process->UserMemorySize = userMemorySize;
  } else {
    // A 32-bit process needs its memory below 4 GiB.
    size_t size = 1 << 20;
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | (options.wow64 ? MAP_32BIT : 0), -1, 0);
    if (p != MAP_FAILED) {
      process->UserMemory = static_cast<char *>(p);
      process->UserMemorySize = size;
      process->OwnsUserMemory = true;
    }
  }
  {
    std::lock_guard<std::mutex> guard(gProcessMapLock);
    gProcesses[process->Pid] = process;
  }
  auto user = std::make_shared<UserProcessImpl>(process);
  NotifyProcessCreated(process, options.parentPid);
  return user;
}

}  // namespace bw

using namespace bw;

NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process) {
  auto pid = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ProcessId));
  if (pid == 4 && SystemProcess()) {
    ObfReferenceObject(SystemProcess());
    *Process = SystemProcess();
    return STATUS_SUCCESS;
  }
  std::lock_guard<std::mutex> guard(gProcessMapLock);
  auto it = gProcesses.find(pid);
  if (it == gProcesses.end()) return STATUS_INVALID_PARAMETER;
  ObfReferenceObject(it->second);
  *Process = it->second;
  return STATUS_SUCCESS;
}

NTSTATUS PsLookupThreadByThreadId(HANDLE, PETHREAD *) { return STATUS_INVALID_PARAMETER; }

PACCESS_TOKEN PsReferencePrimaryToken(PEPROCESS Process) {
  ObfReferenceObject(Process);
  return Process;  // the token travels as its process; see SeQueryInformationToken
}

VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken) {
  if (PrimaryToken) ObfDereferenceObject(PrimaryToken);
}

PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD, PBOOLEAN, PBOOLEAN,
                                            SECURITY_IMPERSONATION_LEVEL *) {
  return nullptr;  // no thread impersonates here
}

VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken) {
  if (ImpersonationToken) ObfDereferenceObject(ImpersonationToken);
}
