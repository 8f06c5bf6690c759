// Mutexes of client processes: create, open and release, each the kernel's
// mutant service for the client's thread.
#include "platform/daemon/server_internal.h"

#include <vector>

namespace bw {

bool Server::ServeMutant(Session &session, const Frame &frame) {
  wire::MutantRequest request;
  if (!frame.StartsWith(&request) || request.nameBytes % 2 ||
      request.nameBytes > wire::kMaxPathBytes ||
      request.descriptorBytes > wire::kMaxMutantDescriptor ||
      frame.length != sizeof request + request.nameBytes + request.descriptorBytes)
    return false;
  const uint8_t *tail = frame.TailAfter<wire::MutantRequest>();
  std::u16string name(request.nameBytes / 2, u'\0');
  memcpy(name.data(), tail, request.nameBytes);
  UserProcess &process = *session.process->process;
  HANDLE handle = nullptr;
  switch (static_cast<wire::MutantAction>(request.action)) {
    case wire::MutantAction::Create: {
      // Aligned, since the kernel reads the descriptor's fields in place.
      std::vector<uint64_t> descriptor((request.descriptorBytes + 7) / 8);
      if (request.descriptorBytes)
        memcpy(descriptor.data(), tail + request.nameBytes, request.descriptorBytes);
      if (request.descriptorBytes &&
          (request.descriptorBytes < sizeof(SECURITY_DESCRIPTOR_RELATIVE) ||
           !RtlValidRelativeSecurityDescriptor(descriptor.data(), request.descriptorBytes, 0)))
        return session.Reply(STATUS_INVALID_SECURITY_DESCR);
      NTSTATUS status =
          process.CreateMutant(*session.thread, name, request.initialOwner != 0,
                               request.descriptorBytes ? descriptor.data() : nullptr, &handle);
      return session.Reply(status, 0, reinterpret_cast<uint64_t>(handle));
    }
    case wire::MutantAction::Open: {
      NTSTATUS status = process.OpenMutant(*session.thread, name, request.access, &handle);
      return session.Reply(status, 0, reinterpret_cast<uint64_t>(handle));
    }
    case wire::MutantAction::Release: {
      LONG previous = 0;
      NTSTATUS status = process.ReleaseMutant(*session.thread,
                                              reinterpret_cast<HANDLE>(request.handle), &previous);
      return session.Reply(status, static_cast<uint64_t>(previous));
    }
  }
  return session.Reply(STATUS_INVALID_PARAMETER);
}

}  // namespace bw
