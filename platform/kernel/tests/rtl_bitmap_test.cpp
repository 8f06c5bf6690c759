// Bitmaps and bit scans of the run-time library, and executive resources.
#include "platform/kernel/tests/kernel_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

#include <ntddk.h>

namespace {

struct Bitmap {
  explicit Bitmap(ULONG bits) : words((bits + 31) / 32 + 1, 0xA5A5A5A5u) {
    // The word past the map holds noise that no routine may read as bits.
    RtlInitializeBitMap(&header, words.data(), bits);
    RtlClearAllBits(&header);
  }
  std::vector<ULONG> words;
  RTL_BITMAP header;
};

TEST(RtlBitmap, SetsClearsAndCountsRunsAcrossWordBoundaries) {
  Bitmap map(100);
  EXPECT_EQ(0xA5A5A5A5u, map.words.back()) << "clearing stays within the map";
  RtlSetBits(&map.header, 30, 40);  // bits 30..69
  EXPECT_EQ(40u, RtlNumberOfSetBits(&map.header));
  EXPECT_FALSE(RtlTestBit(&map.header, 29));
  EXPECT_TRUE(RtlTestBit(&map.header, 30));
  EXPECT_TRUE(RtlTestBit(&map.header, 69));
  EXPECT_FALSE(RtlTestBit(&map.header, 70));
  EXPECT_TRUE(RtlAreBitsSet(&map.header, 30, 40));
  EXPECT_FALSE(RtlAreBitsSet(&map.header, 29, 2));
  EXPECT_TRUE(RtlAreBitsClear(&map.header, 70, 30));
  RtlClearBits(&map.header, 32, 32);
  EXPECT_EQ(8u, RtlNumberOfSetBits(&map.header));
  EXPECT_EQ(60u, RtlNumberOfClearBits(&map.header) - 32u);
  // A run that would pass the end is refused, not cut.
  RtlSetBits(&map.header, 90, 20);
  EXPECT_FALSE(RtlTestBit(&map.header, 95));
}

TEST(RtlBitmap, FindsRunsFromTheHintAndWrapsRound) {
  Bitmap map(200);
  RtlSetBits(&map.header, 10, 5);
  RtlSetBits(&map.header, 150, 3);
  EXPECT_EQ(10u, RtlFindSetBits(&map.header, 1, 0));
  EXPECT_EQ(150u, RtlFindSetBits(&map.header, 1, 20));
  EXPECT_EQ(10u, RtlFindSetBits(&map.header, 4, 160)) << "wraps round to the start";
  EXPECT_EQ(0xFFFFFFFFu, RtlFindSetBits(&map.header, 6, 0));
  EXPECT_EQ(15u, RtlFindClearBits(&map.header, 100, 11));
  ULONG start = 0;
  EXPECT_EQ(135u, RtlFindNextForwardRunClear(&map.header, 15, &start));
  EXPECT_EQ(15u, start);
  EXPECT_EQ(47u, RtlFindNextForwardRunClear(&map.header, 151, &start));
  EXPECT_EQ(153u, start);
  RtlSetBits(&map.header, 153, 47);
  EXPECT_EQ(0u, RtlFindNextForwardRunClear(&map.header, 150, &start)) << "no clear bit follows";
}

TEST(RtlBitScan, FindsTheLowestAndHighestSetBits) {
  EXPECT_EQ(-1, RtlFindLeastSignificantBit(0));
  EXPECT_EQ(0, RtlFindLeastSignificantBit(1));
  EXPECT_EQ(63, RtlFindLeastSignificantBit(1ull << 63));
  EXPECT_EQ(4, RtlFindLeastSignificantBit(0xF0F0));
  EXPECT_EQ(15, RtlFindMostSignificantBit(0xF0F0));
  EXPECT_EQ(-1, RtlFindMostSignificantBit(0));
  EXPECT_EQ(8, RtlNumberOfSetBitsUlongPtr(0xF0F0));
}

class Resource : public bw::test::KernelTest {};

// Readers share the resource, a writer excludes them, and a waiting writer
// holds back new readers so that it is not starved.
TEST_F(Resource, SharesReadersExcludesWritersAndLetsAWaitingWriterIn) {
  ERESOURCE resource;
  ASSERT_STATUS(STATUS_SUCCESS, ExInitializeResourceLite(&resource));
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::atomic<bool> writerInside{false};
  std::atomic<bool> overlap{false};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(&resource, TRUE);
        if (writerInside) overlap = true;
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --inside;
        ExReleaseResourceLite(&resource);
        KeLeaveCriticalRegion();
      }
    });
  }
  // The writer comes in while readers keep arriving.
  while (most.load() == 0) std::this_thread::yield();
  for (int round = 0; round < 200; ++round) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    writerInside = true;
    if (inside != 0) overlap = true;
    // The owner may acquire again, shared or exclusive.
    EXPECT_TRUE(ExAcquireResourceSharedLite(&resource, FALSE));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource));
    ExReleaseResourceLite(&resource);
    writerInside = false;
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
  }
  stop = true;
  for (auto &reader : readers) reader.join();
  EXPECT_FALSE(overlap);
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource));
  ASSERT_STATUS(STATUS_SUCCESS, ExDeleteResourceLite(&resource));
}

TEST_F(Resource, DoesNotWaitWhenAskedNotTo) {
  ERESOURCE resource;
  ExInitializeResourceLite(&resource);
  KeEnterCriticalRegion();
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
  bool exclusive = true;
  std::thread other([&] { exclusive = ExAcquireResourceExclusiveLite(&resource, FALSE); });
  other.join();
  EXPECT_FALSE(exclusive);
  ExReleaseResourceLite(&resource);
  KeLeaveCriticalRegion();
  ExDeleteResourceLite(&resource);
}

}  // namespace
