// Length and field checks of every control request, sent from a user
// process over the control device, with lengths around what each needs.
#include "engine/tests/engine_fixture.h"

#include <cstdio>
#include <optional>

namespace enginetest {
namespace {

constexpr uint64_t kUnknownHandle = 0x00007F5A12345678ull;
constexpr char16_t kMissingImage[] = u"\\??\\Z:\\nonexistent-bw-folder\\image.img";

// The bytes of a UTF-16 string without terminator.
std::vector<uint8_t> Utf16(const char16_t *text) {
  std::u16string s(text);
  std::vector<uint8_t> bytes(s.size() * 2);
  std::memcpy(bytes.data(), s.data(), bytes.size());
  return bytes;
}

Record &Append(Record &record, size_t offset, const std::vector<uint8_t> &bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) record.Put<uint8_t>(offset + i, bytes[i]);
  return record;
}

Record HandleRecord(uint64_t handle, size_t size) { return Record(size).Put<uint64_t>(0, handle).Resize(size); }

Record CreateImage(uint32_t algorithm, uint16_t path, uint16_t password, uint16_t label, uint8_t overwrite,
                   std::optional<size_t> total = {}) {
  Record r(24);
  r.Put<uint32_t>(0, algorithm).Put<uint8_t>(4, 1).Put<uint16_t>(5, password).Put<uint64_t>(7, 1 << 20);
  r.Put<uint8_t>(15, overwrite).Put<uint32_t>(16, 1).Put<uint16_t>(20, label).Put<uint16_t>(22, path);
  return r.Resize(total.value_or(24u + path + password + label));
}

Record CreateImageAt(const char16_t *path, uint32_t algorithm, uint8_t overwrite) {
  auto bytes = Utf16(path);
  Record r = CreateImage(algorithm, static_cast<uint16_t>(bytes.size()), 0, 0, overwrite);
  return Append(r, 24, bytes);
}

Record MountImage(uint32_t flags, uint16_t path, uint16_t password, std::optional<size_t> total = {}) {
  Record r(8);
  r.Put<uint32_t>(0, flags).Put<uint16_t>(4, password).Put<uint16_t>(6, path);
  return r.Resize(total.value_or(10u + path + password));
}

Record CreateMemory(uint32_t algorithm, uint32_t flags, uint16_t path, uint16_t password, uint16_t label,
                    std::optional<size_t> total = {}) {
  Record r(34);
  r.Put<uint32_t>(0, algorithm).Put<uint64_t>(4, 64ull << 20).Put<uint32_t>(12, flags).Put<uint32_t>(20, 2);
  r.Put<uint16_t>(28, label).Put<uint16_t>(30, password).Put<uint16_t>(32, path);
  return r.Resize(total.value_or(36u + path + password + label));
}

Record SaveImage(uint64_t handle, uint16_t path, std::optional<size_t> total = {}) {
  Record r(14);
  r.Put<uint64_t>(0, handle).Put<uint32_t>(8, 3).Put<uint16_t>(12, path);
  return r.Resize(total.value_or(16u + path));
}

Record Link(uint32_t operation, uint64_t handle, size_t size = 80) {
  Record r(80);
  r.Put<uint16_t>(0, operation == 1 ? u'R' : 0).Put<uint64_t>(2, 0x3E7).Put<uint32_t>(11, operation);
  r.Put<uint64_t>(15, handle).Put<int32_t>(23, -1);
  return r.Resize(size);
}

Record Properties(uint64_t handle, size_t size = 16) {
  return Record(16).Put<uint64_t>(0, handle).Put<uint32_t>(8, 1).Put<uint32_t>(12, 0).Resize(size);
}

struct AutoVolume {
  uint16_t letter = u'D';
  uint32_t flags = 0x8;
  uint32_t fileSystem = 2;
  uint16_t label = 0;
  uint16_t path = 0;
  uint32_t folders = 0;
  uint8_t count = 0;
  uint16_t firstAdditional = u'E';
  std::optional<size_t> total;
};

Record AddAutoVolume(const AutoVolume &v) {
  Record r(95);
  r.Put<uint16_t>(0, v.letter).Put<uint32_t>(2, v.flags).Put<uint64_t>(14, 32ull << 20);
  r.Put<uint32_t>(22, v.fileSystem).Put<uint16_t>(26, v.label).Put<uint16_t>(28, v.path);
  r.Put<uint32_t>(30, v.folders).Put<uint8_t>(42, v.count);
  for (uint8_t i = 0; i < v.count && i < 26; ++i) r.Put<uint16_t>(43 + 2 * i, i == 0 ? v.firstAdditional : u'F' + i);
  return r.Resize(v.total.value_or(95u + v.label + v.path + v.folders));
}

Record Format(uint64_t handle, uint16_t label, std::optional<size_t> total = {}) {
  Record r(22);
  r.Put<uint32_t>(0, 0).Put<uint64_t>(4, handle).Put<uint32_t>(12, 1).Put<uint16_t>(16, label).Put<int32_t>(18, -1);
  return r.Resize(total.value_or(22u + label));
}

struct Case {
  std::string name;
  ULONG code;
  Record input;
  ULONG output;
  NTSTATUS status;
  uint64_t information = 0;
  // For the requests that answer with a MountResult.
  std::optional<NTSTATUS> resultStatus = {};
  uint32_t imageStatus = 0;
  bool created = false;  // the reply names a new volume
};

// Parameters print as their names, so that test lists stay readable.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

// The test name: the request and its input, then what the engine answers
// ("CreateMemoryVolume_Input35Bytes_InvalidBufferSize"), or what the reply
// carries for the requests that answer with a MountResult.
std::string TestName(const ::testing::TestParamInfo<Case> &info) {
  const Case &c = info.param;
  if (c.resultStatus) return c.name + "_Replies" + bw::test::StatusWords(*c.resultStatus);
  return c.name + "_" + bw::test::StatusWords(c.status);
}

std::string Hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

Case Fails(std::string name, ULONG code, Record input, ULONG output, NTSTATUS status) {
  return Case{std::move(name), code, std::move(input), output, status};
}

Case Mount(std::string name, ULONG code, Record input, NTSTATUS result, uint32_t imageStatus) {
  return Case{std::move(name), code, std::move(input), 16, STATUS_SUCCESS, 16, result, imageStatus};
}

std::vector<Case> Cases() {
  const NTSTATUS size = STATUS_INVALID_BUFFER_SIZE, small = STATUS_BUFFER_TOO_SMALL,
                 user = STATUS_INVALID_USER_BUFFER, param = STATUS_INVALID_PARAMETER,
                 handle = STATUS_INVALID_HANDLE;
  std::vector<Case> c;

  // CreateImage: in < 24, out != 4, lengths, path, algorithm.
  c.push_back(Fails("CreateImage_Input23Bytes", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 0, 0, 0, 0, 23), 4, size));
  c.push_back(Fails("CreateImage_Input0Bytes", IOCTL_ENGINE_CREATE_IMAGE, Record(), 4, size));
  c.push_back(Fails("CreateImage_Output3Bytes", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 0, 0, 0, 0), 3, small));
  c.push_back(Fails("CreateImage_Output5Bytes", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 0, 0, 0, 0), 5, small));
  c.push_back(Fails("CreateImage_Output0Bytes", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 0, 0, 0, 0), 0, small));
  c.push_back(Fails("CreateImage_LengthsOneBelow", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 4, 2, 2, 0, 31), 4, size));
  c.push_back(Fails("CreateImage_LengthsOneAbove", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 4, 2, 2, 0, 33), 4, size));
  c.push_back(Fails("CreateImage_NoPath", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 0, 4, 0, 0), 4,
                    STATUS_OBJECT_PATH_SYNTAX_BAD));
  c.push_back(Fails("CreateImage_OneBytePath", IOCTL_ENGINE_CREATE_IMAGE, CreateImage(1, 1, 0, 0, 0), 4,
                    STATUS_OBJECT_PATH_SYNTAX_BAD));
  c.push_back(Fails("CreateImage_AlgorithmZero", IOCTL_ENGINE_CREATE_IMAGE, CreateImageAt(kMissingImage, 0, 0), 4,
                    param));
  c.push_back(Fails("CreateImage_MissingFolder", IOCTL_ENGINE_CREATE_IMAGE, CreateImageAt(kMissingImage, 1, 1), 4,
                    STATUS_OBJECT_PATH_NOT_FOUND));

  // MountImage: out != 16 or in < 10, then lengths and the memory flag.
  c.push_back(Fails("MountImage_Output15Bytes", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 4, 0), 15, size));
  c.push_back(Fails("MountImage_Output17Bytes", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 4, 0), 17, size));
  c.push_back(Fails("MountImage_Input9Bytes", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 0, 0, 9), 16, size));
  c.push_back(Fails("MountImage_Input0Bytes", IOCTL_ENGINE_MOUNT_IMAGE, Record(), 16, size));
  c.push_back(Fails("MountImage_LengthsOneBelow", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 4, 2, 15), 16, param));
  c.push_back(Fails("MountImage_LengthsOneAbove", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 4, 2, 17), 16, param));
  c.push_back(Fails("MountImage_MemoryFlag", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0x8, 4, 0), 16, param));
  c.push_back(Mount("MountImage_NoPath", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 0, 0), STATUS_OBJECT_PATH_SYNTAX_BAD, 7));
  c.push_back(Mount("MountImage_OneBytePath", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 1, 0),
                    STATUS_OBJECT_PATH_SYNTAX_BAD, 7));
  // A path of four NUL characters names nothing that can be opened.
  c.push_back(Mount("MountImage_PathNamesNothing", IOCTL_ENGINE_MOUNT_IMAGE, MountImage(0, 8, 4),
                    STATUS_OBJECT_PATH_SYNTAX_BAD, 10));

  // CreateMemoryVolume: out != 16 or in < 36, then lengths and the memory flag.
  c.push_back(Fails("CreateMemoryVolume_Output15Bytes", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 0, 0, 0), 15, size));
  c.push_back(Fails("CreateMemoryVolume_Output17Bytes", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 0, 0, 0), 17, size));
  c.push_back(Fails("CreateMemoryVolume_Input35Bytes", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 0, 0, 0, 35), 16, size));
  c.push_back(Fails("CreateMemoryVolume_Input37Bytes", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 0, 0, 0, 37), 16, user));
  c.push_back(Fails("CreateMemoryVolume_LengthsOneBelow", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 4, 2, 3, 44),
                    16, user));
  c.push_back(Fails("CreateMemoryVolume_LengthsOneAbove", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 4, 2, 3, 46),
                    16, user));
  c.push_back(Fails("CreateMemoryVolume_NoMemoryFlag", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 0, 0, 0, 0), 16, param));
  c.push_back(Mount("CreateMemoryVolume_OneBytePath", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 1, 0, 0),
                    STATUS_OBJECT_PATH_SYNTAX_BAD, 7));
  c.push_back(Mount("CreateMemoryVolume_NoAlgorithm", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(0, 8, 0, 0, 0), param, 10));
  Case raw = Mount("CreateMemoryVolume_RawNeedsNoAlgorithm", IOCTL_ENGINE_CREATE_MEMORY_VOLUME,
                   CreateMemory(0, 8 | 0x20, 0, 0, 0), STATUS_SUCCESS, 0);
  raw.created = true;
  c.push_back(raw);
  // A label of five NUL characters formats as FAT32 all the same.
  Case labelled = Mount("CreateMemoryVolume_KeyAndLabel", IOCTL_ENGINE_CREATE_MEMORY_VOLUME, CreateMemory(1, 8, 0, 4, 5),
                        STATUS_SUCCESS, 0);
  labelled.created = true;
  c.push_back(labelled);

  // Unmount: exactly 10 bytes, then the handle.
  c.push_back(Fails("Unmount_Input9Bytes", IOCTL_ENGINE_UNMOUNT, HandleRecord(kUnknownHandle, 9), 0, size));
  c.push_back(Fails("Unmount_Input11Bytes", IOCTL_ENGINE_UNMOUNT, HandleRecord(kUnknownHandle, 11), 0, size));
  c.push_back(Fails("Unmount_Input0Bytes", IOCTL_ENGINE_UNMOUNT, Record(), 0, size));
  c.push_back(Fails("Unmount_UnknownHandle", IOCTL_ENGINE_UNMOUNT, HandleRecord(kUnknownHandle, 10), 0, handle));
  c.push_back(Fails("Unmount_HandleZero", IOCTL_ENGINE_UNMOUNT, HandleRecord(0, 10), 0, handle));

  // SaveImage: 16 + path, path of one byte, handle.
  c.push_back(Fails("SaveImage_Input15Bytes", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 0, 15), 0, size));
  c.push_back(Fails("SaveImage_Input17Bytes", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 0, 17), 0, size));
  c.push_back(Fails("SaveImage_PathOneBelow", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 8, 23), 0, size));
  c.push_back(Fails("SaveImage_PathOneAbove", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 8, 25), 0, size));
  c.push_back(Fails("SaveImage_OneBytePath", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 1), 0,
                    STATUS_OBJECT_PATH_SYNTAX_BAD));
  c.push_back(Fails("SaveImage_UnknownHandle", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 0), 0, handle));
  c.push_back(Fails("SaveImage_UnknownHandleWithPath", IOCTL_ENGINE_SAVE_IMAGE, SaveImage(kUnknownHandle, 8), 0, handle));

  // GetDeviceName and GetImageFilePath: exactly 8 bytes, then the handle.
  for (auto [name, code] : {std::pair{"GetDeviceName", IOCTL_ENGINE_GET_DEVICE_NAME},
                            std::pair{"GetImageFilePath", IOCTL_ENGINE_GET_IMAGE_PATH}}) {
    std::string n = name;
    c.push_back(Fails(n + "_Input7Bytes", code, HandleRecord(kUnknownHandle, 7), 0, size));
    c.push_back(Fails(n + "_Input9Bytes", code, HandleRecord(kUnknownHandle, 9), 64, size));
    c.push_back(Fails(n + "_Input0Bytes", code, Record(), 64, size));
    c.push_back(Fails(n + "_ProbeUnknownHandle", code, HandleRecord(kUnknownHandle, 8), 0, handle));
    c.push_back(Fails(n + "_UnknownHandle", code, HandleRecord(kUnknownHandle, 8), 64, handle));
  }

  // RegisterNotification from a 64-bit process: exactly 16 bytes.
  c.push_back(Fails("RegisterNotification_Input8Bytes", IOCTL_ENGINE_REGISTER_NOTIFY, Record(8).Put<uint32_t>(0, 4), 0, size));
  c.push_back(Fails("RegisterNotification_Input15Bytes", IOCTL_ENGINE_REGISTER_NOTIFY, Record(15), 0, size));
  c.push_back(Fails("RegisterNotification_Input17Bytes", IOCTL_ENGINE_REGISTER_NOTIFY, Record(17), 0, size));
  c.push_back(Fails("RegisterNotification_Input0Bytes", IOCTL_ENGINE_REGISTER_NOTIFY, Record(), 0, size));
  c.push_back(Fails("RegisterNotification_ThreadZero", IOCTL_ENGINE_REGISTER_NOTIFY, Record(16).Put<uint64_t>(8, 0x1000), 0, param));
  c.push_back(Fails("RegisterNotification_BadThreadHandle", IOCTL_ENGINE_REGISTER_NOTIFY,
                    Record(16).Put<uint64_t>(0, 0x7FF0).Put<uint64_t>(8, 0x1000), 0, handle));

  // QueryVolumeInformation: in exactly 8, out exactly 100.
  c.push_back(Fails("QueryVolumeInformation_Input7Bytes", IOCTL_ENGINE_QUERY_VOLUME, HandleRecord(kUnknownHandle, 7), 100, size));
  c.push_back(Fails("QueryVolumeInformation_Input9Bytes", IOCTL_ENGINE_QUERY_VOLUME, HandleRecord(kUnknownHandle, 9), 100, size));
  c.push_back(Fails("QueryVolumeInformation_Input0Bytes", IOCTL_ENGINE_QUERY_VOLUME, Record(), 100, size));
  c.push_back(Fails("QueryVolumeInformation_Output99Bytes", IOCTL_ENGINE_QUERY_VOLUME, HandleRecord(kUnknownHandle, 8), 99, small));
  c.push_back(Fails("QueryVolumeInformation_Output101Bytes", IOCTL_ENGINE_QUERY_VOLUME, HandleRecord(kUnknownHandle, 8), 101, small));
  c.push_back(Fails("QueryVolumeInformation_Output0Bytes", IOCTL_ENGINE_QUERY_VOLUME, HandleRecord(kUnknownHandle, 8), 0, small));
  c.push_back(Fails("QueryVolumeInformation_UnknownHandle", IOCTL_ENGINE_QUERY_VOLUME, HandleRecord(kUnknownHandle, 8), 100, handle));

  // ListVolumes without volumes: the probe and the read both give nothing.
  c.push_back(Fails("ListVolumes_Probe", IOCTL_ENGINE_LIST_VOLUMES, Record(), 0, STATUS_SUCCESS));
  c.push_back(Fails("ListVolumes_Read", IOCTL_ENGINE_LIST_VOLUMES, Record(), 8, STATUS_SUCCESS));
  c.push_back(Fails("ListVolumes_InputIgnored", IOCTL_ENGINE_LIST_VOLUMES, Record(5), 0, STATUS_SUCCESS));

  // Link: exactly 80 bytes; the handle must be live unless the operation is 3.
  c.push_back(Fails("Link_Input79Bytes", IOCTL_ENGINE_LINK, Link(3, 0, 79), 0, size));
  c.push_back(Fails("Link_Input81Bytes", IOCTL_ENGINE_LINK, Link(3, 0, 81), 0, size));
  c.push_back(Fails("Link_Input0Bytes", IOCTL_ENGINE_LINK, Record(), 0, size));
  c.push_back(Fails("Link_AssignWithoutHandle", IOCTL_ENGINE_LINK, Link(1, 0), 0, handle));
  c.push_back(Fails("Link_RemoveWithoutHandle", IOCTL_ENGINE_LINK, Link(2, 0), 0, handle));
  c.push_back(Fails("Link_BadOperationWithoutHandle", IOCTL_ENGINE_LINK, Link(7, 0), 0, handle));
  c.push_back(Fails("Link_AssignUnknownHandle", IOCTL_ENGINE_LINK, Link(1, kUnknownHandle), 0, handle));
  c.push_back(Fails("Link_DropSessionUnknownHandle", IOCTL_ENGINE_LINK, Link(3, kUnknownHandle), 0, handle));
  c.push_back(Fails("Link_DropSession", IOCTL_ENGINE_LINK, Link(3, 0), 0, STATUS_SUCCESS));

  // SetProperties and SetFlushState: exactly 16 bytes, then the handle.
  for (auto [name, code] : {std::pair{"SetProperties", IOCTL_ENGINE_SET_PROPERTIES},
                            std::pair{"SetFlushState", IOCTL_ENGINE_SET_FLUSH_STATE}}) {
    std::string n = name;
    c.push_back(Fails(n + "_Input15Bytes", code, Properties(kUnknownHandle, 15), 0, size));
    c.push_back(Fails(n + "_Input17Bytes", code, Properties(kUnknownHandle, 17), 0, size));
    c.push_back(Fails(n + "_Input0Bytes", code, Record(), 0, size));
    c.push_back(Fails(n + "_UnknownHandle", code, Properties(kUnknownHandle), 0, handle));
  }

  // AddAutoVolume: 95 + strings, then the fields.
  c.push_back(Fails("AddAutoVolume_Input94Bytes", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.total = 94}), 0, size));
  c.push_back(Fails("AddAutoVolume_Input96Bytes", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.total = 96}), 0, size));
  c.push_back(Fails("AddAutoVolume_Input0Bytes", IOCTL_ENGINE_ADD_AUTO_VOLUME, Record(), 0, size));
  c.push_back(Fails("AddAutoVolume_StringsOneBelow", IOCTL_ENGINE_ADD_AUTO_VOLUME,
                    AddAutoVolume({.label = 4, .path = 40, .folders = 18, .total = 156}), 0, size));
  c.push_back(Fails("AddAutoVolume_StringsOneAbove", IOCTL_ENGINE_ADD_AUTO_VOLUME,
                    AddAutoVolume({.label = 4, .path = 40, .folders = 18, .total = 158}), 0, size));
  c.push_back(Fails("AddAutoVolume_DigitLetter", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.letter = u'1'}), 0, param));
  c.push_back(Fails("AddAutoVolume_DirectMountWithoutImage", IOCTL_ENGINE_ADD_AUTO_VOLUME,
                    AddAutoVolume({.letter = u'd', .flags = 0}), 0, param));
  c.push_back(Fails("AddAutoVolume_FileSystem4", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.fileSystem = 4}), 0, param));
  c.push_back(Fails("AddAutoVolume_OddFolders", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.folders = 3}), 0, param));
  c.push_back(Fails("AddAutoVolume_27Letters", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.count = 27}), 0, param));
  c.push_back(Fails("AddAutoVolume_OddPath", IOCTL_ENGINE_ADD_AUTO_VOLUME, AddAutoVolume({.path = 3}), 0,
                    STATUS_OBJECT_PATH_SYNTAX_BAD));
  c.push_back(Fails("AddAutoVolume_BadAdditionalLetter", IOCTL_ENGINE_ADD_AUTO_VOLUME,
                    AddAutoVolume({.count = 1, .firstAdditional = u'#'}), 0, param));
  // 95 + 4 + 40 + 18 = 157 bytes: the lengths add up and the record is stored.
  c.push_back(Case{"AddAutoVolume_Stored", IOCTL_ENGINE_ADD_AUTO_VOLUME,
                   AddAutoVolume({.letter = u'd', .label = 4, .path = 40, .folders = 18}), 0, STATUS_SUCCESS, 0});

  // GetAutoVolumes with no entries: count 0, four bytes.
  c.push_back(Case{"GetAutoVolumes_Probe", IOCTL_ENGINE_GET_AUTO_VOLUMES, Record(), 0, STATUS_SUCCESS, 4});
  c.push_back(Fails("GetAutoVolumes_Output3Bytes", IOCTL_ENGINE_GET_AUTO_VOLUMES, Record(), 3, small));
  c.push_back(Case{"GetAutoVolumes_Output4Bytes", IOCTL_ENGINE_GET_AUTO_VOLUMES, Record(), 4, STATUS_SUCCESS, 4});
  c.push_back(Case{"GetAutoVolumes_Output5Bytes", IOCTL_ENGINE_GET_AUTO_VOLUMES, Record(), 5, STATUS_SUCCESS, 4});

  // DeleteAutoVolume: exactly 2 bytes; a letter without entry is success.
  c.push_back(Fails("DeleteAutoVolume_Input1Bytes", IOCTL_ENGINE_DELETE_AUTO_VOLUME, Record(1), 0, size));
  c.push_back(Fails("DeleteAutoVolume_Input3Bytes", IOCTL_ENGINE_DELETE_AUTO_VOLUME, Record(3), 0, size));
  c.push_back(Fails("DeleteAutoVolume_Input0Bytes", IOCTL_ENGINE_DELETE_AUTO_VOLUME, Record(), 0, size));
  c.push_back(Fails("DeleteAutoVolume_Missing", IOCTL_ENGINE_DELETE_AUTO_VOLUME, Record(2).Put<uint16_t>(0, u'Q'), 0,
                    STATUS_SUCCESS));
  c.push_back(Fails("DeleteAllAutoVolumes", IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES, Record(), 0, STATUS_SUCCESS));

  // Format: more than 21 bytes and 22 + label, then the handle.
  c.push_back(Fails("Format_Input21Bytes", IOCTL_ENGINE_FORMAT_VOLUME, Format(kUnknownHandle, 0, 21), 0, size));
  c.push_back(Fails("Format_Input0Bytes", IOCTL_ENGINE_FORMAT_VOLUME, Record(), 0, size));
  c.push_back(Fails("Format_LabelOneBelow", IOCTL_ENGINE_FORMAT_VOLUME, Format(kUnknownHandle, 3, 24), 0, size));
  c.push_back(Fails("Format_LabelOneAbove", IOCTL_ENGINE_FORMAT_VOLUME, Format(kUnknownHandle, 3, 26), 0, size));
  c.push_back(Fails("Format_UnknownHandle", IOCTL_ENGINE_FORMAT_VOLUME, Format(kUnknownHandle, 3), 0, handle));

  // Codes that are not the engine's.
  for (ULONG code : {0x222000u, 0x22204Cu, 0x222007u, 0x2A2004u, 0x00070000u, 0x22C004u})
    c.push_back(Fails("UnknownCode" + Hex(code), code, Record(16), 16, STATUS_INVALID_DEVICE_REQUEST));
  return c;
}

class RequestValidation : public KernelFixture, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(100));
  }
};

TEST_P(RequestValidation, AnswersWithTheExpectedStatus) {
  const Case &c = GetParam();
  bw::IoResult result = Control(c.code, c.input, c.output);
  EXPECT_STATUS(c.status, result.status);
  EXPECT_EQ(c.information, result.information);
  if (c.resultStatus) {
    ASSERT_EQ(16u, result.output.size());
    MountResult reply;
    std::memcpy(&reply, result.output.data(), sizeof(reply));
    NTSTATUS status = reply.Status;
    uint64_t volume = reply.VolumeHandle;
    uint32_t imageStatus = reply.ImageStatus;
    EXPECT_STATUS(*c.resultStatus, status);
    if (c.created) {
      EXPECT_NE(0u, volume);
    } else {
      EXPECT_EQ(0u, volume);
    }
    EXPECT_EQ(c.imageStatus, imageStatus);
  }
  if (c.code == IOCTL_ENGINE_GET_AUTO_VOLUMES && c.information == 4 && result.output.size() >= 4) {
    uint32_t count;
    std::memcpy(&count, result.output.data(), 4);
    EXPECT_EQ(0u, count);
  }
}

INSTANTIATE_TEST_SUITE_P(Engine, RequestValidation, ::testing::ValuesIn(Cases()), TestName);

}  // namespace
}  // namespace enginetest
