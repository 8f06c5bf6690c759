// The frames a connection serves: the hello that introduces the client
// thread, then one routine per request kind, each a UserMode request of the
// kernel stand-in on behalf of that thread.
#include "platform/daemon/server_internal.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bw {

bool Server::Greet(Session &session, const Frame &frame) {
  wire::HelloRequest hello;
  if (frame.op != wire::Op::Hello || !frame.Exactly(&hello)) return false;
  Connection &connection = *session.connection;
  ucred cred{};
  socklen_t credLength = sizeof cred;
  if (getsockopt(connection.fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLength) != 0) return false;
  wire::HelloReply answer{{wire::kMagic, static_cast<uint32_t>(wire::Op::Reply)}, 0, 0, 0};
  if (hello.version != wire::kVersion || hello.pid != static_cast<uint32_t>(cred.pid)) {
    answer.status = static_cast<int32_t>(STATUS_ACCESS_DENIED);
    connection.Send(&answer, sizeof answer);
    return false;
  }
  hello.imageName[15] = 0;
  int32_t status = STATUS_SUCCESS;
  session.process = AttachProcess(hello.pid, cred.uid, cred.gid, hello.wow64 != 0, hello.imageName,
                                  hello.logonId, &status);
  if (!session.process) {
    answer.status = status;
    connection.Send(&answer, sizeof answer);
    return false;
  }
  session.pid = hello.pid;
  session.uid = cred.uid;
  session.thread = session.process->process->CreateThread(hello.tid);
  {
    std::lock_guard<std::mutex> guard(lock_);
    session.process->threads[hello.tid] = session.thread;
  }
  answer.userMemoryAddress = reinterpret_cast<uint64_t>(session.process->memory);
  answer.userMemorySize = kUserMemorySize;
  answer.bootId = bootId_;
  if (!connection.Send(&answer, sizeof answer, session.process->memoryFd)) return false;
  std::weak_ptr<Connection> weak = session.connection;
  session.thread->SetApcSink([weak](const UserApc &apc) {
    auto c = weak.lock();
    if (!c) return;
    c->QueueApc(wire::ApcFrame{{wire::kMagic, static_cast<uint32_t>(wire::Op::Apc)},
                               apc.routine,
                               apc.normalContext,
                               apc.systemArgument1,
                               apc.systemArgument2});
  });
  return true;
}

bool Server::Dispatch(Session &session, const Frame &frame) {
  switch (frame.op) {
    case wire::Op::Create:
      return ServeCreate(session, frame);
    case wire::Op::DeviceControl:
      return ServeDeviceControl(session, frame);
    case wire::Op::Read:
    case wire::Op::Write:
      return ServeTransfer(session, frame);
    case wire::Op::Close:
      return ServeClose(session, frame);
    case wire::Op::OpenThread:
      return ServeOpenThread(session, frame);
    case wire::Op::Flush:
      return ServeFlush(session, frame);
    case wire::Op::Window:
      return ServeWindow(session, frame);
    case wire::Op::QueryInformation:
    case wire::Op::SetInformation:
    case wire::Op::SetVolume:
    case wire::Op::QuerySecurity:
    case wire::Op::SetSecurity:
      return ServeFileInformation(session, frame);
    case wire::Op::QueryDirectory:
      return ServeQueryDirectory(session, frame);
    case wire::Op::FsControl:
      return ServeFsControl(session, frame);
    case wire::Op::LogonSession:
      return ServeLogonSession(session, frame);
    case wire::Op::DosDevice:
      return ServeDosDevice(session, frame);
    case wire::Op::QueryVolume:
      return ServeQueryVolume(session, frame);
    case wire::Op::QueryToken:
      return ServeQueryToken(session, frame);
    case wire::Op::ProcessSession:
      return ServeProcessSession(session, frame);
    case wire::Op::AdjustPrivileges:
      return ServeAdjustPrivileges(session, frame);
    case wire::Op::CreateWindow:
      return ServeCreateWindow(session, frame);
    case wire::Op::DestroyWindow:
      return ServeDestroyWindow(session, frame);
    case wire::Op::PostMessage:
      return ServePostMessage(session, frame);
    case wire::Op::Broadcast:
      return ServeBroadcast(session, frame);
    case wire::Op::AnswerMessage:
      return ServeAnswerMessage(session, frame);
    case wire::Op::Service:
      return ServeService(session, frame);
    case wire::Op::ExitSystem:
      return ServeExitSystem(session, frame);
    case wire::Op::DelayedMove:
      return ServeDelayedMove(session, frame);
    case wire::Op::Device:
      return ServeDevice(session, frame);
    case wire::Op::Registry:
      return ServeRegistry(session, frame);
    case wire::Op::Mutant:
      return ServeMutant(session, frame);
    default:
      return false;  // an unknown operation ends the connection
  }
}

bool Server::ServeCreate(Session &session, const Frame &frame) {
  wire::CreateRequest request;
  if (!frame.StartsWith(&request)) return false;
  if (request.pathBytes % 2 || request.pathBytes > wire::kMaxPathBytes ||
      frame.length != sizeof request + request.pathBytes)
    return false;
  std::u16string path(request.pathBytes / 2, u'\0');
  memcpy(path.data(), frame.TailAfter<wire::CreateRequest>(), request.pathBytes);
  HANDLE handle = nullptr;
  uint64_t information = 0;
  NTSTATUS status = session.process->process->CreateFile(
      *session.thread, path, request.access, request.shareAccess, request.disposition,
      request.options, &handle, request.attributes, &information);
  return session.Reply(status, information, reinterpret_cast<uint64_t>(handle));
}

bool Server::ServeDeviceControl(Session &session, const Frame &frame) {
  wire::DeviceControlRequest request;
  PVOID input, output;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.input, request.inputLength, &input) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  IoResult result = session.process->process->NtDeviceIoControlFile(
      *session.thread, reinterpret_cast<HANDLE>(request.handle), request.code, input,
      request.inputLength, output, request.outputLength);
  return session.Reply(result.status, result.information);
}

bool Server::ServeTransfer(Session &session, const Frame &frame) {
  wire::TransferRequest request;
  PVOID buffer;
  if (!frame.Exactly(&request) || !session.BufferInWindow(request.buffer, request.length, &buffer))
    return false;
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<LONGLONG>(request.offset);
  const LARGE_INTEGER *at = request.atPosition ? nullptr : &offset;
  session.lastBytes = request.length;
  UserProcess &process = *session.process->process;
  auto handle = reinterpret_cast<HANDLE>(request.handle);
  IoResult result = frame.op == wire::Op::Write
                        ? process.NtWriteFile(*session.thread, handle, buffer, request.length, at)
                        : process.NtReadFile(*session.thread, handle, buffer, request.length, at);
  return session.Reply(result.status, result.information);
}

bool Server::ServeFlush(Session &session, const Frame &frame) {
  wire::FlushRequest request;
  if (!frame.Exactly(&request)) return false;
  IoResult result = session.process->process->NtFlushBuffersFile(
      *session.thread, reinterpret_cast<HANDLE>(request.handle));
  return session.Reply(result.status, result.information);
}

bool Server::ServeWindow(Session &session, const Frame &frame) {
  wire::WindowRequest request;
  if (!frame.Exactly(&request)) return false;
  if (request.refused) {
    // Only the offer just made can be refused.
    if (request.refused != reinterpret_cast<uint64_t>(session.window.address)) return false;
    if (session.refused.size() >= kMaxRefusedWindows) {
      session.window.Release();
      return session.Reply(STATUS_CONFLICTING_ADDRESSES);
    }
    session.refused.push_back(session.window);
    session.window = TransferWindow{};
  }
  session.window.Release();
  if (request.size == 0) return session.Reply(STATUS_SUCCESS);
  if (request.size > kMaxWindowBytes) return session.Reply(STATUS_INSUFFICIENT_RESOURCES);
  size_t size = (request.size + 0xFFF) & ~size_t(0xFFF);
  int fd = memfd_create("brimwell-transfer-window", MFD_CLOEXEC);
  void *address = MAP_FAILED;
  if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0)
    address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_32BIT, fd, 0);
  if (address == MAP_FAILED) {
    if (fd >= 0) close(fd);
    return session.Reply(STATUS_INSUFFICIENT_RESOURCES);
  }
  session.window = TransferWindow{address, size};
  // It stays mapped until released: the kernel need not ask the host
  // about it for every request it describes.
  NoteUserBuffers(address, size);
  wire::Reply reply{{wire::kMagic, static_cast<uint32_t>(wire::Op::Reply)},
                    STATUS_SUCCESS,
                    size,
                    reinterpret_cast<uint64_t>(address)};
  bool sent = session.connection->Send(&reply, sizeof reply, fd);
  close(fd);
  return sent;
}

bool Server::ServeClose(Session &session, const Frame &frame) {
  wire::CloseRequest request;
  if (!frame.Exactly(&request)) return false;
  NTSTATUS status = session.process->process->Close(reinterpret_cast<HANDLE>(request.handle));
  return session.Reply(status);
}

bool Server::ServeOpenThread(Session &session, const Frame &frame) {
  wire::OpenThreadRequest request;
  if (!frame.Exactly(&request)) return false;
  std::shared_ptr<UserThread> target;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = session.process->threads.find(request.tid);
    if (it != session.process->threads.end()) target = it->second.lock();
  }
  HANDLE handle = nullptr;
  NTSTATUS status = target ? session.process->process->OpenThreadHandle(*target, &handle)
                           : STATUS_INVALID_PARAMETER;
  return session.Reply(status, 0, reinterpret_cast<uint64_t>(handle));
}

}  // namespace bw
