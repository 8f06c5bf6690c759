// Automatic-volume records: written by AddAutoVolume, read back by
// GetAutoVolumes, converted from the older layout, and made into volumes
// when the engine starts.
#include "engine/tests/engine_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace enginetest {
namespace {

const std::u16string kAuto =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\RamvolEngine\\Options\\Auto";

struct Key {
  HANDLE handle = nullptr;
  explicit Key(const std::u16string &path, bool create = true) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<char16_t *>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS status = create ? ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr)
                             : ZwOpenKey(&handle, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) handle = nullptr;
  }
  ~Key() {
    if (handle) ZwClose(handle);
  }
  NTSTATUS Set(const char16_t *value, ULONG type, const void *data, ULONG length) {
    UNICODE_STRING name = View(value);
    return ZwSetValueKey(handle, &name, 0, type, const_cast<void *>(data), length);
  }
  // Type and bytes of a value; type REG_NONE with no bytes when absent.
  std::pair<ULONG, std::vector<uint8_t>> Get(const char16_t *value) {
    UNICODE_STRING name = View(value);
    uint8_t buffer[512];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(handle, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    if (!NT_SUCCESS(status)) return {REG_NONE, {}};
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
    return {info->Type, std::vector<uint8_t>(info->Data, info->Data + info->DataLength)};
  }
};

// A record in transfer form.
struct AutoRecord {
  char16_t letter = u'R';
  uint32_t flags = ENGINE_MOUNT_MEMORY;
  uint32_t node = 0;
  uint32_t properties = 0;
  uint64_t size = 8 << 20;
  uint32_t fileSystem = ENGINE_FS_RAW;
  std::string label;
  std::u16string path;
  std::vector<std::u16string> folders;
  uint32_t autoflushFlags = 0;
  uint32_t autoflushPeriod = 0;
  std::u16string additional;
};

std::vector<uint8_t> FoldersBlock(const std::vector<std::u16string> &folders) {
  std::vector<uint8_t> block;
  for (auto &f : folders) {
    uint16_t length = static_cast<uint16_t>(f.size() * 2);
    block.insert(block.end(), reinterpret_cast<uint8_t *>(&length), reinterpret_cast<uint8_t *>(&length) + 2);
    block.insert(block.end(), reinterpret_cast<const uint8_t *>(f.data()),
                 reinterpret_cast<const uint8_t *>(f.data()) + length);
  }
  return block;
}

Record Pack(const AutoRecord &r) {
  std::vector<uint8_t> folders = FoldersBlock(r.folders);
  Record out(95);
  out.Put<uint16_t>(0, r.letter).Put<uint32_t>(2, r.flags).Put<uint32_t>(6, r.node).Put<uint32_t>(10, r.properties);
  out.Put<uint64_t>(14, r.size).Put<uint32_t>(22, r.fileSystem);
  out.Put<uint16_t>(26, static_cast<uint16_t>(r.label.size()));
  out.Put<uint16_t>(28, static_cast<uint16_t>(r.path.size() * 2));
  out.Put<uint32_t>(30, static_cast<uint32_t>(folders.size()));
  out.Put<uint32_t>(34, r.autoflushFlags).Put<uint32_t>(38, r.autoflushPeriod);
  out.Put<uint8_t>(42, static_cast<uint8_t>(r.additional.size()));
  for (size_t i = 0; i < r.additional.size(); ++i) out.Put<uint16_t>(43 + 2 * i, r.additional[i]);
  size_t at = 95;
  for (char c : r.label) out.Put<char>(at++, c);
  for (char16_t c : r.path) {
    out.Put<char16_t>(at, c);
    at += 2;
  }
  for (uint8_t b : folders) out.Put<uint8_t>(at++, b);
  return out;
}

// The records of a GetAutoVolumes reply, as the fields a caller reads.
std::vector<AutoRecord> Unpack(const std::vector<uint8_t> &reply) {
  std::vector<AutoRecord> records;
  uint32_t count;
  std::memcpy(&count, reply.data(), 4);
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    AutoVolumeDataParts parts;
    const VV_AUTO_VOLUME_DATA *head = reinterpret_cast<const VV_AUTO_VOLUME_DATA *>(reply.data() + at);
    uint64_t length = AutoVolumeDataSize(head->VolumeLabelLength, head->ImageFilePathLength, head->InitialFoldersLength);
    EXPECT_EQ(ENGINE_PARSE_OK, AutoVolumeDataParse(reply.data() + at, length, &parts));
    at += length;
    AutoRecord r;
    r.letter = parts.Head.DriveLetter;
    r.flags = parts.Head.MountFlags;
    r.node = parts.Head.NumaNodeIndex;
    r.properties = parts.Head.Properties;
    r.size = parts.Head.VolumeSize;
    r.fileSystem = parts.Head.FileSystem;
    r.autoflushFlags = parts.Head.AutoflushFlags;
    r.autoflushPeriod = parts.Head.AutoflushPeriod;
    r.label.assign(static_cast<const char *>(parts.VolumeLabel.Data), parts.VolumeLabel.Length);
    r.path.resize(parts.ImageFilePath.Length / 2);
    std::memcpy(r.path.data(), parts.ImageFilePath.Data, parts.ImageFilePath.Length);
    InitialFolderIterator it;
    InitialFoldersBegin(&it, parts.InitialFolders);
    EngineBytes folder;
    while (InitialFoldersNext(&it, &folder) == ENGINE_PARSE_OK) {
      std::u16string text(folder.Length / 2, u'\0');
      std::memcpy(text.data(), folder.Data, folder.Length);
      r.folders.push_back(text);
    }
    for (int l = 0; l < parts.Head.AdditionalLetterCount; ++l) r.additional += char16_t(parts.Head.AdditionalLetters[l]);
    records.push_back(r);
  }
  EXPECT_EQ(at, reply.size());
  return records;
}

class AutoVolumeRecords : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(1));
  }
  NTSTATUS Add(const AutoRecord &r) { return Control(IOCTL_ENGINE_ADD_AUTO_VOLUME, Pack(r), 0).status; }
  std::vector<AutoRecord> List(NTSTATUS expected = STATUS_SUCCESS) {
    bw::IoResult probe = Control(IOCTL_ENGINE_GET_AUTO_VOLUMES, nullptr, 0, 0);
    EXPECT_STATUS(expected, probe.status);
    if (!NT_SUCCESS(probe.status)) return {};
    bw::IoResult small = Control(IOCTL_ENGINE_GET_AUTO_VOLUMES, nullptr, 0, static_cast<ULONG>(probe.information - 1));
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, small.status);
    bw::IoResult list = Control(IOCTL_ENGINE_GET_AUTO_VOLUMES, nullptr, 0, static_cast<ULONG>(probe.information));
    EXPECT_STATUS(STATUS_SUCCESS, list.status);
    EXPECT_EQ(probe.information, list.information);
    list.output.resize(list.information);
    return Unpack(list.output);
  }
  // The engine started again, as at the next boot.
  void Restart() {
    if (control_ && process_) process_->Close(control_);
    control_ = nullptr;
    thread_.reset();
    process_->Terminate();
    process_.reset();
    ASSERT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(kEngineService));
    engineLoaded_ = false;
    ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());
    // A process created now waits until the stores of the volumes exist.
    process_ = NewProcess();
    thread_ = process_->CreateThread(2);
    control_ = OpenControl(*process_, *thread_);
  }
  std::vector<uint64_t> Volumes() {
    bw::IoResult probe = Control(IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, 0);
    bw::IoResult list = Control(IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, static_cast<ULONG>(probe.information));
    std::vector<uint64_t> handles(list.information / 8);
    if (!handles.empty()) std::memcpy(handles.data(), list.output.data(), handles.size() * 8);
    return handles;
  }
  VolumeInfoReply Query(uint64_t handle) {
    Record request(8);
    request.Put<uint64_t>(0, handle);
    bw::IoResult reply = Control(IOCTL_ENGINE_QUERY_VOLUME, request, sizeof(VolumeInfoReply));
    EXPECT_STATUS(STATUS_SUCCESS, reply.status);
    VolumeInfoReply info{};
    std::memcpy(&info, reply.output.data(), std::min(reply.output.size(), sizeof(info)));
    return info;
  }
};

TEST_F(AutoVolumeRecords, WrittenAndReadBackWithEveryField) {
  AutoRecord r;
  r.letter = u'd';
  r.flags = ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_COMPRESS;
  r.node = 1;
  r.properties = 1;
  r.size = 64ull << 30;
  r.fileSystem = ENGINE_FS_NTFS;
  r.label = "Scratch";
  r.path = u"\\??\\C:\\images\\d.img";
  r.folders = {u"\\Temp", u"\\Build"};
  r.autoflushFlags = 1;
  r.autoflushPeriod = 600;
  r.additional = u"ef";
  ASSERT_STATUS(STATUS_SUCCESS, Add(r));
  AutoRecord plain;
  plain.letter = u'Q';
  ASSERT_STATUS(STATUS_SUCCESS, Add(plain));

  // The values have their registry types, the letters upper case.
  Key key(kAuto + u"\\D:", false);
  ASSERT_NE(nullptr, key.handle);
  EXPECT_EQ(ULONG{REG_DWORD}, key.Get(u"MountFlags").first);
  EXPECT_EQ(ULONG{REG_QWORD}, key.Get(u"VolumeSize").first);
  EXPECT_EQ(ULONG{REG_BINARY}, key.Get(u"VolumeLabel").first);
  EXPECT_EQ(ULONG{REG_SZ}, key.Get(u"ImageFilePath").first);
  EXPECT_EQ(ULONG{REG_BINARY}, key.Get(u"InitialFolders").first);
  auto letters = key.Get(u"AdditionalLetters");
  EXPECT_EQ(ULONG{REG_SZ}, letters.first);
  EXPECT_EQ((std::vector<uint8_t>{'E', 0, 'F', 0}), letters.second);
  Key plainKey(kAuto + u"\\Q:", false);
  EXPECT_EQ(ULONG{REG_NONE}, plainKey.Get(u"ImageFilePath").first);
  EXPECT_EQ(ULONG{REG_NONE}, plainKey.Get(u"AdditionalLetters").first);

  std::vector<AutoRecord> records = List();
  ASSERT_EQ(2u, records.size());
  const AutoRecord &d = records[0].letter == u'D' ? records[0] : records[1];
  EXPECT_EQ(u'D', d.letter);
  EXPECT_EQ(r.flags, d.flags);
  EXPECT_EQ(r.node, d.node);
  EXPECT_EQ(r.properties, d.properties);
  EXPECT_EQ(r.size, d.size);
  EXPECT_EQ(r.fileSystem, d.fileSystem);
  EXPECT_EQ(r.label, d.label);
  EXPECT_EQ(r.path, d.path);
  EXPECT_EQ(r.folders, d.folders);
  EXPECT_EQ(r.autoflushFlags, d.autoflushFlags);
  EXPECT_EQ(r.autoflushPeriod, d.autoflushPeriod);
  EXPECT_EQ(u"EF", d.additional);

  // Adding the letter again replaces the record whole: no value of the old one stays.
  AutoRecord again;
  again.letter = u'D';
  ASSERT_STATUS(STATUS_SUCCESS, Add(again));
  Key replaced(kAuto + u"\\D:", false);
  EXPECT_EQ(ULONG{REG_NONE}, replaced.Get(u"VolumeLabel").first);
  EXPECT_EQ(ULONG{REG_NONE}, replaced.Get(u"AdditionalLetters").first);
  EXPECT_EQ(2u, List().size());
}

// Values written by hand: other string types are read too; a required
// value missing or of the wrong type or size fails the whole list.
TEST_F(AutoVolumeRecords, HandWrittenValuesAndBrokenSubkeys) {
  {
    Key key(kAuto + u"\\S:");
    uint32_t dword = ENGINE_MOUNT_MEMORY, zero = 0;
    uint64_t size = 1 << 20;
    ASSERT_STATUS(STATUS_SUCCESS, key.Set(u"MountFlags", REG_DWORD, &dword, 4));
    key.Set(u"NumaNodeIndex", REG_DWORD, &zero, 4);
    key.Set(u"Properties", REG_DWORD, &zero, 4);
    key.Set(u"FileSystem", REG_DWORD, &zero, 4);
    key.Set(u"VolumeSize", REG_QWORD, &size, 8);
    const char16_t label[] = u"Wide";  // with its terminator
    key.Set(u"VolumeLabel", REG_SZ, label, sizeof(label));
    const char16_t path[] = u"%SystemRoot%\\s.img";
    key.Set(u"ImageFilePath", REG_EXPAND_SZ, path, sizeof(path));
  }
  std::vector<AutoRecord> records = List();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("Wide", records[0].label);
  EXPECT_EQ(u"%SystemRoot%\\s.img", records[0].path);
  EXPECT_EQ(0u, records[0].autoflushPeriod);

  Key key(kAuto + u"\\S:", false);
  uint32_t small = 5;
  ASSERT_STATUS(STATUS_SUCCESS, key.Set(u"VolumeSize", REG_DWORD, &small, 4));
  List(STATUS_OBJECT_TYPE_MISMATCH);
  uint64_t wide = 5;
  ASSERT_STATUS(STATUS_SUCCESS, key.Set(u"FileSystem", REG_DWORD, &wide, 8));
  uint64_t size = 1 << 20;
  ASSERT_STATUS(STATUS_SUCCESS, key.Set(u"VolumeSize", REG_QWORD, &size, 8));
  List(STATUS_INVALID_BUFFER_SIZE);
  UNICODE_STRING name = View(u"FileSystem");
  ASSERT_STATUS(STATUS_SUCCESS, ZwDeleteValueKey(key.handle, &name));
  List(STATUS_OBJECT_NAME_NOT_FOUND);
}

// Old entries become subkeys at start; malformed ones are dropped, and an
// entry that cannot be written yet stays.
TEST_F(AutoVolumeRecords, OlderLayoutConvertedAtStart) {
  auto legacy = [](char16_t letter, uint32_t flags, uint64_t size, uint32_t fs, std::string label,
                   std::u16string path) {
    Record r(26);
    r.Put<uint16_t>(0, letter).Put<uint32_t>(2, flags).Put<uint32_t>(6, 1).Put<uint64_t>(10, size);
    r.Put<uint32_t>(18, fs).Put<uint16_t>(22, static_cast<uint16_t>(label.size()));
    r.Put<uint16_t>(24, static_cast<uint16_t>(path.size() * 2));
    size_t at = 26;
    for (char c : label) r.Put<char>(at++, c);
    for (char16_t c : path) {
      r.Put<char16_t>(at, c);
      at += 2;
    }
    return r;
  };
  {
    Key autoKey(kAuto, false);
    ASSERT_NE(nullptr, autoKey.handle);
    Record good = legacy(u'k', ENGINE_MOUNT_MEMORY, 4 << 20, ENGINE_FS_FAT, "OLD", u"\\??\\C:\\k.img");
    ASSERT_STATUS(STATUS_SUCCESS, autoKey.Set(u"K:", REG_BINARY, good.Bytes().data(), good.Size()));
    Record noSize = legacy(u'L', ENGINE_MOUNT_MEMORY, 0, 0, "", u"");
    autoKey.Set(u"L:", REG_BINARY, noSize.Bytes().data(), noSize.Size());
    Record shortBy1 = legacy(u'M', ENGINE_MOUNT_MEMORY, 1 << 20, 0, "AB", u"");
    autoKey.Set(u"M:", REG_BINARY, shortBy1.Bytes().data(), shortBy1.Size() - 1);
    // Well formed, but a direct mount without image: the engine cannot take it.
    Record direct = legacy(u'N', 0, 1 << 20, 0, "", u"");
    autoKey.Set(u"N:", REG_BINARY, direct.Bytes().data(), direct.Size());
  }
  ASSERT_NO_FATAL_FAILURE(Restart());
  Key autoKey(kAuto, false);
  EXPECT_EQ(ULONG{REG_NONE}, autoKey.Get(u"K:").first);
  EXPECT_EQ(ULONG{REG_NONE}, autoKey.Get(u"L:").first);
  EXPECT_EQ(ULONG{REG_NONE}, autoKey.Get(u"M:").first);
  EXPECT_EQ(ULONG{REG_BINARY}, autoKey.Get(u"N:").first);
  std::vector<AutoRecord> records = List();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(u'K', records[0].letter);
  EXPECT_EQ(uint32_t{ENGINE_MOUNT_MEMORY}, records[0].flags);
  EXPECT_EQ(1u, records[0].properties);
  EXPECT_EQ(uint64_t{4 << 20}, records[0].size);
  EXPECT_EQ("OLD", records[0].label);
  EXPECT_EQ(u"\\??\\C:\\k.img", records[0].path);
}

// At start every record with a store it can make becomes a volume: a
// missing image skips only its own record.
TEST_F(AutoVolumeRecords, VolumesMadeAtStart) {
  AutoRecord raw;
  raw.letter = u'T';
  raw.size = 6 << 20;
  raw.properties = 1;
  ASSERT_STATUS(STATUS_SUCCESS, Add(raw));
  AutoRecord missing;
  missing.letter = u'U';
  missing.path = u"\\??\\C:\\nowhere\\u.img";
  ASSERT_STATUS(STATUS_SUCCESS, Add(missing));
  ASSERT_NO_FATAL_FAILURE(Restart());
  std::vector<uint64_t> volumes;
  for (int i = 0; i < 500 && volumes.empty(); ++i) {
    volumes = Volumes();
    if (volumes.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(1u, volumes.size());
  // The volume is listed once made; its properties follow a moment later.
  VolumeInfoReply info = Query(volumes[0]);
  for (int i = 0; i < 500 && info.Properties != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    info = Query(volumes[0]);
  }
  EXPECT_EQ(uint64_t{6 << 20}, uint64_t{info.VolumeSize});
  EXPECT_EQ(1u, uint32_t{info.Properties});
  // The records stay for the next start.
  EXPECT_EQ(2u, List().size());
}

// A broken record skips every automatic volume of that start, and the
// engine runs all the same.
TEST_F(AutoVolumeRecords, BrokenRecordSkipsAllAtStart) {
  AutoRecord good;
  good.letter = u'V';
  ASSERT_STATUS(STATUS_SUCCESS, Add(good));
  Key(kAuto + u"\\W:");  // no values at all
  ASSERT_NO_FATAL_FAILURE(Restart());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Volumes().empty());
  List(STATUS_OBJECT_NAME_NOT_FOUND);
}


// While the stores are being made every new process waits in its creation:
// here a disk-emulated record waits for the bus's interface, switched off
// for the test, and the process goes on once the interface is back.
TEST_F(AutoVolumeRecords, ProcessesWaitUntilTheStoresExist) {
  AutoRecord disk;
  disk.letter = u'E';
  disk.flags = ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_DISK_EMULATION;
  ASSERT_STATUS(STATUS_SUCCESS, Add(disk));
  AutoRecord plain;
  plain.letter = u'F';
  ASSERT_STATUS(STATUS_SUCCESS, Add(plain));
  process_->Close(control_);
  control_ = nullptr;
  thread_.reset();
  process_->Terminate();
  process_.reset();
  ASSERT_STATUS(STATUS_SUCCESS, bw::UnloadDriver(kEngineService));
  engineLoaded_ = false;
  const GUID busInterface = {0x410BD25B, 0x6960, 0x4D94, {0xA1, 0x60, 0xDF, 0xBC, 0x95, 0x99, 0xC5, 0x06}};
  PWSTR links = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceInterfaces(&busInterface, nullptr, 0, &links));
  ASSERT_TRUE(links && links[0]);
  std::u16string link(reinterpret_cast<const char16_t *>(links));
  ExFreePool(links);
  UNICODE_STRING linkName = View(link.c_str());
  ASSERT_STATUS(STATUS_SUCCESS, IoSetDeviceInterfaceState(&linkName, FALSE));
  ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());

  // The hold begins in the engine's work item, which a loaded machine may
  // start a little after the load: a process made before it goes on, and
  // the next one is tried, until one is held.
  std::atomic<bool> created{false};
  std::thread starter;
  bool held = false;
  for (int attempt = 0; attempt < 50 && !held; ++attempt) {
    created = false;
    starter = std::thread([&] {
      process_ = NewProcess();
      created = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held = !created.load();
    if (held) break;
    starter.join();
    process_->Terminate();
    process_.reset();
  }
  EXPECT_TRUE(held) << "no process waited for the stores";
  // Still held a while later: the disk's store waits for the bus.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(created.load());
  ASSERT_STATUS(STATUS_SUCCESS, IoSetDeviceInterfaceState(&linkName, TRUE));
  if (starter.joinable()) starter.join();
  ASSERT_TRUE(process_);
  thread_ = process_->CreateThread(2);
  control_ = OpenControl(*process_, *thread_);
  std::vector<uint64_t> volumes;
  for (int i = 0; i < 500 && volumes.empty(); ++i) {
    volumes = Volumes();
    if (volumes.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Both records became volumes: the disk too, once its bus was there.
  for (int i = 0; i < 500 && volumes.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    volumes = Volumes();
  }
  EXPECT_EQ(2u, volumes.size());
}

}  // namespace
}  // namespace enginetest
