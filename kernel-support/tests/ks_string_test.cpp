// Counted strings: construction, formatting, path helpers and pool hygiene.
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

#include "bw/host.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(PCUNICODE_STRING s) { return std::u16string(s->Buffer, s->Length / 2); }

UNICODE_STRING View(const char16_t *text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

class KsStringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unicodeBefore_ = bw::PoolBytesWithTag(KS_TAG_STRING_UNICODE);
    ansiBefore_ = bw::PoolBytesWithTag(KS_TAG_STRING_ANSI);
  }
  void TearDown() override {
    bw::ClearFaults();
    EXPECT_EQ(unicodeBefore_, bw::PoolBytesWithTag(KS_TAG_STRING_UNICODE));
    EXPECT_EQ(ansiBefore_, bw::PoolBytesWithTag(KS_TAG_STRING_ANSI));
  }
  uint64_t unicodeBefore_ = 0, ansiBefore_ = 0;
};

TEST_F(KsStringTest, WideStringIsOneTerminatedBlock) {
  PUNICODE_STRING s = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsStringFromWide(u"abc", KS_STRING_TERMINATED, &s));
  EXPECT_EQ(u"abc", Text(s));
  EXPECT_EQ(6, s->Length);
  EXPECT_EQ(8, s->MaximumLength);
  EXPECT_EQ(0, s->Buffer[3]);
  EXPECT_EQ(reinterpret_cast<PWSTR>(s + 1), s->Buffer);
  EXPECT_EQ(unicodeBefore_ + sizeof(UNICODE_STRING) + 8, bw::PoolBytesWithTag(KS_TAG_STRING_UNICODE));
  KsFreeString(&s);
  EXPECT_EQ(nullptr, s);

  ASSERT_STATUS(STATUS_SUCCESS, KsStringFromWide(u"abcdef", 4, &s));
  EXPECT_EQ(u"ab", Text(s));
  KsFreeString(&s);
  ASSERT_STATUS(STATUS_SUCCESS, KsStringFromWide(nullptr, 0, &s));
  EXPECT_EQ(0, s->Length);
  KsFreeString(&s);
}

TEST_F(KsStringTest, BadArgumentsAreRefused) {
  PUNICODE_STRING s = reinterpret_cast<PUNICODE_STRING>(1);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsStringFromWide(u"abc", 3, &s));  // odd byte count
  EXPECT_EQ(nullptr, s);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsStringFromWide(nullptr, 2, &s));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsStringFromWide(u"a", 2, nullptr));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsDuplicateString(nullptr, &s));
  std::u16string big(KS_STRING_MAX_BYTES / 2 + 1, u'x');
  EXPECT_STATUS(STATUS_NAME_TOO_LONG, KsStringFromWide(big.data(), big.size() * 2, &s));
  std::u16string largest(KS_STRING_MAX_BYTES / 2, u'x');
  ASSERT_STATUS(STATUS_SUCCESS, KsStringFromWide(largest.data(), largest.size() * 2, &s));
  EXPECT_EQ(0xFFFE, s->MaximumLength);
  KsFreeString(&s);
}

TEST_F(KsStringTest, AnsiTextIsWidened) {
  PUNICODE_STRING s = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsStringFromAnsi("Vol\xE9", KS_STRING_TERMINATED, &s));
  EXPECT_EQ(u"Vol\u00E9", Text(s));
  EXPECT_EQ(0, s->Buffer[4]);
  KsFreeString(&s);

  PANSI_STRING a = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsAnsiStringFromBytes("LABEL", 3, &a));
  EXPECT_EQ(3, a->Length);
  EXPECT_STREQ("LAB", a->Buffer);
  KsFreeAnsiString(&a);
  EXPECT_EQ(nullptr, a);
}

TEST_F(KsStringTest, ConcatAndDuplicate) {
  UNICODE_STRING a = View(u"\\Device\\"), b = View(u"BrimwellVolume");
  PUNICODE_STRING joined = nullptr, copy = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsConcatStrings(&a, &b, &joined));
  EXPECT_EQ(u"\\Device\\BrimwellVolume", Text(joined));
  ASSERT_STATUS(STATUS_SUCCESS, KsDuplicateString(joined, &copy));
  EXPECT_EQ(Text(joined), Text(copy));
  EXPECT_NE(joined->Buffer, copy->Buffer);
  KsFreeString(&joined);
  KsFreeString(&copy);

  // Two strings that together exceed the 16-bit length.
  std::u16string half(0x4000, u'y');
  UNICODE_STRING h{static_cast<USHORT>(half.size() * 2), static_cast<USHORT>(half.size() * 2), half.data()};
  EXPECT_STATUS(STATUS_NAME_TOO_LONG, KsConcatStrings(&h, &h, &joined));
}

TEST_F(KsStringTest, FormattingGrowsUntilTheTextFits) {
  PUNICODE_STRING s = nullptr;
  UNICODE_STRING name = View(u"RamvolEngine");
  ASSERT_STATUS(STATUS_SUCCESS, KsFormatString(&s, u"%s\\%wZ:%u %S", u"\\Services", &name, 42u, "x"));
  EXPECT_EQ(u"\\Services\\RamvolEngine:42 x", Text(s));
  KsFreeString(&s);

  std::u16string longText(1000, u'q');
  ASSERT_STATUS(STATUS_SUCCESS, KsFormatString(&s, u"<%s>", longText.c_str()));
  EXPECT_EQ(u"<" + longText + u">", Text(s));
  EXPECT_EQ(0, s->Buffer[1002]);
  KsFreeString(&s);
}

TEST_F(KsStringTest, FailedAllocationsLeaveNothingBehind) {
  PUNICODE_STRING s = nullptr;
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, KsStringFromWide(u"abc", KS_STRING_TERMINATED, &s));
  EXPECT_EQ(nullptr, s);
  // The first attempt is too small; the larger second one fails.
  std::u16string longText(500, u'q');
  bw::InjectFault(bw::Fault::PoolAllocation, 1, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, KsFormatString(&s, u"%s", longText.c_str()));
  EXPECT_EQ(nullptr, s);
}

TEST_F(KsStringTest, FreeReleasesASeparateCharacterBuffer) {
  PUNICODE_STRING s = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsStringFromWide(u"", KS_STRING_TERMINATED, &s));
  uint64_t bufferBefore = bw::PoolBytesWithTag(KS_TAG_BUFFER);
  s->Buffer = static_cast<PWSTR>(KsAllocate(64, KS_TAG_BUFFER));
  ASSERT_NE(nullptr, s->Buffer);
  KsFreeString(&s);
  EXPECT_EQ(bufferBefore, bw::PoolBytesWithTag(KS_TAG_BUFFER));
}

TEST(KsStringPrefix, ReportsWhetherTheRestIsAPath) {
  UNICODE_STRING prefix = View(u"\\Device\\Harddisk"), exact = View(u"\\DEVICE\\HARDDISK");
  UNICODE_STRING path = View(u"\\Device\\Harddisk\\Partition1"), glued = View(u"\\Device\\Harddisk1");
  BOOLEAN backslash = TRUE;
  EXPECT_TRUE(KsStringHasPrefix(&prefix, &path, FALSE, &backslash));
  EXPECT_TRUE(backslash);
  EXPECT_TRUE(KsStringHasPrefix(&prefix, &glued, FALSE, &backslash));
  EXPECT_FALSE(backslash);
  EXPECT_TRUE(KsStringHasPrefix(&prefix, &exact, TRUE, &backslash));
  EXPECT_FALSE(backslash);
  EXPECT_FALSE(KsStringHasPrefix(&exact, &path, FALSE, nullptr));
  EXPECT_TRUE(KsStringHasPrefix(&exact, &path, TRUE, nullptr));
  EXPECT_FALSE(KsStringHasPrefix(&path, &prefix, TRUE, &backslash));
}

TEST(KsStringPath, LastComponent) {
  struct Case {
    const char16_t *path;
    BOOLEAN ignoreTrailing;
    const char16_t *expected;
  } cases[] = {
      {u"\\Registry\\Machine\\Services\\RamvolEngine", FALSE, u"RamvolEngine"},
      {u"\\Registry\\Machine\\Services\\RamvolEngine\\\\", TRUE, u"RamvolEngine"},
      {u"\\Registry\\Machine\\Services\\RamvolEngine\\", FALSE, u""},
      {u"client.exe", FALSE, u"client.exe"},
      {u"\\", TRUE, u""},
      {u"", FALSE, u""},
  };
  for (const auto &c : cases) {
    UNICODE_STRING path = View(c.path), component;
    KsLastPathComponent(&path, c.ignoreTrailing, &component);
    EXPECT_EQ(std::u16string(c.expected), Text(&component)) << std::string(c.path, c.path + 0);
  }
}

TEST(KsStringWildcard, MatchesCaseInsensitively) {
  struct Case {
    const char16_t *pattern, *name;
    bool match;
  } cases[] = {
      {u"?:", u"D:", true},   {u"?:", u"d:", true},    {u"?:", u"D:x", false}, {u"?:", u"DD", false},
      {u"?:", u":", false},   {u"*", u"", true},       {u"*", u"anything", true},
      {u"*.EXE", u"ramdeck.exe", true},                {u"*.exe", u"ramdeck.exe.bak", false},
      {u"a*b*c", u"aXXbYYc", true},                    {u"a*b*c", u"aXXbYY", false},
      {u"", u"", true},       {u"", u"x", false},
  };
  for (const auto &c : cases) {
    UNICODE_STRING pattern = View(c.pattern), name = View(c.name);
    EXPECT_EQ(c.match, KsMatchWildcard(&pattern, &name) != FALSE)
        << "pattern length " << pattern.Length << " name length " << name.Length;
  }
  EXPECT_TRUE(KsMatchWildcardAnsi("*", "client.exe"));
  EXPECT_TRUE(KsMatchWildcardAnsi("CLIENT.*", "client.exe"));
  EXPECT_FALSE(KsMatchWildcardAnsi("ramdeck.exe", "client.exe"));
}

}  // namespace
