// The frames a connection serves: the hello that introduces the client
// thread, then one routine per request kind, each a UserMode request of the
// kernel stand-in on behalf of that thread.
#include "platform/daemon/server_internal.h"

#include <sys/socket.h>

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
  std::string error;
  session.process =
      AttachProcess(hello.pid, cred.uid, cred.gid, hello.wow64 != 0, hello.imageName, &error);
  if (!session.process) {
    answer.status = static_cast<int32_t>(STATUS_INSUFFICIENT_RESOURCES);
    connection.Send(&answer, sizeof answer);
    return false;
  }
  session.pid = hello.pid;
  session.thread = session.process->process->CreateThread(hello.tid);
  {
    std::lock_guard<std::mutex> guard(lock_);
    session.process->threads[hello.tid] = session.thread;
  }
  answer.userMemoryAddress = reinterpret_cast<uint64_t>(session.process->memory);
  answer.userMemorySize = kUserMemorySize;
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
      return ServeRead(session, frame);
    case wire::Op::Write:
      return ServeWrite(session, frame);
    case wire::Op::Close:
      return ServeClose(session, frame);
    case wire::Op::OpenThread:
      return ServeOpenThread(session, frame);
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
  NTSTATUS status = session.process->process->CreateFile(*session.thread, path, request.access,
                                                         request.shareAccess, request.disposition,
                                                         request.options, &handle);
  return session.Reply(status, 0, reinterpret_cast<uint64_t>(handle), nullptr, 0);
}

bool Server::ServeDeviceControl(Session &session, const Frame &frame) {
  wire::DeviceControlRequest request;
  if (!frame.StartsWith(&request)) return false;
  if (frame.length != sizeof request + request.inputLength ||
      request.outputLength > wire::kMaxFrame)
    return false;
  const uint8_t *input = frame.TailAfter<wire::DeviceControlRequest>();
  IoResult result = session.process->process->DeviceIoControl(
      *session.thread, reinterpret_cast<HANDLE>(request.handle), request.code,
      request.inputLength ? input : nullptr, request.inputLength, request.outputLength);
  return session.Reply(result.status, result.information, 0, result.output.data(),
                       static_cast<uint32_t>(result.output.size()));
}

bool Server::ServeRead(Session &session, const Frame &frame) {
  wire::ReadRequest request;
  if (!frame.Exactly(&request) || request.length > wire::kMaxFrame) return false;
  IoResult result = session.process->process->Read(
      *session.thread, reinterpret_cast<HANDLE>(request.handle), request.length, request.offset);
  return session.Reply(result.status, result.information, 0, result.output.data(),
                       static_cast<uint32_t>(result.output.size()));
}

bool Server::ServeWrite(Session &session, const Frame &frame) {
  wire::WriteRequest request;
  if (!frame.StartsWith(&request) || frame.length != sizeof request + request.length) return false;
  IoResult result = session.process->process->Write(
      *session.thread, reinterpret_cast<HANDLE>(request.handle),
      frame.TailAfter<wire::WriteRequest>(), request.length, request.offset);
  return session.Reply(result.status, result.information, 0, nullptr, 0);
}

bool Server::ServeClose(Session &session, const Frame &frame) {
  wire::CloseRequest request;
  if (!frame.Exactly(&request)) return false;
  NTSTATUS status = session.process->process->Close(reinterpret_cast<HANDLE>(request.handle));
  return session.Reply(status, 0, 0, nullptr, 0);
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
  return session.Reply(status, 0, reinterpret_cast<uint64_t>(handle), nullptr, 0);
}

}  // namespace bw
