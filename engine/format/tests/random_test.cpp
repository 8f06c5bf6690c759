// Engine-wide random values for disk signatures and volume GUIDs.
#include "kernel-support/ks_checksum.h"
#include "kernel-support/ks_random.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

ULONG Word(const UCHAR *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

TEST(Random, StepFromZeroState) {
  UCHAR state[KS_RANDOM_STATE_SIZE] = {};
  // SHA-512 of eight zero bytes begins 1b 74 09 cc: seed 0xCC09741B.
  ULONG value = KsRandomStep(state, 0);
  EXPECT_EQ(0x00A60144u, value);
  EXPECT_EQ(value, Word(state));  // the generator updates the word in place
  EXPECT_EQ(0xf0, state[4]);
  EXPECT_EQ(0x1b, state[63]);
}

TEST(Random, TimeMixesWithEveryEighthStateByte) {
  UCHAR state[KS_RANDOM_STATE_SIZE];
  for (ULONG i = 0; i < sizeof(state); ++i) state[i] = static_cast<UCHAR>(i * 37 + 1);
  const ULONGLONG time = 0x01DA2B3C4D5E6F70ull;
  UCHAR block[8];
  for (int i = 0; i < 8; ++i) block[i] = static_cast<UCHAR>(time >> (8 * i)) ^ state[8 * i];
  UCHAR digest[KS_SHA512_DIGEST_SIZE];
  ASSERT_EQ(STATUS_SUCCESS, KsSha512(block, sizeof(block), digest));
  ULONG seed = Word(digest);
  ULONG expected = static_cast<ULONG>((static_cast<ULONGLONG>(seed) * 16807) % 0x7FFFFFFF);
  EXPECT_EQ(expected, KsRandomStep(state, time));
  EXPECT_EQ(0, memcmp(digest + 4, state + 4, sizeof(state) - 4));
}

TEST(Random, SuccessiveValuesAndGuids) {
  std::set<ULONG> values;
  for (int i = 0; i < 64; ++i) values.insert(NewRandom32());
  EXPECT_GT(values.size(), 60u);
  GUID a, b;
  NewRandomGuid(&a);
  NewRandomGuid(&b);
  EXPECT_NE(0, memcmp(&a, &b, sizeof(GUID)));
  static_assert(sizeof(GUID) == 16);
  NewRandomGuid(nullptr);  // ignored
}

}  // namespace
