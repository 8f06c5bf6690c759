// Frames between user processes and ramvold over a SOCK_SEQPACKET socket.
// Each client thread has its own connection; all connections of one host
// process share that process's handle table in the daemon. Every frame
// starts with FrameHeader; integers are little-endian (both ends are this
// host).
//
// Frames carry requests, never their data: the buffers of a read, write or
// device-control request lie in the connection's transfer window, memory
// the client and the daemon map at the same address (Op::Window), so that
// the kernel describes the very bytes the client wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bw::wire {

constexpr uint32_t kMagic = 0x4C565742;  // "BWVL"
constexpr uint32_t kVersion = 8;
constexpr size_t kMaxPathBytes = 32767 * 2;  // NT paths are at most 32767 characters
constexpr size_t kMaxFrame = 64 + kMaxPathBytes;  // the largest frame: a create with its path

enum class Op : uint32_t {
  Hello = 1,
  Create = 2,
  DeviceControl = 3,
  Read = 4,
  Write = 5,
  Close = 6,
  OpenThread = 7,
  Flush = 8,
  Window = 9,
  // Files and folders: information, directory queries, volume labels,
  // security, file-system control (server_files.cpp).
  QueryInformation = 10,
  SetInformation = 11,
  QueryDirectory = 12,
  SetVolume = 13,
  QuerySecurity = 14,
  SetSecurity = 15,
  FsControl = 16,
  // Logon sessions and what a process sees of drive letters and itself.
  LogonSession = 20,
  DosDevice = 21,
  QueryVolume = 22,
  QueryToken = 23,
  ProcessSession = 24,
  // Privileges of the process's token; windows and their messages
  // (server_windows.cpp).
  AdjustPrivileges = 25,
  CreateWindow = 26,
  DestroyWindow = 27,
  PostMessage = 28,
  Broadcast = 29,
  // The service control manager, the system's restart and shutdown, and file
  // operations left for the next start (server_services.cpp).
  Service = 30,
  ExitSystem = 31,
  DelayedMove = 32,
  // Devices and their installation, served as the Plug and Play service
  // serves setupapi (server_devices.cpp).
  Device = 33,
  // The registry as advapi32's Reg... calls see it (server_registry.cpp).
  Registry = 34,
  // Named mutexes (server_mutants.cpp).
  Mutant = 35,
  // The answer to a sent window message (server_windows.cpp).
  AnswerMessage = 36,
  Reply = 100,
  Apc = 101,
  Message = 102,
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
  // The logon session the process belongs to (high part above the low
  // part); 0: its user's default one. The daemon refuses a session that does
  // not live (STATUS_NO_SUCH_LOGON_SESSION) or is another user's
  // (STATUS_ACCESS_DENIED).
  uint64_t logonId;
};

struct HelloReply {
  FrameHeader header;
  int32_t status;
  uint64_t userMemoryAddress;  // where the shared block must be mapped
  uint64_t userMemorySize;
  // Differs for every start of the daemon: handles of an earlier system
  // are not this one's.
  uint64_t bootId;
  // SCM_RIGHTS carries the block's descriptor when userMemorySize != 0.
};

struct CreateRequest {
  FrameHeader header;
  uint32_t access;
  uint32_t shareAccess;
  uint32_t disposition;
  uint32_t options;
  uint32_t attributes;  // of a file the open creates
  uint32_t pathBytes;
  // then the UTF-16 NT path. The reply's information is what the file
  // system answered (FILE_CREATED, FILE_OPENED, FILE_OVERWRITTEN ...).
};

// `input` and `output` are addresses in the transfer window (0 with a
// length of 0). Op::FsControl carries an NtFsControlFile the same way.
struct DeviceControlRequest {
  FrameHeader header;
  uint64_t handle;
  uint32_t code;
  uint32_t inputLength;
  uint32_t outputLength;
  uint64_t input;
  uint64_t output;
};

// A request on a handle with one record at `buffer` in the transfer window:
// QueryInformation and SetInformation (NtQueryInformationFile,
// NtSetInformationFile: `infoClass` a FILE_INFORMATION_CLASS), SetVolume
// (NtSetVolumeInformationFile: an FS_INFORMATION_CLASS), QuerySecurity and
// SetSecurity (NtQuerySecurityObject, NtSetSecurityObject: `infoClass` the
// SECURITY_INFORMATION, the buffer the self-relative descriptor). The
// reply's information is what the request returned; for QuerySecurity the
// descriptor's length, also when the buffer is too small.
struct FileInformationRequest {
  FrameHeader header;
  uint64_t handle;
  uint32_t infoClass;
  uint32_t length;
  uint64_t buffer;
};

// NtQueryDirectoryFile: entries of class `infoClass` into `buffer`; the
// search name (when `hasName`) at `name`, both in the transfer window.
constexpr uint8_t kRestartScan = 1;
constexpr uint8_t kReturnSingleEntry = 2;
struct QueryDirectoryRequest {
  FrameHeader header;
  uint64_t handle;
  uint32_t infoClass;
  uint8_t flags;
  uint8_t hasName;
  uint32_t length;
  uint64_t buffer;
  uint32_t nameBytes;
  uint64_t name;
};

// Read (Op::Read) or write (Op::Write) of `length` bytes at `buffer` in the
// transfer window.
struct TransferRequest {
  FrameHeader header;
  uint64_t handle;
  uint64_t offset;
  uint8_t atPosition;  // 1: at the file object's position, `offset` unused
  uint32_t length;
  uint64_t buffer;
};

struct FlushRequest {
  FrameHeader header;
  uint64_t handle;
};

struct CloseRequest {
  FrameHeader header;
  uint64_t handle;
};

struct OpenThreadRequest {
  FrameHeader header;
  uint32_t tid;  // a thread of the same process that has connected
};

// Replaces the connection's transfer window by one of at least `size`
// bytes (0: none). The reply's value is its address, its information its
// size, and SCM_RIGHTS carries its memory; the client maps that at the same
// address. `refused` names the window offered last when the client could
// not map it there: the daemon keeps it out of the way and offers another.
struct WindowRequest {
  FrameHeader header;
  uint64_t size;
  uint64_t refused;
};

// Requests whose answer is data put it at `output` in the transfer window;
// the reply's information is the bytes the answer needs (written when
// `outputLength` holds them, else STATUS_BUFFER_TOO_SMALL).

// Begin: a fresh session of the caller's host user (the reply's value is
// its id). End: ends one of the caller's own sessions (any, for uid 0);
// a default session lasts while the daemon runs. List: the caller's
// sessions (all, for uid 0) as LogonSessionRecords.
enum class LogonAction : uint32_t { Begin = 1, End = 2, List = 3 };
struct LogonSessionRequest {
  FrameHeader header;
  uint32_t action;
  uint64_t logonId;
  uint64_t output;
  uint32_t outputLength;
};
struct LogonSessionRecord {
  uint64_t logonId;
  uint32_t uid;
  uint32_t flags;  // kLogonSessionDefault
  uint32_t processes;
};
constexpr uint32_t kLogonSessionDefault = 1;

// QueryDosDevice: with a name, its target; without (nameBytes 0), every
// name the caller's "\??" holds. The answer is UTF-16 strings, each
// terminated, and one terminator more.
struct DosDeviceRequest {
  FrameHeader header;
  uint64_t output;
  uint32_t outputLength;
  uint32_t nameBytes;
  // then the UTF-16 name
};

// NtQueryVolumeInformationFile on a handle.
struct QueryVolumeRequest {
  FrameHeader header;
  uint64_t handle;
  uint32_t infoClass;
  uint64_t output;
  uint32_t outputLength;
};

// NtQueryInformationToken on the process's primary token.
struct QueryTokenRequest {
  FrameHeader header;
  uint32_t infoClass;
  uint64_t output;
  uint32_t outputLength;
};

// The session id of a live process (the reply's value).
struct ProcessSessionRequest {
  FrameHeader header;
  uint32_t pid;
};

// AdjustTokenPrivileges on the process's primary token: `count`
// PrivilegeRecords follow (none with kAdjustDisableAll). With
// kAdjustWantPrevious the privileges whose state changed go to `output` as
// PrivilegeRecords, their earlier state in the attributes (no room:
// STATUS_BUFFER_TOO_SMALL and nothing changes); the reply's information is
// the bytes that takes. The status is STATUS_NOT_ALL_ASSIGNED when the
// token lacks one of them.
struct PrivilegeRecord {
  uint32_t luidLow;
  int32_t luidHigh;
  uint32_t attributes;
};
constexpr uint32_t kMaxPrivileges = 64;
constexpr uint8_t kAdjustDisableAll = 1;
constexpr uint8_t kAdjustWantPrevious = 2;
struct AdjustPrivilegesRequest {
  FrameHeader header;
  uint8_t flags;
  uint32_t count;
  uint64_t output;
  uint32_t outputLength;
};

// A window of the calling thread: the reply's value is its handle, which
// names it to every process. Message-only windows are reached by posts
// alone, never by broadcasts; only top-level ones are broadcast to. The
// window goes with DestroyWindow, or with its thread's connection.
constexpr uint32_t kWindowTopLevel = 1;
constexpr uint32_t kWindowMessageOnly = 2;
struct CreateWindowRequest {
  FrameHeader header;
  uint32_t flags;
};
struct DestroyWindowRequest {
  FrameHeader header;
  uint64_t window;
};

// One window message. Messages whose lParam points at a record carry the
// record's `dataBytes` after the head; the receiver's lParam points at its
// own copy.
constexpr uint32_t kMaxMessageData = 32 * 1024;
// A message the system sends, rather than posts, carries a nonzero
// `answerId`: the receiving thread calls the window's procedure at its next
// GetMessage or PeekMessage and returns the result with AnswerMessage.
struct MessageHead {
  uint64_t window;
  uint32_t message;
  uint64_t wParam;
  uint64_t lParam;
  uint32_t dataBytes;
  uint64_t answerId = 0;
};
// PostMessage: to the thread that owns `head.window` (STATUS_INVALID_HANDLE
// when there is no such window, STATUS_QUOTA_EXCEEDED when its queue is
// full).
struct PostMessageRequest {
  FrameHeader header;
  MessageHead head;
};
// Broadcast: to every top-level window (`head.window` unused), but those of
// the caller's own process with kBroadcastSkipCaller. The reply's
// information is how many windows it reached.
constexpr uint32_t kBroadcastSkipCaller = 1;
struct BroadcastRequest {
  FrameHeader header;
  uint32_t flags;
  MessageHead head;
};
// A posted or sent message, sent to the owning thread's connection.
struct MessageFrame {
  FrameHeader header;
  MessageHead head;
};
// What the window's procedure returned for a sent message. Only the thread
// the message went to answers it (STATUS_ACCESS_DENIED); an answer after
// the sender stopped waiting finds nothing (STATUS_INVALID_PARAMETER).
struct AnswerMessageRequest {
  FrameHeader header;
  uint64_t answerId;
  uint64_t result;
};

// A request to the service control manager. The input (at `input` in the
// transfer window, `inputLength` bytes) and the output depend on the action;
// strings are a uint32 count of UTF-16 units (kNoString: none) followed by
// the units. The reply's status is a Win32 error (0: success), its value the
// new handle of an open or create, its information the bytes the output
// needs (written when `outputLength` holds them, else
// ERROR_INSUFFICIENT_BUFFER).
enum class ServiceAction : uint32_t {
  OpenManager = 1,   // access
  Create = 2,        // handle: the manager; access; input: ServiceCreateInput then
                     // name, display name, binary path, group, dependencies
                     // (a multi-string, its zeros included), start name
  Open = 3,          // handle: the manager; access; input: the name
  Start = 4,         // handle
  Control = 5,       // handle; control
  QueryStatus = 6,   // handle; output: ServiceStatusRecord
  QueryConfig = 7,   // handle; output: ServiceConfigInput then binary path, group,
                     // dependencies, start name, display name
  Delete = 8,        // handle
  Close = 9,         // handle
};
constexpr uint32_t kNoString = 0xFFFFFFFF;
struct ServiceRequest {
  FrameHeader header;
  uint32_t action;
  uint64_t handle;
  uint32_t access;
  uint32_t control;
  uint64_t input;
  uint32_t inputLength;
  uint64_t output;
  uint32_t outputLength;
};
struct ServiceCreateInput {
  uint32_t type;
  uint32_t start;
  uint32_t errorControl;
  uint32_t tagId;
};
using ServiceConfigInput = ServiceCreateInput;
struct ServiceStatusRecord {
  uint32_t type, currentState, controlsAccepted, win32ExitCode, serviceSpecificExitCode,
      checkPoint, waitHint, processId, serviceFlags;
};

// ExitWindowsEx: `flags` EWX_*, `reason` SHTDN_REASON_*. The reply's status
// is a Win32 error; the restart or shutdown begins after the reply.
struct ExitSystemRequest {
  FrameHeader header;
  uint32_t flags;
  uint32_t reason;
};

// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT: `source` and `target` (NT
// paths; no target: a delete) follow the request, `sourceBytes` and
// `targetBytes` long. The reply's status is a Win32 error.
struct DelayedMoveRequest {
  FrameHeader header;
  uint32_t flags;
  uint32_t sourceBytes;
  uint32_t targetBytes;
};

// Mutexes: Create (`name`, `initialOwner`, and a self-relative security
// descriptor of `descriptorBytes` after the name, none when 0), Open
// (`name`, `access`), Release (`handle`). The frame carries the UTF-16
// name after the request, then the descriptor. The reply's status is an
// NTSTATUS (STATUS_OBJECT_NAME_EXISTS: a create opened an existing one),
// its value the new handle, its information the count a release found.
enum class MutantAction : uint32_t { Create = 1, Open = 2, Release = 3 };
constexpr uint32_t kMaxMutantDescriptor = 4096;
struct MutantRequest {
  FrameHeader header;
  uint32_t action;
  uint64_t handle;
  uint32_t access;
  uint8_t initialOwner;
  uint32_t nameBytes;
  uint32_t descriptorBytes;
};

// A device request: `action`, then its input as fields (each a 32-bit byte
// count and the bytes; text is UTF-16 without terminator, numbers 32-bit).
// The answer, when there is one, is fields too, at `output`.
enum class DeviceAction : uint32_t {
  // → per registered root device: flags (kDevicePresent), instance path.
  List = 1,
  // instance path, value name, key (kDeviceKey or kDriverKey) → type, data;
  // STATUS_OBJECT_NAME_NOT_FOUND when the device has no such value.
  GetValue = 2,
  // instance path, value name, type, data.
  SetValue = 3,
  // device name → "ROOT\<NAME>\NNNN", the lowest instance not registered.
  NewInstanceId = 4,
  // instance path, then (value name, type, data) per value: the device is
  // registered and enumerated; STATUS_OBJECT_NAME_COLLISION when it exists.
  Register = 5,
  // instance path → the reply's value is 1 when the device started.
  Start = 6,
  // instance path, scope (1 everywhere, 2 this configuration only).
  Remove = 7,
  // service name, then (value name, type, data) per value.
  WriteService = 8,
  // instance path, class GUID text, then (value name, type, data) per
  // value → the driver key's name ("{guid}\NNNN"), also written as the
  // device's Driver value.
  WriteDriverKey = 9,
};
constexpr uint32_t kDevicePresent = 1;
constexpr uint32_t kDeviceKey = 0;
constexpr uint32_t kDriverKey = 1;
struct DeviceRequest {
  FrameHeader header;
  uint32_t action;
  uint32_t inputBytes;
  uint64_t output;
  uint32_t outputLength;
  // then the input
};

// A registry request. `key` is a predefined key (kRegistryCurrentUser,
// kRegistryLocalMachine, kRegistryUsers, as Windows numbers them) or a
// handle the daemon gave the process. The input at `input` in the transfer
// window is the UTF-16 name (`nameBytes`, no terminator) followed by the
// value's data (`dataBytes`). The reply's status is an NTSTATUS; an answer
// goes to `output` when `outputLength` holds it, else
// STATUS_BUFFER_TOO_SMALL, the information being the bytes it needs.
enum class RegistryAction : uint32_t {
  Open = 1,         // key, name (the subkey path), access → value: the new handle
  Create = 2,       // key, name, access, options → value: handle; information: disposition
  QueryValue = 3,   // key, name → output: the data; value: the type
  SetValue = 4,     // key, name, type, data
  DeleteValue = 5,  // key, name
  DeleteKey = 6,    // key, name (a subkey without subkeys of its own)
  EnumKey = 7,      // key, index → output: the subkey's name; value: its last write time
  EnumValue = 8,    // key, index → output: RegistryValueRecord, name, data
  Close = 9,        // key
};
constexpr uint64_t kRegistryCurrentUser = 0xFFFFFFFF80000001ull;
constexpr uint64_t kRegistryLocalMachine = 0xFFFFFFFF80000002ull;
constexpr uint64_t kRegistryUsers = 0xFFFFFFFF80000003ull;
struct RegistryRequest {
  FrameHeader header;
  uint32_t action;
  uint64_t key;
  uint32_t access;
  uint32_t options;
  uint32_t type;
  uint32_t index;
  uint32_t nameBytes;
  uint32_t dataBytes;
  uint64_t input;
  uint64_t output;
  uint32_t outputLength;
};
struct RegistryValueRecord {
  uint32_t type;
  uint32_t nameBytes;
  uint32_t dataBytes;
};

// Answer to every request: status, information (bytes transferred, or the
// window's size), and a value (the new handle for Create and OpenThread,
// the window's address for Window).
struct Reply {
  FrameHeader header;
  int32_t status;
  uint64_t information;
  uint64_t value;
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

// Fields of device requests and answers.
void PutField(std::string *out, const void *data, size_t bytes);
void PutText(std::string *out, std::u16string_view text);
void PutNumber(std::string *out, uint32_t value);
// Reads the next field from *in; false when none is left or it is cut.
bool TakeField(std::string_view *in, std::string_view *field);
bool TakeText(std::string_view *in, std::u16string *text);
bool TakeNumber(std::string_view *in, uint32_t *value);

}  // namespace bw::wire
