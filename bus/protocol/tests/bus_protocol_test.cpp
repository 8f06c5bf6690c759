// Engine-to-bus records, byte for byte.

#include <gtest/gtest.h>

#include "bus/protocol/bus_protocol.h"
#include "engine/protocol/tests/wire_bytes.h"

using namespace wire;

namespace {

TEST(BusCodes, Values) {
  EXPECT_EQ(0x222004u, IOCTL_BUS_REGISTER_ENGINE);
  EXPECT_EQ(0x222008u, IOCTL_BUS_ADD_DISK);
  EXPECT_EQ(0x22200Cu, IOCTL_BUS_REMOVE_DISK);
  EXPECT_EQ(0x222010u, IOCTL_BUS_QUERY_DISK);
}

TEST(BusRecords, MemoryImageIsTheWireImage) {
  AddDiskRequest add{};
  add.RequestFlags = BUS_REQUEST_REMOVABLE | BUS_REQUEST_RAW_DEVICE_OK;
  add.EngineContext = 0x0102030405060708;
  add.DiskSize = 0x40000000;
  add.SectorSize = 4096;
  add.AlignmentRequirement = 1;
  add.MaximumTransferLength = 0x20000;
  add.Geometry = BusDiskGeometry{130, 12, 255, 63, 512};
  EXPECT_EQ(Cat({{0x12, 0, 0, 0},
                 {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01},
                 {0, 0, 0, 0x40, 0, 0, 0, 0},
                 {0x00, 0x10},
                 {0x01, 0, 0, 0},
                 {0x00, 0x00, 0x02, 0x00},
                 {130, 0, 0, 0, 0, 0, 0, 0},
                 {12, 0, 0, 0},
                 {255, 0, 0, 0},
                 {63, 0, 0, 0},
                 {0x00, 0x02, 0, 0}}),
            Raw(add));

  RemoveDiskRequest remove{0, 0x0102030405060708};
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}), Raw(remove));

  QueryDiskReply query{0x0102030405060708, 1};
  EXPECT_EQ(Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x01}), Raw(query));

  EngineEventArgs event{0x0102030405060708, 3, 4};
  EXPECT_EQ(Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 3, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}), Raw(event));

  PagingUsage paging{1, 1};
  EXPECT_EQ(Bytes({1, 1, 0, 0, 0}), Raw(paging));

  DiskBusyInfo busy{0, 2};
  EXPECT_EQ(Bytes({0, 2, 0, 0, 0}), Raw(busy));

  DiskLetterInfo letters{};
  letters.DriveLetter = u'R';
  letters.AdditionalLetters[0] = u'S';
  letters.LetterCount = 1;
  letters.HasLink = 1;
  EXPECT_EQ(Cat({{0x52, 0x00}, {0x53, 0x00}, Zeros(50), {1, 1}}), Raw(letters));

  EngineInterface engine{0, 0x1111, 0x2222, 0x3333, 0x4444};
  EXPECT_EQ(Cat({{0, 0, 0, 0},
                 {0x11, 0x11, 0, 0, 0, 0, 0, 0},
                 {0x22, 0x22, 0, 0, 0, 0, 0, 0},
                 {0x33, 0x33, 0, 0, 0, 0, 0, 0},
                 {0x44, 0x44, 0, 0, 0, 0, 0, 0}}),
            Raw(engine));
}

struct FlagCase {
  const char *name;
  uint32_t request;
  uint32_t disk;
};

class BusFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(BusFlags, RequestFlagsBecomeDiskFlags) {
  EXPECT_EQ(GetParam().disk, BusDiskFlagsFromRequest(GetParam().request));
}

INSTANTIATE_TEST_SUITE_P(
    Remap, BusFlags,
    ::testing::Values(FlagCase{"HiddenStaysHidden", BUS_REQUEST_HIDDEN, BUS_DISK_HIDDEN},
                      FlagCase{"RemovableStaysRemovable", BUS_REQUEST_REMOVABLE, BUS_DISK_REMOVABLE},
                      FlagCase{"SilentInstallStaysSilent", BUS_REQUEST_SILENT_INSTALL, BUS_DISK_SILENT_INSTALL},
                      FlagCase{"SurpriseRemovalStaysAllowed", BUS_REQUEST_SURPRISE_REMOVAL_OK,
                               BUS_DISK_SURPRISE_REMOVAL_OK},
                      FlagCase{"RawDeviceStaysAllowed", BUS_REQUEST_RAW_DEVICE_OK, BUS_DISK_RAW_DEVICE_OK},
                      FlagCase{"NewPartitionTableIsDropped", BUS_REQUEST_NEW_PARTITION_TABLE, 0},
                      FlagCase{"AllDiskFlagsTogether", 0x1F, 0x1F}, FlagCase{"UnknownBitsAreDropped", 0xFFFFFFE0, 0}),
    [](const ::testing::TestParamInfo<FlagCase> &info) { return std::string(info.param.name); });

int32_t ReadProbe(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer, void *IoStatus) {
  return static_cast<int32_t>(Context + ByteOffset + Length);
}

TEST(BusRoutines, RoutineSurvivesItsField) {
  EngineInterface engine{};
  engine.ReadRoutine = BusRoutineToField<BUS_ENGINE_READ_ROUTINE>(&ReadProbe);
  PBUS_ENGINE_READ_ROUTINE read = BusRoutineFromField<BUS_ENGINE_READ_ROUTINE>(engine.ReadRoutine);
  ASSERT_EQ(&ReadProbe, read);
  EXPECT_EQ(6, read(1, 2, 3, nullptr, nullptr));
}

}  // namespace
