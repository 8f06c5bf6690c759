// A Win32 client of a running ramvold working on host files: a fresh host
// folder reached as Z:, and helpers to name things in it.
#pragma once

#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace bw::test {

class FilesWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    char pattern[] = "/tmp/bwfiles.XXXXXX";
    host_ = mkdtemp(pattern);
  }
  void TearDown() override {
    std::filesystem::permissions(host_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    for (auto &entry : std::filesystem::recursive_directory_iterator(host_))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add);
    std::filesystem::remove_all(host_);
    EXPECT_EQ(0, daemon_.Stop());
  }

  static std::u16string Widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }
  // "Z:\tmp\bwfiles.x\name", with '/' in `name` made '\'.
  std::u16string W(const std::string &name = "") const {
    std::u16string path = u"Z:" + Widen(host_);
    for (auto &c : path)
      if (c == u'/') c = u'\\';
    if (!name.empty()) path += u'\\';
    for (char c : name) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
    return path;
  }
  std::string Host(const std::string &name) const { return host_ + "/" + name; }
  void MakeFile(const std::string &name, const std::string &content) {
    std::ofstream(Host(name), std::ios::binary) << content;
  }
  std::string HostContent(const std::string &name) {
    std::ifstream in(Host(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool HostExists(const std::string &name) {
    struct stat st;
    return stat(Host(name).c_str(), &st) == 0;
  }
  HANDLE Open(const std::string &name, DWORD access, DWORD share, DWORD disposition,
              DWORD flags = 0) {
    return CreateFileW(W(name).c_str(), access, share, nullptr, disposition, flags, nullptr);
  }

  Daemon daemon_;
  std::string host_;
};

}  // namespace bw::test
