// The generic hash table: keys, collisions, walks that remove, pool hygiene.
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_hash_table.h"

#include "bw/host.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

ULONG SameBucket(ULONG64) { return 7; }

uint64_t TableBytes() {
  return bw::PoolBytesWithTag(KS_TAG_TABLE_HEADER) + bw::PoolBytesWithTag(KS_TAG_TABLE_ENTRY) +
         bw::PoolBytesWithTag(KS_TAG_TABLE_ARRAY);
}

class KsHashTableTest : public ::testing::TestWithParam<KS_HASH_ROUTINE *> {
 protected:
  void SetUp() override {
    before_ = TableBytes();
    ASSERT_STATUS(STATUS_SUCCESS, KsHashTableCreate(16, GetParam(), &table_));
  }
  void TearDown() override {
    bw::ClearFaults();
    KsHashTableDestroy(&table_, nullptr, nullptr);
    EXPECT_EQ(nullptr, table_);
    EXPECT_EQ(before_, TableBytes());
  }
  PVOID Value(uintptr_t v) { return reinterpret_cast<PVOID>(v); }
  KS_HASH_TABLE *table_ = nullptr;
  uint64_t before_ = 0;
};

TEST_P(KsHashTableTest, InsertLookupRemove) {
  for (ULONG64 key = 1; key <= 40; ++key)
    ASSERT_STATUS(STATUS_SUCCESS, KsHashTableInsert(table_, key * 0x1000, Value(key)));
  EXPECT_EQ(40u, KsHashTableCount(table_));
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, KsHashTableInsert(table_, 0x5000, Value(99)));

  PVOID value = nullptr;
  ASSERT_TRUE(KsHashTableLookup(table_, 0x5000, &value));
  EXPECT_EQ(Value(5), value);
  EXPECT_FALSE(KsHashTableLookup(table_, 0x5001, &value));

  ASSERT_TRUE(KsHashTableRemove(table_, 0x5000, &value));
  EXPECT_EQ(Value(5), value);
  EXPECT_FALSE(KsHashTableRemove(table_, 0x5000, &value));
  EXPECT_FALSE(KsHashTableLookup(table_, 0x5000, nullptr));
  EXPECT_EQ(39u, KsHashTableCount(table_));
  for (ULONG64 key = 1; key <= 40; ++key) {
    if (key != 5) {
      EXPECT_TRUE(KsHashTableLookup(table_, key * 0x1000, nullptr)) << key;
    }
  }
}

TEST_P(KsHashTableTest, WalkRemovesAndStops) {
  for (ULONG64 key = 1; key <= 10; ++key)
    ASSERT_STATUS(STATUS_SUCCESS, KsHashTableInsert(table_, key, Value(key)));
  // Remove the even keys while walking.
  KsHashTableWalk(
      table_,
      [](PVOID, ULONG64 key, PVOID) -> ULONG { return key % 2 == 0 ? KS_VISIT_REMOVE : KS_VISIT_CONTINUE; },
      nullptr);
  EXPECT_EQ(5u, KsHashTableCount(table_));
  std::set<ULONG64> seen;
  KsHashTableWalk(
      table_,
      [](PVOID context, ULONG64 key, PVOID) -> ULONG {
        static_cast<std::set<ULONG64> *>(context)->insert(key);
        return KS_VISIT_CONTINUE;
      },
      &seen);
  EXPECT_EQ((std::set<ULONG64>{1, 3, 5, 7, 9}), seen);

  // Remove one entry and stop at once.
  int visits = 0;
  KsHashTableWalk(
      table_,
      [](PVOID context, ULONG64, PVOID) -> ULONG {
        ++*static_cast<int *>(context);
        return KS_VISIT_REMOVE | KS_VISIT_STOP;
      },
      &visits);
  EXPECT_EQ(1, visits);
  EXPECT_EQ(4u, KsHashTableCount(table_));
}

TEST_P(KsHashTableTest, DestroyShowsRemainingEntries) {
  for (ULONG64 key = 1; key <= 3; ++key)
    ASSERT_STATUS(STATUS_SUCCESS, KsHashTableInsert(table_, key, Value(key * 10)));
  std::vector<uintptr_t> values;
  KsHashTableDestroy(
      &table_,
      [](PVOID context, ULONG64, PVOID value) -> ULONG {
        static_cast<std::vector<uintptr_t> *>(context)->push_back(reinterpret_cast<uintptr_t>(value));
        return KS_VISIT_CONTINUE;
      },
      &values);
  EXPECT_EQ(3u, values.size());
  EXPECT_EQ(nullptr, table_);
}

TEST_P(KsHashTableTest, FailedInsertChangesNothing) {
  ASSERT_STATUS(STATUS_SUCCESS, KsHashTableInsert(table_, 1, Value(1)));
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, KsHashTableInsert(table_, 2, Value(2)));
  EXPECT_EQ(1u, KsHashTableCount(table_));
  EXPECT_FALSE(KsHashTableLookup(table_, 2, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Hashes, KsHashTableTest, ::testing::Values(&KsHashCrc32, &KsHashPointer, &SameBucket),
                         [](const auto &info) -> std::string {
                           if (info.param == &KsHashCrc32) return "Crc32Hash";
                           if (info.param == &KsHashPointer) return "PointerHash";
                           return "EveryKeyInOneBucket";
                         });

TEST(KsHashCrc32, HashesTheLittleEndianKeyBytes) {
  EXPECT_EQ(0x6522DF69u, KsHashCrc32(0));
  EXPECT_EQ(0x9F0A98DCu, KsHashCrc32(0x0000123456789ABCull));
}

TEST(KsHashTableCreate, RefusesBadArguments) {
  KS_HASH_TABLE *table = nullptr;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsHashTableCreate(0, KsHashPointer, &table));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsHashTableCreate(4, nullptr, &table));
  bw::InjectFault(bw::Fault::PoolAllocation, 1, 1);  // the bucket array
  uint64_t before = TableBytes();
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, KsHashTableCreate(4, KsHashPointer, &table));
  bw::ClearFaults();
  EXPECT_EQ(nullptr, table);
  EXPECT_EQ(before, TableBytes());
}

}  // namespace
