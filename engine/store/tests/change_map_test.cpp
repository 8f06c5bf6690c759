// The change map over the kernel's bitmaps, including a map longer than one
// bitmap can count.
#include "engine/store/tests/store_fixture.h"

#include "engine/store/change_map.h"

namespace storetest {
namespace {

class ChangeMaps : public StoreTest {};

TEST_F(ChangeMaps, FindsRunsInOrderAndCutsThemAtTheEnd) {
  ChangeMap *map = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, ChangeMapCreate(1000, &map));
  ChangeMapSet(map, 10, 5);
  ChangeMapSet(map, 990, 50);  // cut at the end of the map
  ULONGLONG start = 0, length = 0;
  ASSERT_TRUE(ChangeMapFindRun(map, 0, 100, &start, &length));
  EXPECT_EQ(10u, start);
  EXPECT_EQ(5u, length);
  ASSERT_TRUE(ChangeMapFindRun(map, 12, 2, &start, &length));
  EXPECT_EQ(12u, start);
  EXPECT_EQ(2u, length) << "at most MaxRun";
  ASSERT_TRUE(ChangeMapFindRun(map, 15, 100, &start, &length));
  EXPECT_EQ(990u, start);
  EXPECT_EQ(10u, length);
  EXPECT_FALSE(ChangeMapFindRun(map, 1000, 100, &start, &length));
  EXPECT_EQ(15u, ChangeMapCount(map));
  ChangeMapClearAll(map);
  EXPECT_FALSE(ChangeMapFindRun(map, 0, 100, &start, &length)) << "no run once cleared, not one found by wrapping";
  ChangeMapFree(&map);
  EXPECT_EQ(nullptr, map);
}

TEST_F(ChangeMaps, SpansBitmapsForVolumesOfMoreThanOneTebibyte) {
  ChangeMap *map = nullptr;
  const ULONGLONG bits = CHANGE_MAP_SEGMENT_BITS + 4096;
  ASSERT_STATUS(STATUS_SUCCESS, ChangeMapCreate(bits, &map));
  ChangeMapSet(map, CHANGE_MAP_SEGMENT_BITS - 8, 16);
  ChangeMapSet(map, bits - 1, 1);
  EXPECT_TRUE(ChangeMapTest(map, CHANGE_MAP_SEGMENT_BITS + 7));
  EXPECT_FALSE(ChangeMapTest(map, CHANGE_MAP_SEGMENT_BITS + 8));
  EXPECT_EQ(17u, ChangeMapCount(map));
  ULONGLONG start = 0, length = 0;
  ASSERT_TRUE(ChangeMapFindRun(map, 0, ~0ull, &start, &length));
  EXPECT_EQ(CHANGE_MAP_SEGMENT_BITS - 8, start);
  EXPECT_EQ(8u, length) << "a run is cut where one bitmap ends";
  ASSERT_TRUE(ChangeMapFindRun(map, start + length, ~0ull, &start, &length));
  EXPECT_EQ(CHANGE_MAP_SEGMENT_BITS, start);
  EXPECT_EQ(8u, length);
  ASSERT_TRUE(ChangeMapFindRun(map, start + length, ~0ull, &start, &length));
  EXPECT_EQ(bits - 1, start);
  EXPECT_EQ(1u, length);
  ChangeMapFree(&map);
}

}  // namespace
}  // namespace storetest
