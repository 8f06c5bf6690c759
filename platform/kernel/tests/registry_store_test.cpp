// The registry store: key and value semantics, the file, damage, atomic saves.
#include "config/registry_store.h"

#include "nt/rtl.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace bw {
namespace {

namespace fs = std::filesystem;
using KeyRef = RegistryStore::KeyRef;
using Bytes = std::vector<uint8_t>;

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A file with a correct header and checksum around `body`.
std::string WithHeader(const std::string &body) {
  char header[64];
  snprintf(header, sizeof header, "BWREGISTRY 1 %zu %08x\n", body.size(),
           static_cast<unsigned>(RtlComputeCrc32(0, body.data(), static_cast<ULONG>(body.size()))));
  return header + body;
}

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bw-registry-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    file_ = dir_ + "/registry.dat";
  }
  void TearDown() override { fs::remove_all(dir_); }

  KeyRef Create(RegistryStore &s, std::u16string_view path, bool isVolatile = false) {
    KeyRef key;
    EXPECT_STATUS(STATUS_SUCCESS, s.CreateKey(nullptr, path, isVolatile, {}, &key, nullptr));
    return key;
  }
  Bytes Query(RegistryStore &s, const KeyRef &key, std::u16string_view name, ULONG *type = nullptr) {
    RegistryStore::Value v;
    EXPECT_STATUS(STATUS_SUCCESS, s.QueryValue(key, name, &v));
    if (type) *type = v.type;
    return v.data;
  }
  std::vector<std::string> FolderEntries() {
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }

  std::string dir_, file_;
};

TEST_F(RegistryStoreTest, OpenAndCreateStatuses) {
  RegistryStore s;
  KeyRef key;
  for (auto path : {u"\\Registry", u"\\REGISTRY\\machine", u"\\Registry\\User",
                    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                    u"\\Registry\\Machine\\System\\Setup\\"}) {
    EXPECT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, path, &key));
  }
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.OpenKey(nullptr, u"\\Registry\\Machine\\Nope", &key));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, s.OpenKey(nullptr, u"\\Registry\\Nope\\System", &key));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, s.OpenKey(nullptr, u"\\Device\\Registry", &key));
  EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD, s.OpenKey(nullptr, u"Registry\\Machine", &key));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, s.OpenKey(nullptr, u"\\Registry\\\\Machine", &key));
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                s.OpenKey(nullptr, u"\\Registry\\Machine\\" + std::u16string(256, u'a'), &key));

  ULONG disposition = 0;
  KeyRef a;
  EXPECT_STATUS(STATUS_SUCCESS, s.CreateKey(nullptr, u"\\Registry\\Machine\\A", &a, &disposition));
  EXPECT_EQ(kRegCreatedNewKey, disposition);
  EXPECT_STATUS(STATUS_SUCCESS, s.CreateKey(nullptr, u"\\Registry\\Machine\\A", &key, &disposition));
  EXPECT_EQ(kRegOpenedExistingKey, disposition);
  EXPECT_EQ(a, key);
  // Only the last component is created.
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.CreateKey(a, u"B\\C", &key, &disposition));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, s.CreateKey(a, u"B\\C\\D", &key, &disposition));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, s.CreateKey(nullptr, u"\\Registry\\Hive", &key, &disposition));

  // Relative names: below the parent, never starting with a backslash.
  KeyRef b;
  EXPECT_STATUS(STATUS_SUCCESS, s.CreateKey(a, u"B", &b, &disposition));
  EXPECT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, u"\\Registry\\Machine\\A\\B", &key));
  EXPECT_EQ(b, key);
  EXPECT_STATUS(STATUS_SUCCESS, s.OpenKey(a, u"", &key));
  EXPECT_EQ(a, key);
  EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD, s.OpenKey(a, u"\\B", &key));
}

TEST_F(RegistryStoreTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
  RegistryStore s;
  KeyRef key = Create(s, u"\\Registry\\Machine\\Ärger Mixed");
  KeyRef other;
  ASSERT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, u"\\REGISTRY\\MACHINE\\äRGER mIXED", &other));
  EXPECT_EQ(key, other);
  RegistryStore::KeyInfo info;
  ASSERT_STATUS(STATUS_SUCCESS, s.QueryKey(other, &info));
  EXPECT_EQ(u"Ärger Mixed", info.name);
  EXPECT_EQ(u"\\Registry\\Machine\\Ärger Mixed", info.fullPath);

  ULONG one = 1, two = 2;
  ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, u"ValueÉ", kRegDword, &one, 4));
  ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, u"VALUEé", kRegDword, &two, 4));
  RegistryStore::Value v;
  ASSERT_STATUS(STATUS_SUCCESS, s.EnumerateValue(key, 0, &v));
  EXPECT_EQ(u"ValueÉ", v.name);  // the first spelling stays
  EXPECT_EQ(Bytes({2, 0, 0, 0}), v.data);
  EXPECT_STATUS(STATUS_NO_MORE_ENTRIES, s.EnumerateValue(key, 1, &v));
}

TEST_F(RegistryStoreTest, ValuesKeepInsertionOrderAndShiftOnDelete) {
  RegistryStore s;
  KeyRef key = Create(s, u"\\Registry\\Machine\\Order");
  for (auto name : {u"zeta", u"alpha", u"", u"mid"}) {
    ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, name, kRegSz, name, 2));
  }
  ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, u"ALPHA", kRegBinary, "x", 1));  // in place
  ASSERT_STATUS(STATUS_SUCCESS, s.DeleteValue(key, u"Zeta"));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.DeleteValue(key, u"zeta"));
  RegistryStore::Value v;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.QueryValue(key, u"zeta", &v));

  std::vector<std::u16string> names;
  for (ULONG i = 0; s.EnumerateValue(key, i, &v) == STATUS_SUCCESS; ++i) names.push_back(v.name);
  EXPECT_EQ((std::vector<std::u16string>{u"alpha", u"", u"mid"}), names);
  ASSERT_STATUS(STATUS_SUCCESS, s.EnumerateValue(key, 0, &v));
  EXPECT_EQ(kRegBinary, v.type);
  EXPECT_STATUS(STATUS_NO_MORE_ENTRIES, s.EnumerateValue(key, 3, &v));

  RegistryStore::KeyInfo info;
  ASSERT_STATUS(STATUS_SUCCESS, s.QueryKey(key, &info));
  EXPECT_EQ(3u, info.values);
  EXPECT_EQ(10u, info.maxValueNameLen);  // "alpha"
  EXPECT_EQ(2u, info.maxValueDataLen);
}

TEST_F(RegistryStoreTest, SubkeysEnumerateInNameOrderWithKeyInfo) {
  RegistryStore s;
  KeyRef parent = Create(s, u"\\Registry\\Machine\\P");
  for (auto name : {u"beta", u"Alpha", u"gamma_long"}) {
    KeyRef child;
    ASSERT_STATUS(STATUS_SUCCESS, s.CreateKey(parent, name, false, u"Cls", &child, nullptr));
  }
  std::vector<std::u16string> names;
  RegistryStore::KeyInfo info;
  for (ULONG i = 0; s.EnumerateKey(parent, i, &info) == STATUS_SUCCESS; ++i) names.push_back(info.name);
  EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"beta", u"gamma_long"}), names);
  EXPECT_STATUS(STATUS_NO_MORE_ENTRIES, s.EnumerateKey(parent, 3, &info));
  ASSERT_STATUS(STATUS_SUCCESS, s.QueryKey(parent, &info));
  EXPECT_EQ(3u, info.subKeys);
  EXPECT_EQ(20u, info.maxNameLen);
  EXPECT_EQ(6u, info.maxClassLen);
}

TEST_F(RegistryStoreTest, DeleteKeySemantics) {
  RegistryStore s;
  KeyRef a = Create(s, u"\\Registry\\Machine\\A");
  KeyRef b = Create(s, u"\\Registry\\Machine\\A\\B");
  EXPECT_STATUS(STATUS_CANNOT_DELETE, s.DeleteKey(a));
  ASSERT_STATUS(STATUS_SUCCESS, s.DeleteKey(b));

  // Every use of the held reference now fails; the name is free again.
  RegistryStore::Value v;
  RegistryStore::KeyInfo info;
  KeyRef key;
  EXPECT_STATUS(STATUS_KEY_DELETED, s.SetValue(b, u"x", kRegNone, nullptr, 0));
  EXPECT_STATUS(STATUS_KEY_DELETED, s.QueryValue(b, u"x", &v));
  EXPECT_STATUS(STATUS_KEY_DELETED, s.EnumerateValue(b, 0, &v));
  EXPECT_STATUS(STATUS_KEY_DELETED, s.EnumerateKey(b, 0, &info));
  EXPECT_STATUS(STATUS_KEY_DELETED, s.QueryKey(b, &info));
  EXPECT_STATUS(STATUS_KEY_DELETED, s.CreateKey(b, u"C", &key));
  EXPECT_STATUS(STATUS_KEY_DELETED, s.DeleteKey(b));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.OpenKey(a, u"B", &key));
  ASSERT_STATUS(STATUS_SUCCESS, s.DeleteKey(a));

  for (auto path : {u"\\Registry", u"\\Registry\\Machine", u"\\Registry\\User"}) {
    ASSERT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, path, &key));
    EXPECT_STATUS(STATUS_CANNOT_DELETE, s.DeleteKey(key));
  }
  EXPECT_STATUS(STATUS_INVALID_HANDLE, s.DeleteKey(nullptr));
  RegistryStore other;
  EXPECT_STATUS(STATUS_INVALID_HANDLE, other.QueryKey(a, &info));
}

TEST_F(RegistryStoreTest, EverythingSurvivesSaveAndLoad) {
  std::mt19937 rng(7);
  Bytes big(1 << 20);
  for (auto &b : big) b = static_cast<uint8_t>(rng());
  const std::u16string sz = u"C:\\Program Files\\x";
  const char16_t multi[] = u"one\0two\0";  // embedded zeros
  struct Case {
    std::u16string name;
    ULONG type;
    Bytes data;
  };
  std::vector<Case> cases = {
      {u"", kRegSz, Bytes((const uint8_t *)sz.data(), (const uint8_t *)(sz.data() + sz.size() + 1))},
      {u"Expand %x% \"q\"", kRegExpandSz, Bytes({'%', 0, 'A', 0})},
      {u"Multi", kRegMultiSz, Bytes((const uint8_t *)multi, (const uint8_t *)multi + sizeof multi)},
      {u"Dword", kRegDword, Bytes({1, 2, 3, 4})},
      {u"Qword", kRegQword, Bytes({1, 0, 0, 0, 0, 0, 0, 0x80})},
      {u"Odd\u00e9\u4e2d\xd800", kRegBinary, Bytes({0, 0, 0})},
      {u"Empty", kRegNone, {}},
      {u"Custom", 0x12345678, Bytes({0xff})},
      {u"Big", kRegBinary, big},
  };
  int64_t stamp = 0;
  {
    RegistryStore s;
    ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));  // first start
    KeyRef key;
    ASSERT_STATUS(STATUS_SUCCESS,
                  s.CreateKey(nullptr, u"\\Registry\\Machine\\Typed Key", false, u"My Class", &key, nullptr));
    for (auto &c : cases) {
      ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, c.name, c.type, c.data.data(), c.data.size()));
    }
    Create(s, u"\\Registry\\Machine\\Typed Key\\Sub");
    KeyRef vol = Create(s, u"\\Registry\\Machine\\Typed Key\\Vol", true);
    EXPECT_STATUS(kStatusChildMustBeVolatile, s.CreateKey(vol, u"Stable", &key));
    Create(s, u"\\Registry\\Machine\\Typed Key\\Vol\\Inner", true);
    RegistryStore::KeyInfo info;
    ASSERT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, u"\\Registry\\Machine\\Typed Key\\Sub", &key));
    ASSERT_STATUS(STATUS_SUCCESS, s.QueryKey(key, &info));
    stamp = info.lastWriteTime;
    EXPECT_GT(stamp, 0);
  }
  RegistryStore s;
  ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));
  KeyRef key;
  ASSERT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, u"\\registry\\machine\\TYPED KEY", &key));
  RegistryStore::Value v;
  for (ULONG i = 0; i < cases.size(); ++i) {
    ASSERT_STATUS(STATUS_SUCCESS, s.EnumerateValue(key, i, &v));
    EXPECT_EQ(cases[i].name, v.name) << i;
    EXPECT_EQ(cases[i].type, v.type) << i;
    EXPECT_TRUE(cases[i].data == v.data) << i;
  }
  RegistryStore::KeyInfo info;
  ASSERT_STATUS(STATUS_SUCCESS, s.QueryKey(key, &info));
  EXPECT_EQ(u"My Class", info.className);
  EXPECT_EQ(1u, info.subKeys);  // volatile keys are gone
  ASSERT_STATUS(STATUS_SUCCESS, s.EnumerateKey(key, 0, &info));
  EXPECT_EQ(u"Sub", info.name);
  EXPECT_EQ(stamp, info.lastWriteTime);
  EXPECT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, u"\\Registry\\Machine\\System\\Setup", &key));

  // References taken before a Load belong to the replaced tree.
  RegistryStore t;
  KeyRef before = Create(t, u"\\Registry\\Machine\\Before");
  ASSERT_STATUS(STATUS_SUCCESS, t.Load(file_, nullptr));
  EXPECT_STATUS(STATUS_KEY_DELETED, t.QueryKey(before, &info));
}

TEST_F(RegistryStoreTest, VolatileChangesDoNotWriteTheFile) {
  RegistryStore s;
  ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));
  int saves = 0;
  s.SetSaveFaultHook([&](RegistryStore::SaveStep step) {
    saves += step == RegistryStore::SaveStep::SyncTemp;
    return false;
  });
  KeyRef vol = Create(s, u"\\Registry\\Machine\\Vol", true);
  ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(vol, u"v", kRegDword, "\1\0\0\0", 4));
  ASSERT_STATUS(STATUS_SUCCESS, s.DeleteValue(vol, u"v"));
  ASSERT_STATUS(STATUS_SUCCESS, s.DeleteKey(vol));
  EXPECT_EQ(0, saves);
  KeyRef key = Create(s, u"\\Registry\\Machine\\Kept");
  ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, u"v", kRegDword, "\1\0\0\0", 4));
  EXPECT_EQ(2, saves);
}

// Saves killed before their rename leave temporary files; a start removes
// them, and nothing else beside the registry file.
TEST_F(RegistryStoreTest, LoadRemovesTemporaryFilesOfKilledSaves) {
  for (const char *name : {"registry.dat.tmpAb12Cd", "registry.dat.tmp000000", "registry.dat.tmpLonger1",
                           "other.dat.tmpAb12Cd", "registry.dat.bak"}) {
    std::ofstream(dir_ + "/" + name) << "partial";
  }
  for (int start = 0; start < 2; ++start) {
    RegistryStore s;
    ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));
    std::vector<std::string> left = FolderEntries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{"other.dat.tmpAb12Cd", "registry.dat", "registry.dat.bak",
                                        "registry.dat.tmpLonger1"}),
              left);
  }
}

TEST_F(RegistryStoreTest, DamagedFilesAreRefusedWithTheReason) {
  {
    RegistryStore s;
    ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));
    KeyRef key = Create(s, u"\\Registry\\Machine\\Data");
    ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, u"v", kRegSz, u"text", 8));
  }
  const std::string good = ReadFile(file_);
  const size_t headerEnd = good.find('\n') + 1;
  std::string flipped = good;
  flipped[headerEnd + 5] ^= 0x01;
  std::string version = good;
  version.replace(0, 12, "BWREGISTRY 9");
  struct Damage {
    std::string contents, reason;
  } damages[] = {
      {"", "the file is empty"},
      {"BWREG", "truncated in the header"},
      {good.substr(0, headerEnd - 3), "truncated in the header"},
      {good.substr(0, good.size() - 10), "truncated ("},
      {"REGEDIT4\n" + good, "bad magic"},
      {version, "unsupported format version 9"},
      {"BWREGISTRY 1 x 00000000\n", "malformed header"},
      {flipped, "checksum mismatch"},
      {good + "K", "unexpected data after the tree"},
      {WithHeader("V \"a\" 1 x00\n"), "line 2: value outside a key"},
      {WithHeader("K \"Machine\\Gone\\Child\" 0 \"\"\n"), "comes before its parent"},
      {WithHeader("K \"Machine\" 0 \"\"\nK \"machine\" 0 \"\"\n"), "line 3: duplicate key"},
      {WithHeader("K \"Machine\" 0 \"\"\nV \"a\" 1 x0\n"), "malformed value record"},
      {WithHeader("K \"Machine\" 0 \"\"\nV \"a\" 1 x00\nV \"A\" 1 x00\n"), "duplicate value"},
      {WithHeader("K \"Mach ine\" 0 \"\"\n"), "malformed key record"},
      {WithHeader("K \"Machine\" 0 \"\""), "line not terminated"},
      {WithHeader("X\n"), "unknown record"},
  };
  for (const auto &d : damages) {
    SCOPED_TRACE(d.reason);
    WriteFile(file_, d.contents);
    RegistryStore s;
    std::string error;
    EXPECT_STATUS(STATUS_REGISTRY_CORRUPT, s.Load(file_, &error));
    EXPECT_NE(std::string::npos, error.find(file_)) << error;
    EXPECT_NE(std::string::npos, error.find(d.reason)) << error;
    // Not attached: later changes leave the damaged file alone.
    EXPECT_EQ("", s.Path());
    Create(s, u"\\Registry\\Machine\\After");
    EXPECT_EQ(d.contents, ReadFile(file_));
  }
}

TEST_F(RegistryStoreTest, FailedSavesLeaveTheOldFileAndUndoTheChange) {
  RegistryStore s;
  ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));
  KeyRef key = Create(s, u"\\Registry\\Machine\\Atomic");
  ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(key, u"keep", kRegDword, "\1\0\0\0", 4));
  const std::string before = ReadFile(file_);
  using Step = RegistryStore::SaveStep;
  for (Step failAt : {Step::WriteTemp, Step::SyncTemp, Step::Rename}) {
    s.SetSaveFaultHook([&](Step step) { return step == failAt; });
    RegistryStore::Value v;
    KeyRef child;
    EXPECT_STATUS(kStatusRegistryIoFailed, s.SetValue(key, u"keep", kRegDword, "\2\0\0\0", 4));
    EXPECT_STATUS(kStatusRegistryIoFailed, s.SetValue(key, u"new", kRegDword, "\2\0\0\0", 4));
    EXPECT_STATUS(kStatusRegistryIoFailed, s.DeleteValue(key, u"keep"));
    EXPECT_STATUS(kStatusRegistryIoFailed, s.CreateKey(key, u"Child", &child));
    EXPECT_STATUS(kStatusRegistryIoFailed, s.DeleteKey(key));
    EXPECT_NE("", s.LastSaveError());
    EXPECT_EQ(before, ReadFile(file_));
    EXPECT_EQ(std::vector<std::string>{"registry.dat"}, FolderEntries());  // no temp left
    EXPECT_EQ(Bytes({1, 0, 0, 0}), Query(s, key, u"keep"));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.QueryValue(key, u"new", &v));
    EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, s.OpenKey(key, u"Child", &child));
    EXPECT_STATUS(STATUS_SUCCESS, s.OpenKey(nullptr, u"\\Registry\\Machine\\Atomic", &child));
  }
  // Once the new file is in place the change stays, matching the file.
  s.SetSaveFaultHook([](Step step) { return step == Step::SyncFolder; });
  EXPECT_STATUS(kStatusRegistryIoFailed, s.SetValue(key, u"keep", kRegDword, "\3\0\0\0", 4));
  s.SetSaveFaultHook(nullptr);
  EXPECT_EQ(Bytes({3, 0, 0, 0}), Query(s, key, u"keep"));
  RegistryStore t;
  ASSERT_STATUS(STATUS_SUCCESS, t.Load(file_, nullptr));
  ASSERT_STATUS(STATUS_SUCCESS, t.OpenKey(nullptr, u"\\Registry\\Machine\\Atomic", &key));
  EXPECT_EQ(Bytes({3, 0, 0, 0}), Query(t, key, u"keep"));

  // A first start that cannot write its file is refused.
  RegistryStore u;
  std::string error;
  EXPECT_FALSE(NT_SUCCESS(u.Load(dir_ + "/missing/registry.dat", &error)));
  EXPECT_NE(std::string::npos, error.find(dir_ + "/missing/registry.dat")) << error;
}

TEST_F(RegistryStoreTest, ConcurrentChangesKeepAConsistentFile) {
  RegistryStore s;
  ASSERT_STATUS(STATUS_SUCCESS, s.Load(file_, nullptr));
  KeyRef shared = Create(s, u"\\Registry\\Machine\\Shared");
  constexpr int kThreads = 6, kValues = 12;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::u16string name = u"T" + std::u16string(1, char16_t(u'0' + t));
      KeyRef own;
      ASSERT_STATUS(STATUS_SUCCESS, s.CreateKey(shared, name, &own));
      for (uint32_t i = 0; i < kValues; ++i) {
        std::u16string vname = u"v" + std::u16string(1, char16_t(u'a' + i));
        ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(own, vname, kRegDword, &i, 4));
        ASSERT_STATUS(STATUS_SUCCESS, s.SetValue(shared, name, kRegDword, &i, 4));
        RegistryStore::KeyInfo info;
        ASSERT_STATUS(STATUS_SUCCESS, s.QueryKey(shared, &info));
      }
    });
  }
  for (auto &th : threads) th.join();

  RegistryStore t;
  ASSERT_STATUS(STATUS_SUCCESS, t.Load(file_, nullptr));
  KeyRef key;
  ASSERT_STATUS(STATUS_SUCCESS, t.OpenKey(nullptr, u"\\Registry\\Machine\\Shared", &key));
  RegistryStore::KeyInfo info;
  ASSERT_STATUS(STATUS_SUCCESS, t.QueryKey(key, &info));
  EXPECT_EQ(ULONG(kThreads), info.subKeys);
  EXPECT_EQ(ULONG(kThreads), info.values);
  const Bytes last = {kValues - 1, 0, 0, 0};
  for (int i = 0; i < kThreads; ++i) {
    std::u16string name = u"T" + std::u16string(1, char16_t(u'0' + i));
    EXPECT_EQ(last, Query(t, key, name));
    KeyRef own;
    ASSERT_STATUS(STATUS_SUCCESS, t.OpenKey(key, name, &own));
    ASSERT_STATUS(STATUS_SUCCESS, t.QueryKey(own, &info));
    EXPECT_EQ(ULONG(kValues), info.values);
  }
}

}  // namespace
}  // namespace bw
