#include "tests/fuzz/engine_fuzz.h"

#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "engine/protocol/engine_protocol.h"

#include <ntddk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

namespace enginefuzz {
namespace {

using namespace std::chrono_literals;

constexpr char16_t kEngineService[] = u"RamvolEngine";
constexpr char16_t kBusService[] = u"BWRDPort";
constexpr size_t kNoField = static_cast<size_t>(-1);
constexpr uint64_t kImageReadLimit = kMaxVolumeBytes + (1u << 20);

NTSTATUS CreateServiceKey(std::u16string_view service) {
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(service);
  UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
  if (NT_SUCCESS(status)) ZwClose(key);
  return status;
}

// What must come back to where it was after each input.
struct Counters {
  std::map<ULONG, uint64_t> pool;  // outstanding allocations by tag
  uint64_t mdlPages = 0;
  uint64_t mappings = 0;
  size_t kernelHandles = 0;

  static Counters Now() {
    Counters c;
    for (const bw::PoolTagUsage &usage : bw::PoolUsage())
      if (usage.allocations) c.pool[usage.tag] = usage.allocations;
    c.mdlPages = bw::MdlPagesOutstanding();
    c.mappings = bw::MappingsOutstanding();
    c.kernelHandles = bw::KernelHandleCount();
    return c;
  }

  // What grew since Before, one line each; empty when nothing did.
  std::string GrowthSince(const Counters &before) const {
    std::ostringstream out;
    for (const auto &[tag, count] : pool) {
      auto it = before.pool.find(tag);
      uint64_t was = it == before.pool.end() ? 0 : it->second;
      if (count > was) out << "pool tag " << bw::TagName(tag) << ": +" << (count - was) << " allocations\n";
    }
    if (mdlPages > before.mdlPages) out << "MDL pages: +" << (mdlPages - before.mdlPages) << " bytes\n";
    if (mappings > before.mappings) out << "mappings: +" << (mappings - before.mappings) << "\n";
    if (kernelHandles > before.kernelHandles)
      out << "kernel handles: +" << (kernelHandles - before.kernelHandles) << "\n";
    return out.str();
  }
};

// One user process with a thread, its control handle and a handle to the
// thread (for RegisterNotify).
struct Client {
  std::shared_ptr<bw::UserProcess> process;
  std::shared_ptr<bw::UserThread> thread;
  HANDLE control = nullptr;
  HANDLE threadHandle = nullptr;
};

template <typename T>
T Load(const std::vector<uint8_t> &bytes, size_t at) {
  T value{};
  if (at + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

template <typename T>
void Store(std::vector<uint8_t> &bytes, size_t at, T value) {
  if (at + sizeof(T) <= bytes.size()) std::memcpy(bytes.data() + at, &value, sizeof(T));
}

// A length field of a record with strings and what goes into its string.
enum class Tail { Path, Bytes };
struct TailField {
  size_t lengthAt;
  size_t width;  // 2 or 4 bytes
  Tail kind;
  size_t cap;    // most bytes taken from the input for Bytes
};

// The layout of a record with strings, its strings in wire order.
struct StringRecord {
  size_t head;
  std::vector<TailField> fields;
  size_t trailer;
};

const StringRecord *StringRecordOf(uint32_t code) {
  static const StringRecord createImage{
      24, {{22, 2, Tail::Path, 0}, {5, 2, Tail::Bytes, 64}, {20, 2, Tail::Bytes, 40}}, 0};
  static const StringRecord mountImage{8, {{6, 2, Tail::Path, 0}, {4, 2, Tail::Bytes, 64}}, ENGINE_TRAILER_LENGTH};
  static const StringRecord createMemory{
      34, {{32, 2, Tail::Path, 0}, {30, 2, Tail::Bytes, 64}, {28, 2, Tail::Bytes, 40}}, ENGINE_TRAILER_LENGTH};
  static const StringRecord saveImage{14, {{12, 2, Tail::Path, 0}}, ENGINE_TRAILER_LENGTH};
  static const StringRecord format{22, {{16, 2, Tail::Bytes, 40}}, 0};
  static const StringRecord autoVolume{
      95, {{26, 2, Tail::Bytes, 40}, {28, 2, Tail::Path, 0}, {30, 4, Tail::Bytes, 64}}, 0};
  switch (code) {
    case IOCTL_ENGINE_CREATE_IMAGE: return &createImage;
    case IOCTL_ENGINE_MOUNT_IMAGE: return &mountImage;
    case IOCTL_ENGINE_CREATE_MEMORY_VOLUME: return &createMemory;
    case IOCTL_ENGINE_SAVE_IMAGE: return &saveImage;
    case IOCTL_ENGINE_FORMAT_VOLUME: return &format;
    case IOCTL_ENGINE_ADD_AUTO_VOLUME: return &autoVolume;
    default: return nullptr;
  }
}

// Where a request's record carries its volume handle.
size_t HandleOffsetOf(uint32_t code) {
  switch (code) {
    case IOCTL_ENGINE_UNMOUNT:
    case IOCTL_ENGINE_SAVE_IMAGE:
    case IOCTL_ENGINE_GET_DEVICE_NAME:
    case IOCTL_ENGINE_QUERY_VOLUME:
    case IOCTL_ENGINE_GET_IMAGE_PATH:
    case IOCTL_ENGINE_SET_PROPERTIES:
    case IOCTL_ENGINE_SET_FLUSH_STATE: return 0;
    case IOCTL_ENGINE_LINK: return 15;
    case IOCTL_ENGINE_FORMAT_VOLUME: return 4;
    default: return kNoField;
  }
}

// Where a request's record carries a size the engine would fill with memory.
size_t SizeOffsetOf(uint32_t code) {
  switch (code) {
    case IOCTL_ENGINE_CREATE_MEMORY_VOLUME: return 4;
    case IOCTL_ENGINE_CREATE_IMAGE: return 7;
    case IOCTL_ENGINE_ADD_AUTO_VOLUME: return 14;
    default: return kNoField;
  }
}

uint64_t FoldSize(uint64_t size) { return size <= kMaxVolumeBytes ? size : size % (kMaxVolumeBytes + 1); }

std::vector<uint8_t> Utf16Bytes(const std::u16string &text) {
  std::vector<uint8_t> bytes(text.size() * 2);
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

// A host file through the kernel, as a Windows program would reach it: an
// image in use by a volume refuses a writer.
class KernelFile {
 public:
  NTSTATUS Open(const std::u16string &ntPath, ACCESS_MASK access, ULONG disposition) {
    std::u16string path = ntPath;
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return ZwCreateFile(&handle_, access | SYNCHRONIZE, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ, disposition, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                        nullptr, 0);
  }
  ~KernelFile() {
    if (handle_) ZwClose(handle_);
  }
  NTSTATUS Write(const void *data, ULONG length, uint64_t offset) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return ZwWriteFile(handle_, nullptr, nullptr, nullptr, &iosb, const_cast<void *>(data), length, &at, nullptr);
  }
  NTSTATUS ReadAll(std::vector<uint8_t> *data) {
    data->assign(kImageReadLimit, 0);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at{};
    NTSTATUS status = ZwReadFile(handle_, nullptr, nullptr, nullptr, &iosb, data->data(),
                                 static_cast<ULONG>(data->size()), &at, nullptr);
    data->resize(NT_SUCCESS(status) ? iosb.Information : 0);
    return status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
  }
  NTSTATUS SetEnd(uint64_t end) {
    FILE_END_OF_FILE_INFORMATION info;
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(end);
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(handle_, &iosb, &info, sizeof(info), FileEndOfFileInformation);
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

struct Harness::State {
  std::string root;
  bool booted = false;
  bool busLoaded = false;
  bool engineLoaded = false;
  Client native;
  Client wow64;
  std::vector<uint64_t> handles;  // volume handles seen, live or not
  Counters boot;                  // right after the boot, before the drivers

  std::string ImageHostPath(int index) const { return root + "/image" + std::to_string(index) + ".img"; }
  std::u16string ImageNtPath(int index) const {
    std::u16string path = u"\\??\\Z:";
    for (char c : ImageHostPath(index)) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    return path;
  }

  bool OpenClient(Client *client, bool wow, std::string *error) {
    bw::ProcessOptions options;
    options.wow64 = wow;
    options.uid = 1000;
    options.gid = 1000;
    options.imageName = wow ? "ramdeck32.exe" : "ramdeck.exe";
    client->process = bw::CreateUserProcess(options);
    client->thread = client->process->CreateThread(wow ? 200 : 100);
    // Notifications land here and are dropped: no one waits for them.
    client->thread->SetApcSink([](const bw::UserApc &) {});
    NTSTATUS status = client->process->CreateFile(*client->thread, ENGINE_SYMBOLIC_LINK_NAME,
                                                  GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &client->control);
    if (NT_SUCCESS(status)) status = client->process->OpenThreadHandle(*client->thread, &client->threadHandle);
    if (!NT_SUCCESS(status)) *error = "opening the control device: " + bw::StatusText(status);
    return NT_SUCCESS(status);
  }

  void CloseClient(Client *client) {
    if (client->process) {
      if (client->control) client->process->Close(client->control);
      if (client->threadHandle) client->process->Close(client->threadHandle);
      client->thread.reset();
      client->process->Terminate();
    }
    *client = Client{};
  }

  bw::IoResult Send(Client &client, uint32_t code, const std::vector<uint8_t> &input, uint32_t outputLength) {
    return client.process->DeviceIoControl(*client.thread, client.control, code,
                                           input.empty() ? nullptr : input.data(),
                                           static_cast<ULONG>(input.size()), outputLength);
  }

  // BW_FUZZ_TRACE=1 shows each request and its answer on stderr, to see
  // what an input does.
  static void Trace(uint32_t code, size_t inputLength, uint32_t outputLength, const bw::IoResult &result) {
    static const bool enabled = std::getenv("BW_FUZZ_TRACE") != nullptr;
    if (!enabled) return;
    std::fprintf(stderr, "request 0x%X in %zu out %u: %s information %llu", code, inputLength, outputLength,
                 bw::StatusText(result.status).c_str(), static_cast<unsigned long long>(result.information));
    if (result.output.size() >= sizeof(MountResult) &&
        (code == IOCTL_ENGINE_CREATE_MEMORY_VOLUME || code == IOCTL_ENGINE_MOUNT_IMAGE)) {
      MountResult reply;
      std::memcpy(&reply, result.output.data(), sizeof(reply));
      std::fprintf(stderr, " -> %s image status %u", bw::StatusText(reply.Status).c_str(),
                   static_cast<unsigned>(reply.ImageStatus));
    }
    std::fprintf(stderr, "\n");
  }

  std::vector<uint64_t> LiveVolumes() {
    bw::IoResult probe = Send(native, IOCTL_ENGINE_LIST_VOLUMES, {}, 0);
    if (!NT_SUCCESS(probe.status) || probe.information == 0) return {};
    // Room for a few more, should volumes appear between the two calls.
    bw::IoResult list = Send(native, IOCTL_ENGINE_LIST_VOLUMES, {}, static_cast<uint32_t>(probe.information + 64));
    std::vector<uint64_t> live(list.output.size() / 8);
    if (!live.empty()) std::memcpy(live.data(), list.output.data(), live.size() * 8);
    return live;
  }

  // A record with strings laid out afresh from the input's head: lengths
  // that add up, the path of an image file or none, the other strings from
  // the bytes after the head.
  std::vector<uint8_t> Rebuild(const StringRecord &layout, const std::vector<uint8_t> &input, uint8_t flags) {
    std::vector<uint8_t> record(input.begin(), input.begin() + std::min(input.size(), layout.head));
    record.resize(layout.head, 0);
    size_t from = layout.head;
    for (const TailField &field : layout.fields) {
      std::vector<uint8_t> text;
      if (field.kind == Tail::Path) {
        if (flags & 0x04) text = Utf16Bytes(ImageNtPath((flags & 0x08) ? 1 : 0));
      } else {
        uint64_t declared = field.width == 2 ? Load<uint16_t>(record, field.lengthAt)
                                             : Load<uint32_t>(record, field.lengthAt);
        size_t available = input.size() > from ? input.size() - from : 0;
        size_t take = static_cast<size_t>(std::min<uint64_t>({declared, field.cap, available}));
        if (take) text.assign(input.begin() + from, input.begin() + from + take);
        from += take;
      }
      if (field.width == 2)
        Store<uint16_t>(record, field.lengthAt, static_cast<uint16_t>(text.size()));
      else
        Store<uint32_t>(record, field.lengthAt, static_cast<uint32_t>(text.size()));
      record.insert(record.end(), text.begin(), text.end());
    }
    record.resize(record.size() + layout.trailer, 0);
    return record;
  }

  void ControlStep(uint32_t code, uint8_t flags, std::vector<uint8_t> input, uint32_t outputLength) {
    Client &client = (flags & 0x80) ? wow64 : native;
    size_t sizeAt = SizeOffsetOf(code);
    if (sizeAt != kNoField) Store<uint64_t>(input, sizeAt, FoldSize(Load<uint64_t>(input, sizeAt)));
    if (flags & 0x02) {
      if (const StringRecord *layout = StringRecordOf(code)) input = Rebuild(*layout, input, flags);
      if (code == IOCTL_ENGINE_REGISTER_NOTIFY) {
        uint64_t handle = reinterpret_cast<uintptr_t>(client.threadHandle);
        if (client.process->IsWow64())
          Store<uint32_t>(input, 0, static_cast<uint32_t>(handle));
        else
          Store<uint64_t>(input, 0, handle);
      }
    }
    size_t handleAt = HandleOffsetOf(code);
    if ((flags & 0x01) && handleAt != kNoField && !handles.empty())
      Store<uint64_t>(input, handleAt, handles[((flags >> 4) & 7) % handles.size()]);

    bw::IoResult result = Send(client, code, input, outputLength);
    Trace(code, input.size(), outputLength, result);
    if ((code == IOCTL_ENGINE_CREATE_MEMORY_VOLUME || code == IOCTL_ENGINE_MOUNT_IMAGE) &&
        NT_SUCCESS(result.status) && result.output.size() >= sizeof(MountResult)) {
      MountResult reply;
      std::memcpy(&reply, result.output.data(), sizeof(reply));
      uint64_t handle = reply.VolumeHandle;
      if (NT_SUCCESS(reply.Status) && handle) handles.push_back(handle);
    }
  }

  // Writes Data at Offset into an image file through the kernel; a file a
  // volume holds refuses the writer and the step does nothing.
  void ImageWriteStep(uint8_t flags, const uint8_t *data, size_t length, uint64_t offset) {
    int index = flags & 0x01;
    std::vector<uint8_t> copy;
    if (flags & 0x04) {
      KernelFile source;
      if (!NT_SUCCESS(source.Open(ImageNtPath(1 - index), GENERIC_READ, FILE_OPEN)) ||
          !NT_SUCCESS(source.ReadAll(&copy)))
        copy.clear();
    }
    KernelFile file;
    if (!NT_SUCCESS(file.Open(ImageNtPath(index), GENERIC_READ | GENERIC_WRITE, FILE_OPEN_IF))) return;
    if (!copy.empty() && NT_SUCCESS(file.Write(copy.data(), static_cast<ULONG>(copy.size()), 0)))
      file.SetEnd(copy.size());
    if (length) file.Write(data, static_cast<ULONG>(length), offset);
    if (flags & 0x02) file.SetEnd(offset + length);
  }

  void ForeignStep(uint8_t flags, std::vector<uint8_t> input, uint16_t extra) {
    uint32_t function = 0x800 + (flags & 0x3F);
    uint32_t code = EngineCtlCode(ENGINE_DEVICE_TYPE, function, extra & 3, (extra >> 2) & 3);
    uint32_t outputLength = (extra >> 4) & 0xFFF;
    Trace(code, input.size(), outputLength, Send((flags & 0x80) ? wow64 : native, code, input, outputLength));
  }

  // Removes every volume and registration the input made, waits for the
  // reaper, and says what did not go.
  std::string CleanUp() {
    std::string report;
    for (Client *client : {&native, &wow64}) {
      std::vector<uint8_t> withdraw(client->process->IsWow64() ? sizeof(NotifyRegistration32)
                                                               : sizeof(NotifyRegistration));
      uint64_t handle = reinterpret_cast<uintptr_t>(client->threadHandle);
      if (client->process->IsWow64())
        Store<uint32_t>(withdraw, 0, static_cast<uint32_t>(handle));
      else
        Store<uint64_t>(withdraw, 0, handle);
      Send(*client, IOCTL_ENGINE_REGISTER_NOTIFY, withdraw, 0);
    }
    for (uint64_t handle : LiveVolumes()) {
      LinkRequest unlink{};
      unlink.Operation = ENGINE_LINK_DELETE;
      unlink.VolumeHandle = handle;
      unlink.PartitionSelector = ENGINE_ALL_PARTITIONS;
      std::vector<uint8_t> link(sizeof(unlink));
      std::memcpy(link.data(), &unlink, sizeof(unlink));
      Send(native, IOCTL_ENGINE_LINK, link, 0);
      UnmountRequest unmount{};
      unmount.VolumeHandle = handle;
      unmount.Force = 1;
      std::vector<uint8_t> request(sizeof(unmount));
      std::memcpy(request.data(), &unmount, sizeof(unmount));
      bw::IoResult result = Send(native, IOCTL_ENGINE_UNMOUNT, request, 0);
      if (!NT_SUCCESS(result.status) && result.status != STATUS_INVALID_HANDLE)
        report += "forced unmount of a volume failed: " + bw::StatusText(result.status) + "\n";
    }
    auto deadline = std::chrono::steady_clock::now() + 20s;
    size_t left = 0;
    while ((left = LiveVolumes().size()) != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    if (left) report += "volume table not empty: " + std::to_string(left) + " volumes left\n";
    Send(native, IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES, {}, 0);
    handles.clear();
    return report;
  }

  // Volumes leave the table before their last pieces go: waits a while for
  // the counters to come back.
  static std::string SettleTo(const Counters &before) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string growth;
    for (;;) {
      growth = Counters::Now().GrowthSince(before);
      if (growth.empty() || std::chrono::steady_clock::now() >= deadline) return growth;
      std::this_thread::sleep_for(1ms);
    }
  }

  void RemoveImages() {
    std::error_code ignored;
    for (int i = 0; i < 2; ++i) std::filesystem::remove(ImageHostPath(i), ignored);
  }

  std::string RunSteps(const uint8_t *data, size_t size) {
    size_t at = 0;
    bool faultArmed = false;
    for (size_t step = 0; step < kMaxSteps && size - at >= kStepHeaderBytes; ++step) {
      uint8_t selector = static_cast<uint8_t>(data[at] % kSelectorCount);
      uint8_t flags = data[at + 1];
      uint16_t length, extra;
      std::memcpy(&length, data + at + 2, 2);
      std::memcpy(&extra, data + at + 4, 2);
      at += kStepHeaderBytes;
      size_t take = std::min<size_t>(length, size - at);
      const uint8_t *body = data + at;
      at += take;
      if (selector == kSelectorFault) {
        static constexpr bw::Fault kinds[] = {bw::Fault::PoolAllocation, bw::Fault::PageAllocation,
                                              bw::Fault::Mapping, bw::Fault::FileCall};
        bw::InjectFault(kinds[flags & 3], extra, 1 + ((flags >> 2) & 15));
        faultArmed = true;
        continue;
      }
      if (selector == kSelectorImageWrite) {
        ImageWriteStep(flags, body, take, uint64_t{extra} * 64);
      } else if (selector == kSelectorForeignCode) {
        ForeignStep(flags, std::vector<uint8_t>(body, body + take), extra);
      } else {
        ControlStep(EngineControlCode(ENGINE_FUNCTION_FIRST + selector), flags,
                    std::vector<uint8_t>(body, body + take), extra);
      }
      // A fault lasts for the one step after it.
      if (faultArmed) bw::ClearFaults();
      faultArmed = false;
    }
    bw::ClearFaults();
    std::string report = CleanUp();
    RemoveImages();
    return report;
  }
};

Harness::Harness() : state_(std::make_unique<State>()) {}

Harness::~Harness() {
  if (state_->booted) Stop();
}

bool Harness::Start(const std::string &binDir, std::string *error) {
  State &s = *state_;
  char pattern[] = "/tmp/bw-fuzz-XXXXXX";
  if (!mkdtemp(pattern)) {
    *error = "cannot make a temporary root";
    return false;
  }
  s.root = pattern;
  bw::BootOptions options;
  options.root = s.root;
  NTSTATUS status = bw::KernelBoot(options, error);
  if (!NT_SUCCESS(status)) return false;
  s.booted = true;
  s.boot = Counters::Now();
  for (std::u16string_view service : {std::u16string_view(kEngineService), std::u16string_view(kBusService)}) {
    status = CreateServiceKey(service);
    if (!NT_SUCCESS(status)) {
      *error = "service key: " + bw::StatusText(status);
      return false;
    }
  }
  s.boot = Counters::Now();
  std::string why;
  status = bw::LoadDriver(binDir + "/ramenum.sys", kBusService, &why);
  s.busLoaded = NT_SUCCESS(status);
  // The bus starts on its root device, as setup installs it.
  if (s.busLoaded) {
    status = bw::CreateRootDevice(u"Root\\BWRD", kBusService, nullptr);
    if (NT_SUCCESS(status) && !bw::WaitForPnpIdle()) status = STATUS_TIMEOUT;
  }
  if (s.busLoaded && NT_SUCCESS(status)) {
    status = bw::LoadDriver(binDir + "/ramvol.sys", kEngineService, &why);
    s.engineLoaded = NT_SUCCESS(status);
  }
  if (!NT_SUCCESS(status)) {
    *error = "loading the drivers: " + bw::StatusText(status) + " " + why;
    return false;
  }
  if (!s.OpenClient(&s.native, false, error) || !s.OpenClient(&s.wow64, true, error)) return false;

  // Whatever the kernel sets up on first use (host files, NUMA, the first
  // volume's device names) is in place before the first count.
  std::vector<uint8_t> warmUp;
  auto step = [&warmUp](uint8_t selector, uint8_t flags, const std::vector<uint8_t> &body, uint16_t extra) {
    uint16_t length = static_cast<uint16_t>(body.size());
    warmUp.push_back(selector);
    warmUp.push_back(flags);
    warmUp.insert(warmUp.end(), {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
    warmUp.insert(warmUp.end(), {static_cast<uint8_t>(extra), static_cast<uint8_t>(extra >> 8)});
    warmUp.insert(warmUp.end(), body.begin(), body.end());
  };
  std::vector<uint8_t> createImage(24, 0);
  Store<uint32_t>(createImage, 0, ENGINE_ALGORITHM_XOR);
  Store<uint8_t>(createImage, 4, ENGINE_IMAGE_KIND_VOLUME);
  Store<uint64_t>(createImage, 7, 1u << 20);
  Store<uint8_t>(createImage, 15, 1);
  Store<uint32_t>(createImage, 16, ENGINE_FS_FAT);
  step(0x801 - ENGINE_FUNCTION_FIRST, 0x06, createImage, sizeof(CreateImageReply));
  std::vector<uint8_t> mount(8, 0);
  step(0x802 - ENGINE_FUNCTION_FIRST, 0x06, mount, sizeof(MountResult));
  std::vector<uint8_t> memory(34, 0);
  Store<uint32_t>(memory, 0, ENGINE_ALGORITHM_XOR);
  Store<uint64_t>(memory, 4, 1u << 20);
  Store<uint32_t>(memory, 12, ENGINE_MOUNT_MEMORY);
  Store<uint32_t>(memory, 20, ENGINE_FS_FAT);
  step(0x803 - ENGINE_FUNCTION_FIRST, 0x02, memory, sizeof(MountResult));
  std::vector<uint8_t> save(14, 0);
  step(0x805 - ENGINE_FUNCTION_FIRST, 0x0F, save, 0);
  std::string report = s.RunSteps(warmUp.data(), warmUp.size());
  if (!report.empty()) {
    *error = "warm-up: " + report;
    return false;
  }
  return true;
}

std::string Harness::Run(const uint8_t *data, size_t size) {
  State &s = *state_;
  Counters before = Counters::Now();
  std::string report = s.RunSteps(data, size);
  report += State::SettleTo(before);
  return report;
}

std::string Harness::Stop() {
  State &s = *state_;
  std::string report;
  s.CloseClient(&s.native);
  s.CloseClient(&s.wow64);
  if (s.engineLoaded) {
    NTSTATUS status = bw::UnloadDriver(kEngineService);
    if (!NT_SUCCESS(status)) report += "engine unload: " + bw::StatusText(status) + "\n";
  }
  if (s.busLoaded) {
    NTSTATUS status = bw::UnloadDriver(kBusService);
    if (!NT_SUCCESS(status)) report += "bus unload: " + bw::StatusText(status) + "\n";
  }
  s.engineLoaded = s.busLoaded = false;
  if (s.booted) {
    bw::ClearFaults();
    report += State::SettleTo(s.boot);
    bw::KernelShutdown();
    s.booted = false;
  }
  std::error_code ignored;
  if (!s.root.empty()) std::filesystem::remove_all(s.root, ignored);
  s.root.clear();
  return report;
}

}  // namespace enginefuzz
