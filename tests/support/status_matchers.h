// Test helpers: NTSTATUS printed by name, spelt for test names, and a
// matcher for statuses.
#pragma once

#include "bw/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bw::test {

struct StatusValue {
  NTSTATUS value;
  bool operator==(const StatusValue &o) const { return value == o.value; }
};
void PrintTo(const StatusValue &s, std::ostream *os);

// A status as words for test names: STATUS_INVALID_BUFFER_SIZE reads
// "InvalidBufferSize"; a status without a name reads "Status0xC0000001".
std::string StatusWords(NTSTATUS status);

// EXPECT_STATUS(STATUS_INVALID_HANDLE, SomeCall()) prints names on failure.
#define EXPECT_STATUS(expected, actual) \
  EXPECT_EQ(::bw::test::StatusValue{(NTSTATUS)(expected)}, ::bw::test::StatusValue{(NTSTATUS)(actual)})
#define ASSERT_STATUS(expected, actual) \
  ASSERT_EQ(::bw::test::StatusValue{(NTSTATUS)(expected)}, ::bw::test::StatusValue{(NTSTATUS)(actual)})

MATCHER_P(HasStatus, expected, "has status " + ::bw::StatusText(expected)) {
  return static_cast<NTSTATUS>(arg) == static_cast<NTSTATUS>(expected);
}

}  // namespace bw::test
