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
// Variable requests: one case per record, parsed the same way.
//

struct VariableCase {
  std::string name;
  Bytes expected;                                                   // hand-written wire image
  uint32_t headLength;                                              // fixed part (with trailer)
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
                     [](const void *buffer, uint64_t length) {
                       CreateImageRequestParts parts;
                       EngineParseResult result = CreateImageRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(ENGINE_ALGORITHM_XOR, Val(parts.Head.AlgorithmId));
                         EXPECT_EQ(ENGINE_IMAGE_KIND_VOLUME, Val(parts.Head.ImageKind));
                         EXPECT_EQ(0x40000000u, Val(parts.Head.ImageSize));
                         EXPECT_EQ(1, Val(parts.Head.Overwrite));
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
                     [](const void *buffer, uint64_t length) {
                       CreateMemoryVolumeRequestParts parts;
                       EngineParseResult result = CreateMemoryVolumeRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(ENGINE_ALGORITHM_NULL, Val(parts.Head.AlgorithmId));
                         EXPECT_EQ(0x20000000u, Val(parts.Head.VolumeSize));
                         EXPECT_EQ(ENGINE_MOUNT_MEMORY, Val(parts.Head.MountFlags));
                         EXPECT_EQ(1u, Val(parts.Head.NumaNodeIndex));
                         EXPECT_EQ(ENGINE_FS_FAT32, Val(parts.Head.FileSystem));
                         EXPECT_EQ(ENGINE_CREATE_FORMAT_ZERO_FILL, Val(parts.Head.FormatFlags));
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
                     [withPath](const void *buffer, uint64_t length) {
                       SaveImageRequestParts parts;
                       EngineParseResult result = SaveImageRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(0x0000000100000002u, Val(parts.Head.VolumeHandle));
                         EXPECT_EQ(ENGINE_SAVE_FLUSH_FIRST | ENGINE_SAVE_CHANGED_ONLY, Val(parts.Head.SaveFlags));
                         EXPECT_EQ(withPath ? path : Bytes(), Copy(parts.TargetPath));
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
                     [](const void *buffer, uint64_t length) {
                       FormatRequestParts parts;
                       EngineParseResult result = FormatRequestParse(buffer, length, &parts);
                       if (result == ENGINE_PARSE_OK) {
                         EXPECT_EQ(ENGINE_FORMAT_COMPRESS_ROOT, Val(parts.Head.FormatFlags));
                         EXPECT_EQ(0x0Au, Val(parts.Head.VolumeHandle));
                         EXPECT_EQ(ENGINE_FS_NTFS, Val(parts.Head.FileSystem));
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

void ExpectAutoVolumeExample(const AutoVolumeDataParts &parts) {
  EXPECT_EQ(u'R', Val(parts.Head.DriveLetter));
  EXPECT_EQ(0x000B0288u, Val(parts.Head.MountFlags));
  EXPECT_EQ(1u, Val(parts.Head.NumaNodeIndex));
  EXPECT_EQ(ENGINE_PROPERTY_SAVE_AT_SHUTDOWN, Val(parts.Head.Properties));
  EXPECT_EQ(0x40000000u, Val(parts.Head.VolumeSize));
  EXPECT_EQ(ENGINE_FS_NTFS, Val(parts.Head.FileSystem));
  EXPECT_EQ(3u, Val(parts.Head.AutoflushFlags));
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
                   [](const void *buffer, uint64_t length) {
                     AutoVolumeDataParts parts;
                     EngineParseResult result = AutoVolumeDataParse(buffer, length, &parts);
                     if (result == ENGINE_PARSE_OK) ExpectAutoVolumeExample(parts);
                     return result;
                   }});
  return cases;
}

class VariableRecord : public ::testing::TestWithParam<VariableCase> {};

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

TEST(CountedNameReply, PacksToTheWireImage) {
  const Bytes name = Utf16(u"\\D");
  const Bytes expected = Cat({{0x04, 0x00}, name});
  Bytes buffer(expected.size() + 8, 0xCC);
  ASSERT_EQ(expected.size(), CountedNameReplyPack(buffer.data(), static_cast<uint32_t>(expected.size()), View(name)));
  EXPECT_EQ(expected, Bytes(buffer.begin(), buffer.begin() + expected.size()));
  EXPECT_EQ(Bytes(8, 0xCC), Bytes(buffer.begin() + expected.size(), buffer.end()));
  // An empty name is the two length bytes alone.
  EXPECT_EQ(2u, CountedNameReplyPack(buffer.data(), 2, EngineBytes{nullptr, 0}));
}

TEST(CountedNameReply, RefusesWhatDoesNotFitOrCannotBeSaid) {
  const Bytes name = Utf16(u"\\D");
  Bytes buffer(0x10010, 0xCC);
  // One byte short, and no buffer at all: nothing is written.
  EXPECT_EQ(0u, CountedNameReplyPack(buffer.data(), 5, View(name)));
  EXPECT_EQ(Bytes(6, 0xCC), Bytes(buffer.begin(), buffer.begin() + 6));
  EXPECT_EQ(0u, CountedNameReplyPack(nullptr, 0x100, View(name)));
  // A length without data, and one beyond the 16-bit length field.
  EXPECT_EQ(0u, CountedNameReplyPack(buffer.data(), 0x100, EngineBytes{nullptr, 4}));
  Bytes huge(0x10000, 'x');
  EXPECT_EQ(0u, CountedNameReplyPack(buffer.data(), static_cast<uint32_t>(buffer.size()), View(huge)));
  huge.pop_back();
  EXPECT_EQ(2u + 0xFFFF, CountedNameReplyPack(buffer.data(), static_cast<uint32_t>(buffer.size()), View(huge)));
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

TEST(ListVolumes, HandlesGoLittleEndianAtTheirSlot) {
  uint8_t buffer[1 + 16] = {};
  ListVolumesReplySetHandle(buffer + 1, 1, 0x0102030405060708);  // unaligned on purpose
  EXPECT_EQ(Bytes(9, 0), Bytes(buffer, buffer + 9));
  EXPECT_EQ(Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}), Bytes(buffer + 9, buffer + 17));
  EXPECT_EQ(16u, ListVolumesReplySize(2));
}

}  // namespace
