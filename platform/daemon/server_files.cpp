// Requests on files and folders beyond reading and writing: information,
// directory queries, volume labels, security and file-system control, each
// the Nt service of the client's thread on buffers in its transfer window.
#include "platform/daemon/server_internal.h"

namespace bw {

bool Server::ServeFileInformation(Session &session, const Frame &frame) {
  wire::FileInformationRequest request;
  PVOID buffer;
  if (!frame.Exactly(&request) || !session.BufferInWindow(request.buffer, request.length, &buffer))
    return false;
  UserProcess &process = *session.process->process;
  UserThread &thread = *session.thread;
  auto handle = reinterpret_cast<HANDLE>(request.handle);
  IoResult result;
  switch (frame.op) {
    case wire::Op::QueryInformation:
      result = process.NtQueryInformationFile(thread, handle, buffer, request.length,
                                              static_cast<FILE_INFORMATION_CLASS>(request.infoClass));
      break;
    case wire::Op::SetInformation:
      result = process.NtSetInformationFile(thread, handle, buffer, request.length,
                                            static_cast<FILE_INFORMATION_CLASS>(request.infoClass));
      break;
    case wire::Op::SetVolume:
      result = process.NtSetVolumeInformationFile(
          thread, handle, buffer, request.length,
          static_cast<FS_INFORMATION_CLASS>(request.infoClass));
      break;
    case wire::Op::QuerySecurity:
      result = process.NtQuerySecurityObject(thread, handle, request.infoClass, buffer,
                                             request.length);
      break;
    case wire::Op::SetSecurity:
      // The descriptor must lie wholly in the window: its length is the
      // client's to name, the kernel reads no further than it says.
      if (request.length < SECURITY_DESCRIPTOR_MIN_LENGTH) return false;
      result = process.NtSetSecurityObject(thread, handle, request.infoClass, buffer);
      break;
    default:
      return false;
  }
  return session.Reply(result.status, result.information);
}

bool Server::ServeQueryDirectory(Session &session, const Frame &frame) {
  wire::QueryDirectoryRequest request;
  PVOID buffer, name;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.buffer, request.length, &buffer) ||
      !session.BufferInWindow(request.name, request.nameBytes, &name) || request.nameBytes % 2 ||
      request.nameBytes > 0xFFFE)
    return false;
  UNICODE_STRING fileName{static_cast<USHORT>(request.nameBytes),
                          static_cast<USHORT>(request.nameBytes), static_cast<PWSTR>(name)};
  IoResult result = session.process->process->NtQueryDirectoryFile(
      *session.thread, reinterpret_cast<HANDLE>(request.handle), buffer, request.length,
      static_cast<FILE_INFORMATION_CLASS>(request.infoClass),
      (request.flags & wire::kReturnSingleEntry) != 0, request.hasName ? &fileName : nullptr,
      (request.flags & wire::kRestartScan) != 0);
  return session.Reply(result.status, result.information);
}

bool Server::ServeFsControl(Session &session, const Frame &frame) {
  wire::DeviceControlRequest request;
  PVOID input, output;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.input, request.inputLength, &input) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  IoResult result = session.process->process->NtFsControlFile(
      *session.thread, reinterpret_cast<HANDLE>(request.handle), request.code, input,
      request.inputLength, output, request.outputLength);
  return session.Reply(result.status, result.information);
}

}  // namespace bw
