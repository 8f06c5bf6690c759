// A fresh kernel per test, booted on a temporary root.
#pragma once

#include "bw/host.h"
#include "bw/user_session.h"
#include "tests/support/booted_kernel.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <string>

namespace bw::test {

using KernelTest = BootedKernelTest;

}  // namespace bw::test
