// The library without an engine: arguments it refuses before any request
// and the last error each leaves, requests sent before RamctlInitialize
// (they fail on the invalid handle), and the automatic-volume records it
// reads on its own.

#include "ctl/ramctl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

// No system is running for these tests: the root holds no daemon.
class NoEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/bwctl.XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("BRIMWELL_ROOT", root_.c_str(), 1);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(root_); }
  static inline std::string root_;
};

void WINAPI Ignore(uint64_t, uint32_t) {}

struct Refusal {
  const char *name;
  std::function<RAMCTL_BOOL()> call;
  DWORD error;
};

class RefusedArguments : public NoEngine, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedArguments, FailWithTheirError) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(0, GetParam().call());
  EXPECT_EQ(GetParam().error, RamctlGetErrorCode());
  EXPECT_EQ(GetParam().error, GetLastError());  // the same last error the program sees
}

MountResult gResult;
VolumeInformation gInfo;
WCHAR gLetter;
uint32_t gCount;
uint64_t *gHandles;
LPWSTR gString;
uint32_t gId;
VV_AUTO_VOLUME_DATA *gRecords;
LPWSTR *gFolders;
const WCHAR kLetters[] = {u'S', u'T'};
LPCWSTR const kTwoBackslashes[] = {u"\\\\server"};
LPCWSTR const kNoBackslash[] = {u"data"};
LPCWSTR const kOneCharacter[] = {u"\\"};
LPCWSTR const kNullFolder[] = {nullptr};

INSTANTIATE_TEST_SUITE_P(
    Library, RefusedArguments,
    ::testing::Values(
        Refusal{"InitializeWithoutRoutine", [] { return RamctlInitialize(nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"CreateImageWithoutPath",
                [] { return RamctlCreateImage(nullptr, 0, 1, 1 << 20, nullptr, 1, 1, nullptr); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MountImageWithoutPath", [] { return RamctlMountImage(nullptr, nullptr, 0, &gResult); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MountImageWithoutResult", [] { return RamctlMountImage(u"C:\\a.img", nullptr, 0, nullptr); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MountImageRawFlag", [] { return RamctlMountImage(u"C:\\a.img", nullptr, 0x20, &gResult); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MountImageMemoryFlag", [] { return RamctlMountImage(u"C:\\a.img", nullptr, 0x8, &gResult); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MountRawImageWithoutPath", [] { return RamctlMountRawImage(nullptr, 0, &gResult); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MemoryVolumeWithoutImageOrAlgorithm",
                [] { return RamctlCreateMemoryVolume(0, 1 << 20, nullptr, nullptr, 0, &gResult); },
                ERROR_INVALID_PARAMETER},
        Refusal{"MemoryVolumeWithoutResult",
                [] { return RamctlCreateMemoryVolumeEx(1, 1 << 20, nullptr, nullptr, 0, 0, 1, 0, "", nullptr); },
                ERROR_INVALID_PARAMETER},
        Refusal{"UnmountHandleZero", [] { return RamctlUnmountEx(0, 0, 0); }, ERROR_INVALID_PARAMETER},
        Refusal{"UnmountUncached", [] { return RamctlUnmount(0x1234, 1); }, ERROR_OBJECT_NOT_FOUND},
        Refusal{"SaveImageHandleZero", [] { return RamctlSaveImage(0, 3); }, ERROR_INVALID_PARAMETER},
        Refusal{"FormatFileSystemFour", [] { return RamctlFormatVolume(7, -1, 0, 4, nullptr); },
                ERROR_INVALID_PARAMETER},
        Refusal{"FormatHandleZero", [] { return RamctlFormatVolume(0, -1, 0, 1, nullptr); },
                ERROR_INVALID_PARAMETER},
        Refusal{"SetPropertiesHandleZero", [] { return RamctlSetProperties(0, 1, 0); }, ERROR_INVALID_PARAMETER},
        Refusal{"FlushStateHandleZero", [] { return RamctlSetFlushState(0, 60, 3); }, ERROR_INVALID_PARAMETER},
        Refusal{"LinkHandleZero", [] { return RamctlCreateLink(0, 0, u'R', 0); }, ERROR_INVALID_PARAMETER},
        Refusal{"LinkNotALetter", [] { return RamctlCreateLink(5, 0, u'1', 0); }, ERROR_INVALID_PARAMETER},
        Refusal{"LinkLettersWithoutList",
                [] { return RamctlCreateLinkEx(5, 0, -1, u'R', nullptr, 2, 0, 0); }, ERROR_INVALID_PARAMETER},
        Refusal{"LinkUncached", [] { return RamctlCreateLinkEx(5, 0, -1, u'r', kLetters, 2, 0, 0); },
                ERROR_OBJECT_NOT_FOUND},
        Refusal{"DeleteLinkHandleZero", [] { return RamctlDeleteLink(0, -1); }, ERROR_INVALID_PARAMETER},
        Refusal{"DeleteLinkUncached", [] { return RamctlDeleteLink(9, -1); }, ERROR_OBJECT_NOT_FOUND},
        Refusal{"QueryHandleZero", [] { return RamctlQueryVolumeInformation(0, &gInfo); }, ERROR_INVALID_PARAMETER},
        Refusal{"QueryWithoutRecord", [] { return RamctlQueryVolumeInformation(3, nullptr); },
                ERROR_INVALID_PARAMETER},
        Refusal{"LetterWithoutOut", [] { return RamctlQueryVolumeLetter(3, nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"VolumesWithoutCount", [] { return RamctlGetVolumes(nullptr, &gHandles); }, ERROR_INVALID_PARAMETER},
        Refusal{"VolumesWithoutArray", [] { return RamctlGetVolumes(&gCount, nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"FindNotALetter", [] { return RamctlFindVolumeByLetter(u'#', nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"MemoryVolumeNotALetter", [] { return RamctlIsMemoryVolume(u'#'); }, ERROR_INVALID_PARAMETER},
        Refusal{"DeviceNameHandleZero", [] { return RamctlGetDeviceName(0, &gString); }, ERROR_INVALID_PARAMETER},
        Refusal{"DeviceNameWithoutOut", [] { return RamctlGetDeviceName(3, nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"ImagePathWithoutOut", [] { return RamctlGetImageFilePath(3, nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"AlgorithmWithoutName", [] { return RamctlGetAlgorithmIdByName(nullptr, &gId); },
                ERROR_INVALID_PARAMETER},
        Refusal{"AlgorithmUnknown", [] { return RamctlGetAlgorithmIdByName(u"aes", &gId); }, ERROR_INVALID_NAME},
        Refusal{"FileExistsWithoutPath", [] { return RamctlIsFileExists(nullptr); }, ERROR_INVALID_PARAMETER},
        Refusal{"AutoVolumeFolderWithTwoBackslashes",
                [] {
                  return RamctlAddAutoVolumeEx(u'S', nullptr, 0, 8, 0, 0, 1 << 20, 1, "", nullptr, kTwoBackslashes, 1,
                                               0, 0);
                },
                ERROR_INVALID_PARAMETER},
        Refusal{"AutoVolumeFolderWithoutBackslash",
                [] {
                  return RamctlAddAutoVolumeEx(u'S', nullptr, 0, 8, 0, 0, 1 << 20, 1, "", nullptr, kNoBackslash, 1, 0,
                                               0);
                },
                ERROR_INVALID_PARAMETER},
        Refusal{"AutoVolumeOneCharacterFolder",
                [] {
                  return RamctlAddAutoVolumeEx(u'S', nullptr, 0, 8, 0, 0, 1 << 20, 1, "", nullptr, kOneCharacter, 1,
                                               0, 0);
                },
                ERROR_INVALID_PARAMETER},
        Refusal{"AutoVolumeNullFolder",
                [] {
                  return RamctlAddAutoVolumeEx(u'S', nullptr, 0, 8, 0, 0, 1 << 20, 1, "", nullptr, kNullFolder, 1, 0,
                                               0);
                },
                ERROR_INVALID_PARAMETER},
        Refusal{"AutoVolumeLettersWithoutList",
                [] {
                  return RamctlAddAutoVolumeEx(u'S', nullptr, 1, 8, 0, 0, 1 << 20, 1, "", nullptr, nullptr, 0, 0, 0);
                },
                ERROR_INVALID_PARAMETER},
        Refusal{"AutoVolumesWithoutOut", [] { return RamctlGetAutoVolumes(nullptr, &gCount); },
                ERROR_INVALID_PARAMETER},
        Refusal{"InitialFoldersWithoutRecord", [] { return RamctlGetInitialFolders(nullptr, &gFolders, &gCount); },
                ERROR_INVALID_PARAMETER}),
    [](const auto &info) { return std::string(info.param.name); });

// Requests that pass the library's checks go to the engine; before
// RamctlInitialize that is an invalid handle, which tells that they were
// sent. The checks that come first are the library's own.
struct Sent {
  const char *name;
  std::function<RAMCTL_BOOL()> call;
};

class SentBeforeInitialize : public NoEngine, public ::testing::WithParamInterface<Sent> {};

TEST_P(SentBeforeInitialize, FailOnTheInvalidHandle) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(0, GetParam().call());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), RamctlGetErrorCode());
}

INSTANTIATE_TEST_SUITE_P(
    Library, SentBeforeInitialize,
    ::testing::Values(
        Sent{"MountRawImageWithTheRawFlagsMountImageRefuses",
             [] { return RamctlMountRawImage(u"C:\\a.img", 0x20, &gResult); }},
        Sent{"MountImage", [] { return RamctlMountImage(u"C:\\a.img", u"pw", 0, &gResult); }},
        Sent{"CreateImage", [] { return RamctlCreateImage(u"C:\\a.img", 1, 1, 1 << 20, nullptr, 1, 1, "L"); }},
        Sent{"MemoryVolume", [] { return RamctlCreateMemoryVolume(1, 1 << 20, nullptr, nullptr, 0, &gResult); }},
        Sent{"FormatNtfs", [] { return RamctlFormatVolume(7, -1, 0, 3, "X"); }},
        Sent{"SaveImageEx", [] { return RamctlSaveImageEx(7, 1, u"C:\\b.img"); }},
        Sent{"SetProperties", [] { return RamctlSetProperties(7, 1, 0); }},
        Sent{"SetFlushState", [] { return RamctlSetFlushState(7, 60, 3); }},
        Sent{"Query", [] { return RamctlQueryVolumeInformation(7, &gInfo); }},
        Sent{"QueryLetter", [] { return RamctlQueryVolumeLetter(7, &gLetter); }},
        Sent{"GetVolumes", [] { return RamctlGetVolumes(&gCount, &gHandles); }},
        Sent{"DeviceName", [] { return RamctlGetDeviceName(7, &gString); }},
        Sent{"FindVolume", [] { return RamctlFindVolumeByLetter(u'R', nullptr); }},
        Sent{"AutoVolumeWithGoodFolders",
             [] {
               static LPCWSTR const folders[] = {u"\\a", u"\\data"};
               return RamctlAddAutoVolumeEx(u'S', kLetters, 2, 8, 0, 0, 1 << 20, 1, "L", u"C:\\i.img", folders, 2, 0,
                                            0);
             }},
        Sent{"DeleteAutoVolume", [] { return RamctlDeleteAutoVolume(u'S'); }},
        Sent{"DeleteAllAutoVolumes", [] { return RamctlDeleteAllAutoVolumes(); }},
        Sent{"GetAutoVolumes", [] { return RamctlGetAutoVolumes(&gRecords, &gCount); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(NoEngine, InitializeWithoutASystemFailsAndCanBeTriedAgain) {
  EXPECT_EQ(0, RamctlInitialize(Ignore));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), RamctlGetErrorCode());
  EXPECT_EQ(0, RamctlInitialize(Ignore));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), RamctlGetErrorCode());
  // Still not initialised: requests go to no device.
  EXPECT_EQ(0, RamctlGetVolumes(&gCount, &gHandles));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), RamctlGetErrorCode());
}

TEST_F(NoEngine, PropertiesWithNothingToChangeNeedNoEngine) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_NE(0, RamctlSetProperties(7, 0, 0));
}

TEST_F(NoEngine, AllocateAndFree) {
  auto *block = static_cast<uint8_t *>(RamctlAllocate(64));
  ASSERT_NE(nullptr, block);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(0, block[i]);
  // Freeing keeps the last error of the step that failed before it.
  SetLastError(ERROR_INVALID_DATA);
  RamctlFree(&block);
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
  RamctlFree(&block);  // a null pointer does nothing
  RamctlFree(nullptr);
  void *empty = RamctlAllocate(0);
  EXPECT_NE(nullptr, empty);
  RamctlFree(&empty);
}

TEST_F(NoEngine, LettersAndAlgorithmNames) {
  EXPECT_EQ(u'R', RamctlLetterToUpper(u'r'));
  EXPECT_EQ(u'R', RamctlLetterToUpper(u'R'));
  EXPECT_EQ(u'1', RamctlLetterToUpper(u'1'));
  EXPECT_EQ(0, RamctlIsLetterUsed(u'1'));
  uint32_t id = 0;
  ASSERT_NE(0, RamctlGetAlgorithmIdByName(u"XOR", &id));
  EXPECT_EQ(2u, id);
  ASSERT_NE(0, RamctlGetAlgorithmIdByName(u"Null", &id));
  EXPECT_EQ(1u, id);
  EXPECT_EQ(0, RamctlGetAlgorithmIdByName(u"xor2", &id));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), RamctlGetErrorCode());
}

TEST_F(NoEngine, MemoryInformationFromTheHost) {
  uint64_t available = 0, total = 0;
  ASSERT_NE(0, RamctlGetMemoryInformation(&available, &total));
  EXPECT_GT(total, 0u);
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, total);
  // Both results are optional.
  EXPECT_NE(0, RamctlGetMemoryInformation(nullptr, nullptr));
}

//
// Automatic-volume records, read by the library on its own.
//

std::vector<uint8_t> Ansi(const char *text) { return std::vector<uint8_t>(text, text + strlen(text)); }
std::vector<uint8_t> Utf16(std::u16string_view text) {
  std::vector<uint8_t> out(text.size() * 2);
  memcpy(out.data(), text.data(), out.size());
  return out;
}
std::vector<uint8_t> Folders(std::initializer_list<std::u16string_view> folders) {
  std::vector<uint8_t> block;
  for (auto f : folders) {
    uint16_t length = static_cast<uint16_t>(f.size() * 2);
    block.push_back(static_cast<uint8_t>(length));
    block.push_back(static_cast<uint8_t>(length >> 8));
    auto text = Utf16(f);
    block.insert(block.end(), text.begin(), text.end());
  }
  return block;
}

// Records back to back, each at its own (unaligned) offset, as the engine's
// list holds them once its count is taken out.
std::vector<uint8_t> Records(const std::vector<std::vector<uint8_t>> &fields) {
  std::vector<uint8_t> list;
  for (size_t i = 0; i + 2 < fields.size() + 2 && i < fields.size(); i += 3) {
    AutoVolumeDataParts parts{};
    parts.Head.DriveLetter = static_cast<uint16_t>(u'R' + i / 3);
    auto view = [](const std::vector<uint8_t> &b) {
      return EngineBytes{b.empty() ? nullptr : b.data(), static_cast<uint32_t>(b.size())};
    };
    parts.VolumeLabel = view(fields[i]);
    parts.ImageFilePath = view(fields[i + 1]);
    parts.InitialFolders = view(fields[i + 2]);
    size_t at = list.size();
    uint64_t size = AutoVolumeDataSize(parts.VolumeLabel.Length, parts.ImageFilePath.Length,
                                       parts.InitialFolders.Length);
    list.resize(at + size);
    EXPECT_EQ(size, AutoVolumeDataPack(list.data() + at, static_cast<uint32_t>(size), &parts));
  }
  return list;
}

const VV_AUTO_VOLUME_DATA *At(const std::vector<uint8_t> &list, size_t offset) {
  return reinterpret_cast<const VV_AUTO_VOLUME_DATA *>(list.data() + offset);
}

TEST_F(NoEngine, RecordsAreWalkedBySize) {
  auto list = Records({Ansi("DISK"), Utf16(u"\\??\\C:\\img\\ramd1.img"), Folders({u"\\a", u"\\data"}),  // 157
                       {}, {}, {}});                                                                    // 95
  const VV_AUTO_VOLUME_DATA *first = At(list, 0);
  EXPECT_EQ(157u, RamctlGetAutoVolumeSize(first));
  const VV_AUTO_VOLUME_DATA *second = RamctlGetNextAutoVolume(first);
  EXPECT_EQ(At(list, 157), second);
  EXPECT_EQ(95u, RamctlGetAutoVolumeSize(second));
  EXPECT_EQ(0u, RamctlGetAutoVolumeSize(nullptr));
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(nullptr, RamctlGetNextAutoVolume(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  LPSTR label = RamctlGetAutoVolumeLabel(first);
  ASSERT_NE(nullptr, label);
  EXPECT_STREQ("DISK", label);
  RamctlFree(&label);
  label = RamctlGetAutoVolumeLabel(second);  // no label: an empty string
  ASSERT_NE(nullptr, label);
  EXPECT_STREQ("", label);
  RamctlFree(&label);
}

TEST_F(NoEngine, ImagePathsInDosForm) {
  struct Case {
    std::u16string stored, expected;
  };
  for (const Case &c : {Case{u"\\??\\c:\\x.img", u"C:\\x.img"}, Case{u"\\DosDevices\\d:\\y.img", u"D:\\y.img"},
                        Case{u"\\dosdevices\\e:\\z.img", u"E:\\z.img"}, Case{u"\\??", u"\\??"},
                        Case{u"\\Device\\Harddisk0\\a.img", u"\\Device\\Harddisk0\\a.img"},
                        Case{u"z:\\tmp\\q.img", u"Z:\\tmp\\q.img"}}) {
    auto list = Records({{}, Utf16(c.stored), {}});
    LPWSTR path = RamctlGetAutoVolumeImagePath(At(list, 0));
    ASSERT_NE(nullptr, path);
    EXPECT_EQ(c.expected, std::u16string(path));
    RamctlFree(&path);
  }
  auto none = Records({{}, {}, {}});
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(nullptr, RamctlGetAutoVolumeImagePath(At(none, 0)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(NoEngine, InitialFoldersComeInOneBlock) {
  // An odd offset: the record's fields and folders are unaligned.
  auto list = Records({Ansi("L"), Utf16(u"\\??\\C:\\i.img"), Folders({u"\\a", u"\\data", u"\\x\\y"})});
  list.insert(list.begin(), 0xEE);
  LPWSTR *folders = nullptr;
  uint32_t count = 0;
  ASSERT_NE(0, RamctlGetInitialFolders(At(list, 1), &folders, &count));
  ASSERT_EQ(3u, count);
  EXPECT_EQ(std::u16string(u"\\a"), folders[0]);
  EXPECT_EQ(std::u16string(u"\\data"), folders[1]);
  EXPECT_EQ(std::u16string(u"\\x\\y"), folders[2]);
  // Pointers first, then the strings, each with its terminator.
  EXPECT_EQ(reinterpret_cast<uint8_t *>(folders) + 3 * sizeof(LPWSTR), reinterpret_cast<uint8_t *>(folders[0]));
  EXPECT_EQ(reinterpret_cast<uint8_t *>(folders[2]) + 8 + 2,
            reinterpret_cast<uint8_t *>(folders) + 3 * sizeof(LPWSTR) + 4 + 10 + 8 + 3 * 2);
  RamctlFree(&folders);

  auto empty = Records({{}, {}, {}});
  folders = reinterpret_cast<LPWSTR *>(1);
  ASSERT_NE(0, RamctlGetInitialFolders(At(empty, 0), &folders, &count));
  EXPECT_EQ(nullptr, folders);
  EXPECT_EQ(0u, count);
}

TEST_F(NoEngine, DamagedFolderBlockIsRefused) {
  std::vector<uint8_t> broken = {0x08, 0x00, '\\', 0, 'a', 0};  // says 8 bytes, holds 4
  auto list = Records({{}, {}, broken});
  LPWSTR *folders = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(0, RamctlGetInitialFolders(At(list, 0), &folders, &count));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), RamctlGetErrorCode());
  EXPECT_EQ(nullptr, folders);
}

}  // namespace
