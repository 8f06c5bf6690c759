// A running system for the manager's tests that reach the registry or
// start programs: ramvold on a root of its own, found through BRIMWELL_ROOT.
#pragma once

#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <QString>
#include <cstdlib>
#include <utility>
#include <vector>

namespace Ramdeck::test {

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  bw::test::Daemon daemon_;

  // A value of the user's stored environment (HKCU\Environment): its type
  // and text; type 0 and "<missing>" when there is none.
  static std::pair<DWORD, QString> StoredEnvironment(const char16_t *name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Environment", 0, KEY_READ, &key) != ERROR_SUCCESS) return {0, {}};
    DWORD type = 0, size = 512;
    std::vector<BYTE> data(size);
    LSTATUS error = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) return {0, QStringLiteral("<missing>")};
    return {type, QString::fromUtf16(reinterpret_cast<const char16_t *>(data.data()), size / 2 - 1)};
  }
};

}  // namespace Ramdeck::test
