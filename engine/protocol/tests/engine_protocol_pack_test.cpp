// The client's packers and readers: what they write is the wire image the
// engine's parsers take, byte for byte, and they never write past or into a
// buffer that cannot hold the whole record.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/protocol/engine_protocol.h"
#include "engine/protocol/tests/wire_bytes.h"

using namespace wire;

namespace {

const Bytes kPath = Utf16(u"\\??\\C:\\a.img");
const Bytes kPassword = Utf16(u"pw");
const Bytes kLabel = Ansi("RAM");

// The automatic-volume example: 4-byte label, 40-byte path, folders "\a" and
// "\data" (entries of 2 + 4 and 2 + 10 bytes): 157 bytes in all.
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
  parts.Head.VolumeLabelLength = 0x7777;  // ignored: the strings decide
  parts.VolumeLabel = View(kAutoLabel);
  parts.ImageFilePath = View(kAutoPath);
  parts.InitialFolders = View(kAutoFolders);
  return parts;
}

struct PackCase {
  std::string name;
  Bytes expected;                                  // hand-written wire image
  std::function<uint32_t(void *, uint32_t)> pack;  // packs the case's record
};

std::vector<PackCase> PackCases() {
  std::vector<PackCase> cases;
  cases.push_back({"CreateImage",
                   Cat({{0x02, 0, 0, 0},
                        {0x01},
                        {0x04, 0x00},
                        {0, 0, 0, 0x40, 0, 0, 0, 0},
                        {0x01},
                        {0x03, 0, 0, 0},
                        {0x03, 0x00},
                        {0x18, 0x00},
                        kPath,
                        kPassword,
                        kLabel}),
                   [](void *buffer, uint32_t length) {
                     CreateImageRequestParts parts{};
                     parts.Head.AlgorithmId = ENGINE_ALGORITHM_XOR;
                     parts.Head.ImageKind = ENGINE_IMAGE_KIND_VOLUME;
                     parts.Head.ImageSize = 0x40000000;
                     parts.Head.Overwrite = 1;
                     parts.Head.FileSystem = ENGINE_FS_NTFS;
                     parts.Head.LabelLength = 0x7777;  // ignored: the strings decide
                     parts.ImagePath = View(kPath);
                     parts.Password = View(kPassword);
                     parts.Label = View(kLabel);
                     return CreateImageRequestPack(buffer, length, &parts);
                   }});
  cases.push_back({"MountImage",
                   Cat({{0x80, 0x02, 0x03, 0x00}, {0x04, 0x00}, {0x18, 0x00}, kPath, kPassword, {0, 0}}),
                   [](void *buffer, uint32_t length) {
                     MountImageRequestParts parts{};
                     parts.Head.MountFlags = 0x00030280;
                     parts.ImagePath = View(kPath);
                     parts.Password = View(kPassword);
                     return MountImageRequestPack(buffer, length, &parts);
                   }});
  cases.push_back({"CreateMemoryVolumeWithoutStrings",
                   Cat({{0x01, 0, 0, 0},
                        {0, 0, 0, 0x20, 0, 0, 0, 0},
                        {0x08, 0, 0, 0},
                        {0x01, 0, 0, 0},
                        {0x02, 0, 0, 0},
                        {0x01, 0, 0, 0},
                        {0x00, 0x00},
                        {0x00, 0x00},
                        {0x00, 0x00},
                        {0, 0}}),
                   [](void *buffer, uint32_t length) {
                     CreateMemoryVolumeRequestParts parts{};
                     parts.Head.AlgorithmId = ENGINE_ALGORITHM_NULL;
                     parts.Head.VolumeSize = 0x20000000;
                     parts.Head.MountFlags = ENGINE_MOUNT_MEMORY;
                     parts.Head.NumaNodeIndex = 1;
                     parts.Head.FileSystem = ENGINE_FS_FAT32;
                     parts.Head.FormatFlags = ENGINE_CREATE_FORMAT_ZERO_FILL;
                     return CreateMemoryVolumeRequestPack(buffer, length, &parts);
                   }});
  cases.push_back({"CreateMemoryVolumeFromImage",
                   Cat({{0, 0, 0, 0},
                        Zeros(8),
                        {0x08, 0, 0, 0},
                        Zeros(12),
                        {0x03, 0x00},
                        {0x04, 0x00},
                        {0x18, 0x00},
                        kPath,
                        kPassword,
                        kLabel,
                        {0, 0}}),
                   [](void *buffer, uint32_t length) {
                     CreateMemoryVolumeRequestParts parts{};
                     parts.Head.MountFlags = ENGINE_MOUNT_MEMORY;
                     parts.ImagePath = View(kPath);
                     parts.Password = View(kPassword);
                     parts.Label = View(kLabel);
                     return CreateMemoryVolumeRequestPack(buffer, length, &parts);
                   }});
  for (bool withPath : {false, true}) {
    cases.push_back({withPath ? "SaveImageToPath" : "SaveImageToOwnImage",
                     Cat({{0x02, 0, 0, 0, 0x01, 0, 0, 0},
                          {0x03, 0, 0, 0},
                          withPath ? Bytes{0x18, 0x00} : Bytes{0x00, 0x00},
                          withPath ? kPath : Bytes(),
                          {0, 0}}),
                     [withPath](void *buffer, uint32_t length) {
                       SaveImageRequestParts parts{};
                       parts.Head.VolumeHandle = 0x0000000100000002;
                       parts.Head.SaveFlags = ENGINE_SAVE_FLUSH_FIRST | ENGINE_SAVE_CHANGED_ONLY;
                       if (withPath) parts.TargetPath = View(kPath);
                       return SaveImageRequestPack(buffer, length, &parts);
                     }});
  }
  cases.push_back({"Format",
                   Cat({{0x01, 0, 0, 0},
                        {0x0A, 0, 0, 0, 0, 0, 0, 0},
                        {0x03, 0, 0, 0},
                        {0x03, 0x00},
                        {0xFF, 0xFF, 0xFF, 0xFF},
                        kLabel}),
                   [](void *buffer, uint32_t length) {
                     FormatRequestParts parts{};
                     parts.Head.FormatFlags = ENGINE_FORMAT_COMPRESS_ROOT;
                     parts.Head.VolumeHandle = 0x0A;
                     parts.Head.FileSystem = ENGINE_FS_NTFS;
                     parts.Head.PartitionSelector = ENGINE_ALL_PARTITIONS;
                     parts.Label = View(kLabel);
                     return FormatRequestPack(buffer, length, &parts);
                   }});
  cases.push_back({"AutoVolume", kAutoVolume, [](void *buffer, uint32_t length) {
                     AutoVolumeDataParts parts = AutoVolumeExample();
                     return AutoVolumeDataPack(buffer, length, &parts);
                   }});
  return cases;
}

class PackedRecord : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackedRecord, IsTheWireImageAndNothingBeyond) {
  const PackCase &c = GetParam();
  Bytes buffer(c.expected.size() + 8, 0xCC);
  ASSERT_EQ(c.expected.size(), c.pack(buffer.data(), static_cast<uint32_t>(c.expected.size())));
  EXPECT_EQ(c.expected, Bytes(buffer.begin(), buffer.begin() + c.expected.size()));
  EXPECT_EQ(Bytes(8, 0xCC), Bytes(buffer.begin() + c.expected.size(), buffer.end()));
}

TEST_P(PackedRecord, ABufferOneByteShortGetsNothing) {
  const PackCase &c = GetParam();
  Bytes buffer(c.expected.size(), 0xCC);
  EXPECT_EQ(0u, c.pack(buffer.data(), static_cast<uint32_t>(c.expected.size() - 1)));
  EXPECT_EQ(Bytes(c.expected.size(), 0xCC), buffer);
  EXPECT_EQ(0u, c.pack(nullptr, 0x10000));
}

INSTANTIATE_TEST_SUITE_P(Client, PackedRecord, ::testing::ValuesIn(PackCases()),
                         [](const auto &info) { return info.param.name; });

TEST(ClientPack, RefusesWhatTheFieldsCannotCarry) {
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

// What the packer writes, the engine's parser takes back field by field.
TEST(ClientPack, AutoVolumeComesBackThroughTheEnginesParser) {
  AutoVolumeDataParts parts = AutoVolumeExample();
  Bytes buffer(200);
  uint32_t size = AutoVolumeDataPack(buffer.data(), static_cast<uint32_t>(buffer.size()), &parts);
  ASSERT_EQ(157u, size);
  AutoVolumeDataParts parsed;
  ASSERT_EQ(ENGINE_PARSE_OK, AutoVolumeDataParse(buffer.data(), size, &parsed));
  EXPECT_EQ(4, Val(parsed.Head.VolumeLabelLength));
  EXPECT_EQ(40, Val(parsed.Head.ImageFilePathLength));
  EXPECT_EQ(18u, Val(parsed.Head.InitialFoldersLength));
  EXPECT_EQ(kAutoFolders, Copy(parsed.InitialFolders));
}

TEST(CountedNameReader, TakesExactlyTheReply) {
  const Bytes name = Utf16(u"\\Device\\V1");
  const Bytes reply = Cat({{static_cast<uint8_t>(name.size()), 0x00}, name});
  EngineBytes parsed;
  Exact exact = ExactCopy(reply, reply.size());
  ASSERT_EQ(ENGINE_PARSE_OK, CountedNameReplyParse(exact.get(), exact.size, &parsed));
  EXPECT_EQ(name, Copy(parsed));
  Exact shorter = ExactCopy(reply, reply.size() - 1);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, CountedNameReplyParse(shorter.get(), shorter.size, &parsed));
  Exact longer = ExactCopy(reply, reply.size() + 1);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, CountedNameReplyParse(longer.get(), longer.size, &parsed));
  Exact lone = ExactCopy(reply, 1);
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, CountedNameReplyParse(lone.get(), lone.size, &parsed));
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH, CountedNameReplyParse(nullptr, reply.size(), &parsed));
}

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
  EXPECT_EQ(ENGINE_PARSE_BAD_LENGTH,
            InitialFoldersCheck(EngineBytes{exact.get(), static_cast<uint32_t>(exact.size)}, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, InitialFoldersFault,
    ::testing::Values(
        BadFolderBlock{"SecondEntryOneBytePastEnd", Bytes(kAutoFolders.begin(), kAutoFolders.end() - 1), 1},
        BadFolderBlock{"LengthRunsFarPastEnd", {0x04, 0x00, '\\', 0, 'a', 0, 0xFF, 0xFF, '\\', 0}, 1},
        BadFolderBlock{"LoneLengthByte", {0x04, 0x00, '\\', 0, 'a', 0, 0x02}, 1},
        BadFolderBlock{"FirstEntryTooLong", {0x06, 0x00, '\\', 0, 'a', 0}, 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
