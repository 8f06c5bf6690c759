// Frames between user processes and ramvold over a SOCK_SEQPACKET socket.
// Each client thread has its own connection; all connections of one host
// process share that process's handle table in the daemon. Every frame
// starts with FrameHeader; integers are little-endian (both ends are this
// host).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bw::wire {

constexpr uint32_t kMagic = 0x4C565742;  // "BWVL"
constexpr uint32_t kVersion = 1;
constexpr size_t kMaxFrame = 1u << 20;       // one request's buffers fit in this
constexpr size_t kMaxPathBytes = 32767 * 2;  // NT paths are at most 32767 characters

enum class Op : uint32_t {
  Hello = 1,
  Create = 2,
  DeviceControl = 3,
  Read = 4,
  Write = 5,
  Close = 6,
  OpenThread = 7,
  Reply = 100,
  Apc = 101,
};

#pragma pack(push, 1)
struct FrameHeader {
  uint32_t magic;
  uint32_t op;
};

// First frame on a connection. A memory descriptor comes back with the
// reply of the process's first connection.
struct HelloRequest {
  FrameHeader header;
  uint32_t version;
  uint32_t pid;       // must match the peer's credentials
  uint32_t tid;
  uint8_t wow64;      // 1: the process runs as a 32-bit process
  char imageName[16];
};

struct HelloReply {
  FrameHeader header;
  int32_t status;
  uint64_t userMemoryAddress;  // where the shared block must be mapped
  uint64_t userMemorySize;
  // SCM_RIGHTS carries the block's descriptor when userMemorySize != 0.
};

struct CreateRequest {
  FrameHeader header;
  uint32_t access;
  uint32_t shareAccess;
  uint32_t disposition;
  uint32_t options;
  uint32_t pathBytes;
  // then the UTF-16 NT path
};

struct DeviceControlRequest {
  FrameHeader header;
  uint64_t handle;
  uint32_t code;
  uint32_t inputLength;
  uint32_t outputLength;
  // then inputLength bytes
};

struct ReadRequest {
  FrameHeader header;
  uint64_t handle;
  uint64_t offset;
  uint32_t length;
};

struct WriteRequest {
  FrameHeader header;
  uint64_t handle;
  uint64_t offset;
  uint32_t length;
  // then the data
};

struct CloseRequest {
  FrameHeader header;
  uint64_t handle;
};

struct OpenThreadRequest {
  FrameHeader header;
  uint32_t tid;  // a thread of the same process that has connected
};

// Answer to every request: status, information (bytes returned, or the new
// handle for Create and OpenThread), then the output bytes.
struct Reply {
  FrameHeader header;
  int32_t status;
  uint64_t information;
  uint64_t value;  // handle for Create/OpenThread
  uint32_t outputLength;
};

// A user-mode APC for the thread that owns the connection.
struct ApcFrame {
  FrameHeader header;
  uint64_t routine;
  uint64_t normalContext;
  uint64_t systemArgument1;
  uint64_t systemArgument2;
};
#pragma pack(pop)

// Where clients find the daemon and the daemon keeps its state:
// $BRIMWELL_ROOT, else $XDG_STATE_HOME/brimwell, else ~/.local/state/brimwell,
// else /var/lib/brimwell.
std::string DefaultRoot();
std::string SocketPath(const std::string &root);

}  // namespace bw::wire
