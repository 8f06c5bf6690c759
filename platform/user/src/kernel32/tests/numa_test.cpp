// The highest NUMA node number: the host's last online node, 0 on a host
// without NUMA support, and a refused null pointer.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

TEST(Numa, HighestNodeIsTheHostsLastOnlineNode) {
  SetLastError(0);
  EXPECT_FALSE(GetNumaHighestNodeNumber(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  ULONG highest = 12345;
  ASSERT_TRUE(GetNumaHighestNodeNumber(&highest));
  ULONG expected = 0;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator("/sys/devices/system/node", error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("node", 0) == 0 && name.size() > 4 && isdigit(static_cast<unsigned char>(name[4])))
      expected = std::max<ULONG>(expected, static_cast<ULONG>(std::stoul(name.substr(4))));
  }
  EXPECT_EQ(expected, highest);
}
