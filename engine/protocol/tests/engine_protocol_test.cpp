// Control records of the engine, byte for byte.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/protocol/engine_protocol.h"
#include "engine/protocol/tests/wire_bytes.h"

using namespace wire;

namespace {

TEST(EngineCodes, EveryCodeHasItsValueAndFunction) {
  const uint32_t codes[] = {
      IOCTL_ENGINE_CREATE_IMAGE,        IOCTL_ENGINE_MOUNT_IMAGE,           IOCTL_ENGINE_CREATE_MEMORY_VOLUME,
      IOCTL_ENGINE_UNMOUNT,             IOCTL_ENGINE_SAVE_IMAGE,            IOCTL_ENGINE_GET_DEVICE_NAME,
      IOCTL_ENGINE_REGISTER_NOTIFY,     IOCTL_ENGINE_QUERY_VOLUME,          IOCTL_ENGINE_LIST_VOLUMES,
      IOCTL_ENGINE_LINK,                IOCTL_ENGINE_GET_IMAGE_PATH,        IOCTL_ENGINE_SET_PROPERTIES,
      IOCTL_ENGINE_ADD_AUTO_VOLUME,     IOCTL_ENGINE_GET_AUTO_VOLUMES,      IOCTL_ENGINE_DELETE_AUTO_VOLUME,
      IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES, IOCTL_ENGINE_FORMAT_VOLUME,     IOCTL_ENGINE_SET_FLUSH_STATE,
  };
  const uint32_t values[] = {0x222004, 0x222008, 0x22200C, 0x222010, 0x222014, 0x222018,
                             0x22201C, 0x222020, 0x222024, 0x222028, 0x22202C, 0x222030,
                             0x222034, 0x222038, 0x22203C, 0x222040, 0x222044, 0x222048};
  static_assert(std::size(codes) == ENGINE_CONTROL_CODE_COUNT);
  for (uint32_t i = 0; i < ENGINE_CONTROL_CODE_COUNT; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(values[i], codes[i]);
    EXPECT_EQ(0x801 + i, EngineControlFunction(codes[i]));
    EXPECT_EQ(codes[i], EngineControlCode(0x801 + i));
  }
  // The general form with a non-zero method and access lands in their bits.
  EXPECT_EQ(0x0022E007u, EngineCtlCode(0x22, 0x801, 3, 3));
}

TEST(EngineValues, ImageStatusTexts) {
  const char *texts[] = {
      "Image load succeeded",
      "Image signature is invalid",
      "Incorrect block size detected",
      "Image header is corrupted or not accessible",
      "Version of the image file does not match current kernel",
      "Key or password is invalid",
      "Unknown algorithm detected",
      "Image file could not be opened",
      "Image was not formatted",
      "Image is too big for the operation",
      "Unknown reason",
  };
  for (uint32_t code = 0; code <= ENGINE_IMAGE_STATUS_LAST; code++) {
    ASSERT_NE(nullptr, EngineImageStatusText(code));
    EXPECT_STREQ(texts[code], EngineImageStatusText(code));
  }
  EXPECT_EQ(nullptr, EngineImageStatusText(11));
  EXPECT_EQ(nullptr, EngineImageStatusText(0xFFFFFFFF));
  EXPECT_STREQ("null", EngineAlgorithmName(ENGINE_ALGORITHM_NULL));
  EXPECT_STREQ("xor", EngineAlgorithmName(ENGINE_ALGORITHM_XOR));
  EXPECT_EQ(nullptr, EngineAlgorithmName(ENGINE_ALGORITHM_NONE));
}

// Fixed records are used in place, so their memory image is the wire image.
TEST(EngineFixedRecords, MemoryImageIsTheWireImage) {
  MountResult result{static_cast<int32_t>(0xC0000102), 0x1122334455667788, ENGINE_IMAGE_STATUS_BAD_HEADER};
  EXPECT_EQ(Bytes({0x02, 0x01, 0x00, 0xC0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x03, 0, 0, 0}),
            Raw(result));

  UnmountRequest unmount{0x0102030405060708, 1, 0};
  EXPECT_EQ(Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x01, 0x00}), Raw(unmount));

  PropertiesRequest properties{7, ENGINE_PROPERTY_SAVE_AT_SHUTDOWN, ENGINE_PROPERTY_SAVE_AT_SLEEP};
  EXPECT_EQ(Bytes({7, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}), Raw(properties));

  FlushStateRequest flush{7, 600, ENGINE_SAVE_FLUSH_FIRST | ENGINE_SAVE_CHANGED_ONLY};
  EXPECT_EQ(Bytes({7, 0, 0, 0, 0, 0, 0, 0, 0x58, 0x02, 0, 0, 3, 0, 0, 0}), Raw(flush));

  NotifyRegistration notify{0x1C, 0x00007FF612340000};
  EXPECT_EQ(Bytes({0x1C, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x34, 0x12, 0xF6, 0x7F, 0, 0}), Raw(notify));
  NotifyRegistration32 notify32{0x1C, 0x00401000};
  EXPECT_EQ(Bytes({0x1C, 0, 0, 0, 0x00, 0x10, 0x40, 0x00}), Raw(notify32));

  LinkRequest link{};
  link.DriveLetter = u'R';
  link.LogonSessionId = 0x3E7;
  link.SessionLocal = 1;
  link.Operation = ENGINE_LINK_CREATE;
  link.VolumeHandle = 0x0102030405060708;
  link.PartitionSelector = ENGINE_ALL_PARTITIONS;
  link.AdditionalLetterCount = 2;
  link.AdditionalLetters[0] = u'S';
  link.AdditionalLetters[1] = u'T';
  EXPECT_EQ(Cat({{0x52, 0x00},
                 {0xE7, 0x03, 0, 0, 0, 0, 0, 0},
                 {0x01},
                 {0x01, 0, 0, 0},
                 {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01},
                 {0xFF, 0xFF, 0xFF, 0xFF},
                 {0x02},
                 {0x53, 0x00, 0x54, 0x00},
                 Zeros(48)}),
            Raw(link));

  VolumeInfoReply info{};
  info.StateFlags = ENGINE_VOLUME_STATE_HAS_LINK | ENGINE_VOLUME_STATE_MEMORY;
  info.Properties = 1;
  info.VolumeSize = 0x20000000;
  info.DriveLetter = u'R';
  info.AlgorithmId = ENGINE_ALGORITHM_XOR;
  info.KeyLength = 0x40;
  info.CipherBlockSize = 0x200;
  info.SessionId = 1;
  info.LogonSessionId = 0x00000001000003E7;
  info.SessionLocal = 1;
  info.PagingUseCount = 5;
  info.AdditionalLetterCount = 1;
  info.AdditionalLetters[0] = u'Z';
  EXPECT_EQ(Cat({{0x00, 0x0C, 0, 0},
                 {1, 0, 0, 0},
                 {0, 0, 0, 0x20, 0, 0, 0, 0},
                 {0x52, 0x00},
                 {2, 0, 0, 0},
                 {0x40, 0, 0, 0},
                 {0x00, 0x02, 0, 0},
                 {1, 0, 0, 0},
                 {0xE7, 0x03, 0, 0, 1, 0, 0, 0},
                 {1},
                 {5, 0, 0, 0},
                 {1},
                 {0x5A, 0x00},
                 Zeros(50)}),
            Raw(info));
}

//
// Variable records: one case per record, checked the same way.
//

struct VariableCase {
  std::string name;
  Bytes expected;                                                   // hand-written wire image
  uint32_t headLength;                                              // fixed part (with trailer)
  std::function<uint32_t(void *, uint32_t)> pack;                   // packs the case's record
  std::function<EngineParseResult(const void *, uint64_t)> parse;   // parses and checks the fields
};

const std::u16string kPath = u"\\??\\C:\\a.img";  // 24 bytes

std::vector<VariableCase> VariableCases() {
  std::vector<VariableCase> cases;

  {
    static const Bytes path = Utf16(kPath), password = Utf16(u"pw"), label = Ansi("RAM");
    cases.push_back({"CreateImage",
                     Cat({{0x02, 0, 0, 0},
                          {0x01},
                          {0x04, 0x00},
                          {0, 0, 0, 0x40, 0, 0, 0, 0},
                          {0x01},
                          {0x03, 0, 0, 0},
                          {0x03, 0x00},
                          {0x18, 0x00},
                          path,
                          password,
                          label}),
                     24,
                     [](void *buffer, uint32_t length) {
                       CreateImageRequestParts parts{};
                       parts.Head.AlgorithmId = ENGINE_ALGORITHM_XOR;
                       parts.Head.ImageKind = ENGINE_IMAGE_KIND_VOLUME;
                       parts.Head.ImageSize = 0x40000000;
                       parts.Head.Overwrite = 1;
                       parts.Head.FileSystem = ENGINE_FS_NTFS;
                       parts.Head.LabelLength = 0x7777;  // ignored: the strings decide
                       parts.ImagePath = View(path);
                       parts.Password = View(password);
                       parts.Label = View(label);
                       return CreateImageRequestPack(buffer, length, &parts);
                     },
                     [](const void *buffer, uint64_t length) {
                       CreateImageRequestParts parts;
                       EngineParseResult result = CreateImageRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(0x40000000u, Val(parts.Head.ImageSize));
                         EXPECT_EQ(ENGINE_FS_NTFS, Val(parts.Head.FileSystem));
                         EXPECT_EQ(path, Copy(parts.ImagePath));
                         EXPECT_EQ(password, Copy(parts.Password));
                         EXPECT_EQ(label, Copy(parts.Label));
                       }
                       return result;
                     }});
  }
  {
    static const Bytes path = Utf16(kPath);
    cases.push_back({"MountImage",
                     Cat({{0x80, 0x02, 0x03, 0x00}, {0x00, 0x00}, {0x18, 0x00}, path, {0, 0}}),
                     10,
                     [](void *buffer, uint32_t length) {
                       MountImageRequestParts parts{};
                       parts.Head.MountFlags = 0x00030280;
                       parts.ImagePath = View(path);
                       return MountImageRequestPack(buffer, length, &parts);
                     },
                     [](const void *buffer, uint64_t length) {
                       MountImageRequestParts parts;
                       EngineParseResult result = MountImageRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(0x00030280u, Val(parts.Head.MountFlags));
                         EXPECT_EQ(path, Copy(parts.ImagePath));
                         EXPECT_EQ(0u, parts.Password.Length);
                       }
                       return result;
                     }});
  }
  {
    static const Bytes path = Utf16(u"\\x"), password = Utf16(u"k"), label = Ansi("DATA");
    cases.push_back({"CreateMemoryVolume",
                     Cat({{0x01, 0, 0, 0},
                          {0, 0, 0, 0x20, 0, 0, 0, 0},
                          {0x08, 0, 0, 0},
                          {0x01, 0, 0, 0},
                          {0x02, 0, 0, 0},
                          {0x01, 0, 0, 0},
                          {0x04, 0x00},
                          {0x02, 0x00},
                          {0x04, 0x00},
                          path,
                          password,
                          label,
                          {0, 0}}),
                     36,
                     [](void *buffer, uint32_t length) {
                       CreateMemoryVolumeRequestParts parts{};
                       parts.Head.AlgorithmId = ENGINE_ALGORITHM_NULL;
                       parts.Head.VolumeSize = 0x20000000;
                       parts.Head.MountFlags = ENGINE_MOUNT_MEMORY;
                       parts.Head.NumaNodeIndex = 1;
                       parts.Head.FileSystem = ENGINE_FS_FAT32;
                       parts.Head.FormatFlags = ENGINE_CREATE_FORMAT_ZERO_FILL;
                       parts.ImagePath = View(path);
                       parts.Password = View(password);
                       parts.Label = View(label);
                       return CreateMemoryVolumeRequestPack(buffer, length, &parts);
                     },
                     [](const void *buffer, uint64_t length) {
                       CreateMemoryVolumeRequestParts parts;
                       EngineParseResult result = CreateMemoryVolumeRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(0x20000000u, Val(parts.Head.VolumeSize));
                         EXPECT_EQ(1u, Val(parts.Head.NumaNodeIndex));
                         EXPECT_EQ(path, Copy(parts.ImagePath));
                         EXPECT_EQ(password, Copy(parts.Password));
                         EXPECT_EQ(label, Copy(parts.Label));
                       }
                       return result;
                     }});
  }
  for (bool withPath : {false, true}) {
    static const Bytes path = Utf16(u"\\b");
    cases.push_back({withPath ? "SaveImageToPath" : "SaveImageToOwnImage",
                     Cat({{0x02, 0, 0, 0, 0x01, 0, 0, 0},
                          {0x03, 0, 0, 0},
                          withPath ? Bytes{0x04, 0x00} : Bytes{0x00, 0x00},
                          withPath ? path : Bytes(),
                          {0, 0}}),
                     16,
                     [withPath](void *buffer, uint32_t length) {
                       SaveImageRequestParts parts{};
                       parts.Head.VolumeHandle = 0x0000000100000002;
                       parts.Head.SaveFlags = ENGINE_SAVE_FLUSH_FIRST | ENGINE_SAVE_CHANGED_ONLY;
                       if (withPath) parts.TargetPath = View(path);
                       return SaveImageRequestPack(buffer, length, &parts);
                     },
                     [withPath](const void *buffer, uint64_t length) {
                       SaveImageRequestParts parts;
                       EngineParseResult result = SaveImageRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(0x0000000100000002u, Val(parts.Head.VolumeHandle));
                         EXPECT_EQ(withPath ? path : Bytes(), Copy(parts.TargetPath));
                       }
                       return result;
                     }});
  }
  {
    static const Bytes name = Utf16(u"\\D");
    cases.push_back({"CountedName", Cat({{0x04, 0x00}, name}), 2,
                     [](void *buffer, uint32_t length) { return CountedNameReplyPack(buffer, length, View(name)); },
                     [](const void *buffer, uint64_t length) {
                       EngineBytes parsed;
                       EngineParseResult result = CountedNameReplyParse(buffer, length, &parsed);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(name, Copy(parsed));
                       }
                       return result;
                     }});
  }
  {
    static const Bytes label = Ansi("X");
    cases.push_back({"Format",
                     Cat({{0x01, 0, 0, 0},
                          {0x0A, 0, 0, 0, 0, 0, 0, 0},
                          {0x03, 0, 0, 0},
                          {0x01, 0x00},
                          {0xFF, 0xFF, 0xFF, 0xFF},
                          label}),
                     22,
                     [](void *buffer, uint32_t length) {
                       FormatRequestParts parts{};
                       parts.Head.FormatFlags = ENGINE_FORMAT_COMPRESS_ROOT;
                       parts.Head.VolumeHandle = 0x0A;
                       parts.Head.FileSystem = ENGINE_FS_NTFS;
                       parts.Head.PartitionSelector = ENGINE_ALL_PARTITIONS;
                       parts.Label = View(label);
                       return FormatRequestPack(buffer, length, &parts);
                     },
                     [](const void *buffer, uint64_t length) {
                       FormatRequestParts parts;
                       EngineParseResult result = FormatRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(ENGINE_ALL_PARTITIONS, Val(parts.Head.PartitionSelector));
                         EXPECT_EQ(label, Copy(parts.Label));
                       }
                       return result;
                     }});
  }
  return cases;
}

//
// The automatic-volume example: 4-byte label, 40-byte path, folders "\a" and
// "\data".
//

const Bytes kAutoLabel = Ansi("DISK");
const Bytes kAutoPath = Utf16(u"\\??\\C:\\img\\ramd1.img");
const Bytes kAutoFolders = {0x04, 0x00, '\\', 0, 'a', 0, 0x0A, 0x00, '\\', 0, 'd', 0, 'a', 0, 't', 0, 'a', 0};
const Bytes kAutoVolume = Cat({{0x52, 0x00},
                               {0x88, 0x02, 0x0B, 0x00},
                               {0x01, 0, 0, 0},
                               {0x01, 0, 0, 0},
                               {0, 0, 0, 0x40, 0, 0, 0, 0},
                               {0x03, 0, 0, 0},
                               {0x04, 0x00},
                               {0x28, 0x00},
                               {0x12, 0, 0, 0},
                               {0x03, 0, 0, 0},
                               {0x58, 0x02, 0, 0},
                               {0x01},
                               {0x53, 0x00},
                               Zeros(50),
                               kAutoLabel,
                               kAutoPath,
                               kAutoFolders});

AutoVolumeDataParts AutoVolumeExample() {
  AutoVolumeDataParts parts{};
  parts.Head.DriveLetter = u'R';
  parts.Head.MountFlags = 0x000B0288;
  parts.Head.NumaNodeIndex = 1;
  parts.Head.Properties = ENGINE_PROPERTY_SAVE_AT_SHUTDOWN;
  parts.Head.VolumeSize = 0x40000000;
  parts.Head.FileSystem = ENGINE_FS_NTFS;
  parts.Head.AutoflushFlags = 3;
  parts.Head.AutoflushPeriod = 600;
  parts.Head.AdditionalLetterCount = 1;
  parts.Head.AdditionalLetters[0] = u'S';
  parts.VolumeLabel = View(kAutoLabel);
  parts.ImageFilePath = View(kAutoPath);
  parts.InitialFolders = View(kAutoFolders);
  return parts;
}

void ExpectAutoVolumeExample(const AutoVolumeDataParts &parts) {
  EXPECT_EQ(u'R', Val(parts.Head.DriveLetter));
  EXPECT_EQ(0x000B0288u, Val(parts.Head.MountFlags));
  EXPECT_EQ(0x40000000u, Val(parts.Head.VolumeSize));
  EXPECT_EQ(600u, Val(parts.Head.AutoflushPeriod));
  EXPECT_EQ(1, Val(parts.Head.AdditionalLetterCount));
  EXPECT_EQ(u'S', Val(parts.Head.AdditionalLetters[0]));
  EXPECT_EQ(kAutoLabel, Copy(parts.VolumeLabel));
  EXPECT_EQ(kAutoPath, Copy(parts.ImageFilePath));
  EXPECT_EQ(kAutoFolders, Copy(parts.InitialFolders));
}

std::vector<VariableCase> AllVariableCases() {
  std::vector<VariableCase> cases = VariableCases();
  cases.push_back({"AutoVolume", kAutoVolume, 95,
                   [](void *buffer, uint32_t length) {
                     AutoVolumeDataParts parts = AutoVolumeExample();
                     return AutoVolumeDataPack(buffer, length, &parts);
                   },
                   [](const void *buffer, uint64_t length) {
                     AutoVolumeDataParts parts;
                     EngineParseResult result = AutoVolumeDataParse(buffer, length, &parts);
                     if (result == ENGINE_PARSE_OK) ExpectAutoVolumeExample(parts);
                     return result;
                   }});
  return cases;
}

class VariableRecord : public ::testing::TestWithParam<VariableCase> {};

TEST_P(VariableRecord, PacksToTheWireImage) {
  const VariableCase &c = GetParam();
  Bytes buffer(c.expected.size() + 8, 0xCC);
  ASSERT_EQ(c.expected.size(), c.pack(buffer.data(), static_cast<uint32_t>(c.expected.size())));
  EXPECT_EQ(c.expected, Bytes(buffer.begin(), buffer.begin() + c.expected.size()));
  EXPECT_EQ(Bytes(8, 0xCC), Bytes(buffer.begin() + c.expected.size(), buffer.end()));
}

TEST_P(VariableRecord, PackRefusesABufferOneByteShort) {
  const VariableCase &c = GetParam();
  Bytes buffer(c.expected.size(), 0xCC);
  EXPECT_EQ(0u, c.pack(buffer.data(), static_cast<uint32_t>(c.expected.size() - 1)));
  EXPECT_EQ(Bytes(c.expected.size(), 0xCC), buffer);
  EXPECT_EQ(0u, c.pack(nullptr, 0x10000));
}

TEST_P(VariableRecord, ParseTakesExactlyTheRecord) {
  const VariableCase &c = GetParam();
  Exact exact = ExactCopy(c.expected, c.expected.size());
  EXPECT_EQ(ENGINE_PARSE_OK, c.parse(exact.get(), exact.size));
  // One byte short or one byte over: the lengths no longer add up.
  Exact shorter = ExactCopy(c.expected, c.expected.size() - 1);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, c.parse(shorter.get(), shorter.size));
  Exact longer = ExactCopy(c.expected, c.expected.size() + 1);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, c.parse(longer.get(), longer.size));
  // Shorter than the fixed part, and no buffer at all.
  Exact head = ExactCopy(c.expected, c.headLength - 1);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, c.parse(head.get(), head.size));
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, c.parse(nullptr, c.expected.size()));
}

INSTANTIATE_TEST_SUITE_P(Engine, VariableRecord, ::testing::ValuesIn(AllVariableCases()),
                         [](const auto &info) { return info.param.name; });

TEST(EngineSizes, RecordSizesFromLengths) {
  static_assert(AutoVolumeDataSize(4, 40, 18) == 157);
  static_assert(CreateImageRequestSize(24, 4, 3) == 55);
  static_assert(MountImageRequestSize(0, 0) == 10);
  static_assert(CreateMemoryVolumeRequestSize(0, 0, 0) == 36);
  static_assert(SaveImageRequestSize(0) == 16);
  static_assert(FormatRequestSize(0) == 22);
  static_assert(CountedNameReplySize(0) == 2);
  EXPECT_EQ(kAutoVolume.size(), 157u);
  // The largest lengths do not wrap around.
  EXPECT_EQ(95u + 0xFFFF + 0xFFFF + 0xFFFFFFFFull, AutoVolumeDataSize(0xFFFF, 0xFFFF, 0xFFFFFFFF));
  EXPECT_EQ(36u + 3 * 0xFFFFull, CreateMemoryVolumeRequestSize(0xFFFF, 0xFFFF, 0xFFFF));
}

TEST(EngineSizes, FolderLengthThatWouldWrapIsRefused) {
  // 95 + 4 + 40 + 0xFFFFFFFF is 138 modulo 2^32: a 138-byte record must not
  // pass for a complete one.
  Bytes record = kAutoVolume;
  EngineStoreLE(record.data() + offsetof(VV_AUTO_VOLUME_DATA, InitialFoldersLength), uint32_t{0xFFFFFFFF});
  Exact block = ExactCopy(record, 138);
  AutoVolumeDataParts parts;
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, AutoVolumeDataParse(block.get(), block.size, &parts));
}

TEST(EnginePack, RefusesWhatTheFieldsCannotCarry) {
  Bytes buffer(0x30000);
  Bytes huge(0x10000, 'x');
  CreateMemoryVolumeRequestParts memory{};
  memory.Label = View(huge);  // one byte beyond a 16-bit length
  EXPECT_EQ(0u, CreateMemoryVolumeRequestPack(buffer.data(), static_cast<uint32_t>(buffer.size()), &memory));
  memory.Label = EngineBytes{nullptr, 4};  // a length without data
  EXPECT_EQ(0u, CreateMemoryVolumeRequestPack(buffer.data(), static_cast<uint32_t>(buffer.size()), &memory));
  huge.pop_back();
  memory.Label = View(huge);  // 0xFFFF still fits
  EXPECT_EQ(36u + 0xFFFF,
            CreateMemoryVolumeRequestPack(buffer.data(), static_cast<uint32_t>(buffer.size()), &memory));

  AutoVolumeDataParts autoVolume = AutoVolumeExample();
  autoVolume.Head.AdditionalLetterCount = 27;
  EXPECT_EQ(0u, AutoVolumeDataPack(buffer.data(), static_cast<uint32_t>(buffer.size()), &autoVolume));
}

TEST(EngineParse, MoreThan26LettersIsABadValue) {
  Bytes record = kAutoVolume;
  record[offsetof(VV_AUTO_VOLUME_DATA, AdditionalLetterCount)] = 27;
  AutoVolumeDataParts parts;
  EXPECT_EQ(ENGINE_PARSE_BAD_VALUE, AutoVolumeDataParse(record.data(), record.size(), &parts));
  record[offsetof(VV_AUTO_VOLUME_DATA, AdditionalLetterCount)] = 26;
  EXPECT_EQ(ENGINE_PARSE_OK, AutoVolumeDataParse(record.data(), record.size(), &parts));
}

// The record may sit anywhere in a buffer: heads and strings are unaligned.
TEST(EngineParse, UnalignedRecord) {
  Bytes buffer = Cat({{0xEE}, kAutoVolume});
  AutoVolumeDataParts parts;
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeDataParse(buffer.data() + 1, kAutoVolume.size(), &parts));
  ExpectAutoVolumeExample(parts);
}

//
// InitialFolders
//

TEST(InitialFolders, PackAndWalk) {
  Bytes block(18);
  Bytes a = Utf16(u"\\a"), data = Utf16(u"\\data");
  uint32_t first = InitialFolderPack(block.data(), 18, View(a));
  ASSERT_EQ(6u, first);
  ASSERT_EQ(0u, InitialFolderPack(block.data() + first, 11, View(data)));  // one byte short
  ASSERT_EQ(12u, InitialFolderPack(block.data() + first, 12, View(data)));
  EXPECT_EQ(kAutoFolders, block);

  Exact exact = ExactCopy(block, block.size());
  InitialFolderIterator it;
  InitialFoldersBegin(&it, EngineBytes{exact.get(), 18});
  EngineBytes folder;
  ASSERT_EQ(ENGINE_PARSE_OK, InitialFoldersNext(&it, &folder));
  EXPECT_EQ(a, Copy(folder));
  ASSERT_EQ(ENGINE_PARSE_OK, InitialFoldersNext(&it, &folder));
  EXPECT_EQ(data, Copy(folder));
  EXPECT_EQ(ENGINE_PARSE_END, InitialFoldersNext(&it, &folder));

  uint32_t count = 0;
  EXPECT_EQ(ENGINE_PARSE_OK, InitialFoldersCheck(EngineBytes{exact.get(), 18}, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(ENGINE_PARSE_OK, InitialFoldersCheck(EngineBytes{nullptr, 0}, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, InitialFoldersCheck(EngineBytes{nullptr, 4}, &count));
}

struct BadFolderBlock {
  const char *name;
  Bytes block;
  uint32_t goodEntries;  // entries read before the fault
};

class InitialFoldersFault : public ::testing::TestWithParam<BadFolderBlock> {};

TEST_P(InitialFoldersFault, EntryPastTheEndIsRefused) {
  const BadFolderBlock &c = GetParam();
  Exact exact = ExactCopy(c.block, c.block.size());
  InitialFolderIterator it;
  InitialFoldersBegin(&it, EngineBytes{exact.get(), static_cast<uint32_t>(exact.size)});
  EngineBytes folder;
  for (uint32_t i = 0; i < c.goodEntries; i++) {
    ASSERT_EQ(ENGINE_PARSE_OK, InitialFoldersNext(&it, &folder));
  }
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, InitialFoldersNext(&it, &folder));
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, InitialFoldersNext(&it, &folder));  // and stays refused
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, InitialFoldersCheck(EngineBytes{exact.get(), static_cast<uint32_t>(exact.size)},
                                                         nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, InitialFoldersFault,
    ::testing::Values(
        BadFolderBlock{"SecondEntryOneBytePastEnd", Bytes(kAutoFolders.begin(), kAutoFolders.end() - 1), 1},
        BadFolderBlock{"LengthRunsFarPastEnd", {0x04, 0x00, '\\', 0, 'a', 0, 0xFF, 0xFF, '\\', 0}, 1},
        BadFolderBlock{"LoneLengthByte", {0x04, 0x00, '\\', 0, 'a', 0, 0x02}, 1},
        BadFolderBlock{"FirstEntryTooLong", {0x06, 0x00, '\\', 0, 'a', 0}, 0}),
    [](const auto &info) { return std::string(info.param.name); });

//
// AutoVolumeListReply
//

AutoVolumeDataParts SecondAutoVolume() {
  AutoVolumeDataParts parts{};
  parts.Head.DriveLetter = u'T';
  parts.Head.MountFlags = ENGINE_MOUNT_MEMORY;
  parts.Head.VolumeSize = 0x100000;
  parts.Head.FileSystem = ENGINE_FS_FAT;
  return parts;  // no strings: 95 bytes
}

TEST(AutoVolumeList, ProbeShortAndExactBuffers) {
  AutoVolumeDataParts first = AutoVolumeExample(), second = SecondAutoVolume();
  const uint64_t needed = 4 + 157 + 95;

  AutoVolumeListWriter writer;
  AutoVolumeListBegin(&writer, nullptr, 0);  // size probe
  ASSERT_TRUE(AutoVolumeListAdd(&writer, &first));
  ASSERT_TRUE(AutoVolumeListAdd(&writer, &second));
  EXPECT_FALSE(AutoVolumeListFinish(&writer));
  EXPECT_EQ(needed, writer.Needed);

  Bytes shortBuffer(needed - 1, 0xCC);
  AutoVolumeListBegin(&writer, shortBuffer.data(), static_cast<uint32_t>(shortBuffer.size()));
  AutoVolumeListAdd(&writer, &first);
  AutoVolumeListAdd(&writer, &second);
  EXPECT_FALSE(AutoVolumeListFinish(&writer));
  EXPECT_EQ(needed, writer.Needed);
  EXPECT_EQ(Bytes(95 - 1, 0xCC), Bytes(shortBuffer.begin() + 4 + 157, shortBuffer.end()));

  Bytes buffer(needed);
  AutoVolumeListBegin(&writer, buffer.data(), static_cast<uint32_t>(buffer.size()));
  AutoVolumeListAdd(&writer, &first);
  AutoVolumeDataParts tooMany = second;
  tooMany.Head.AdditionalLetterCount = 27;
  EXPECT_FALSE(AutoVolumeListAdd(&writer, &tooMany));  // left out, nothing counted
  AutoVolumeListAdd(&writer, &second);
  ASSERT_TRUE(AutoVolumeListFinish(&writer));
  ASSERT_EQ(needed, writer.Needed);

  Bytes secondBytes(95);
  ASSERT_EQ(95u, AutoVolumeDataPack(secondBytes.data(), 95, &second));
  EXPECT_EQ(Cat({{0x02, 0, 0, 0}, kAutoVolume, secondBytes}), buffer);

  Exact exact = ExactCopy(buffer, buffer.size());
  AutoVolumeListReader reader;
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeListOpen(&reader, exact.get(), exact.size));
  EXPECT_EQ(2u, reader.Count);
  AutoVolumeDataParts record;
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeListNext(&reader, &record));
  ExpectAutoVolumeExample(record);
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeListNext(&reader, &record));
  EXPECT_EQ(u'T', Val(record.Head.DriveLetter));
  EXPECT_EQ(ENGINE_PARSE_END, AutoVolumeListNext(&reader, &record));
}

TEST(AutoVolumeList, EmptyList) {
  AutoVolumeListWriter writer;
  uint8_t buffer[4] = {0xCC, 0xCC, 0xCC, 0xCC};
  AutoVolumeListBegin(&writer, buffer, 4);
  ASSERT_TRUE(AutoVolumeListFinish(&writer));
  EXPECT_EQ(4u, writer.Needed);
  EXPECT_EQ(Bytes(4, 0), Bytes(buffer, buffer + 4));

  AutoVolumeListReader reader;
  AutoVolumeDataParts record;
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeListOpen(&reader, buffer, 4));
  EXPECT_EQ(ENGINE_PARSE_END, AutoVolumeListNext(&reader, &record));
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, AutoVolumeListOpen(&reader, buffer, 3));
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, AutoVolumeListNext(&reader, &record));
}

struct BadList {
  const char *name;
  uint32_t count;    // count field
  int trim;          // bytes cut off (negative: extra bytes)
  uint32_t goodRecords;
};

class AutoVolumeListFault : public ::testing::TestWithParam<BadList> {};

TEST_P(AutoVolumeListFault, LengthsThatDoNotAddUp) {
  const BadList &c = GetParam();
  Bytes second(95);
  AutoVolumeDataParts parts = SecondAutoVolume();
  AutoVolumeDataPack(second.data(), 95, &parts);
  Bytes reply = Cat({{0, 0, 0, 0}, kAutoVolume, second});
  EngineStoreLE(reply.data(), c.count);
  Exact exact = ExactCopy(reply, reply.size() - c.trim);

  AutoVolumeListReader reader;
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeListOpen(&reader, exact.get(), exact.size));
  AutoVolumeDataParts record;
  for (uint32_t i = 0; i < c.goodRecords; i++) {
    ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeListNext(&reader, &record));
  }
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, AutoVolumeListNext(&reader, &record));
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, AutoVolumeListNext(&reader, &record));
}

INSTANTIATE_TEST_SUITE_P(Replies, AutoVolumeListFault,
                         ::testing::Values(BadList{"LastRecordOneByteShort", 2, 1, 1},
                                           BadList{"OneByteLeftOver", 2, -1, 2},
                                           BadList{"CountAboveRecords", 3, 0, 2},
                                           BadList{"CountBelowRecords", 1, 0, 1},
                                           BadList{"FirstRecordCutInHead", 2, 95 + 100, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ListVolumes, CountAndHandles) {
  uint32_t count = 99;
  EXPECT_EQ(ENGINE_PARSE_OK, ListVolumesReplyCount(0, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, ListVolumesReplyCount(12, &count));

  uint8_t buffer[1 + 16] = {};
  ListVolumesReplySetHandle(buffer + 1, 1, 0x0102030405060708);  // unaligned on purpose
  EXPECT_EQ(Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}), Bytes(buffer + 9, buffer + 17));
  ASSERT_EQ(ENGINE_PARSE_OK, ListVolumesReplyCount(16, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(0x0102030405060708u, ListVolumesReplyHandle(buffer + 1, 1));
  EXPECT_EQ(16u, ListVolumesReplySize(2));
}

}  // namespace
