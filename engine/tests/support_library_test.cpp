// Kernel-support helpers that need a running kernel: registry walks,
// symbolic links, version checks, device requests.
#include "engine/tests/engine_fixture.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_handle_table.h"
#include "kernel-support/ks_registry.h"
#include "kernel-support/ks_string.h"
#include "kernel-support/ks_symlink.h"
#include "kernel-support/ks_version.h"

#include <set>

namespace enginetest {
namespace {

class SupportLibrary : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    UNICODE_STRING path = View(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KsTest");
    ASSERT_STATUS(STATUS_SUCCESS, KsCreateKey(&key_, nullptr, &path, KEY_ALL_ACCESS, 0, nullptr));
  }
  void TearDown() override {
    if (key_) {
      ZwDeleteKey(key_);
      ZwClose(key_);
    }
    KernelFixture::TearDown();
  }
  void SetDword(const char16_t *name, ULONG value) {
    ASSERT_STATUS(STATUS_SUCCESS, KsSetValue(key_, name, REG_DWORD, &value, sizeof(value)));
  }
  std::set<std::u16string> ValueNames() {
    std::set<std::u16string> names;
    KsEnumerateValues(
        key_, nullptr,
        [](PVOID context, PCUNICODE_STRING name, ULONG, const VOID *, ULONG) -> ULONG {
          static_cast<std::set<std::u16string> *>(context)->insert(Text(name));
          return KS_ENUM_SKIP;
        },
        &names);
    return names;
  }
  HANDLE key_ = nullptr;
};

TEST_F(SupportLibrary, TypedReadsCheckTypeAndSize) {
  SetDword(u"Dword", 7);
  ULONGLONG big = 1ull << 40;
  ASSERT_STATUS(STATUS_SUCCESS, KsSetValue(key_, u"Qword", REG_QWORD, &big, sizeof(big)));
  ASSERT_STATUS(STATUS_SUCCESS, KsSetValue(key_, u"Short", REG_DWORD, &big, 2));
  const char16_t text[] = u"Volume\0";
  ASSERT_STATUS(STATUS_SUCCESS, KsSetValue(key_, u"Text", REG_SZ, text, sizeof(text)));

  ULONG dword = 0;
  ULONGLONG qword = 0;
  EXPECT_STATUS(STATUS_SUCCESS, KsReadDword(key_, u"Dword", &dword));
  EXPECT_EQ(7u, dword);
  EXPECT_STATUS(STATUS_SUCCESS, KsReadQword(key_, u"Qword", &qword));
  EXPECT_EQ(big, qword);
  EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, KsReadDword(key_, u"Qword", &dword));
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE, KsReadDword(key_, u"Short", &dword));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, KsReadDword(key_, u"Missing", &dword));

  PUNICODE_STRING string = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsReadString(key_, u"Text", &string));
  EXPECT_EQ(u"Volume", Text(string));  // trailing zeros are not text
  KsFreeString(&string);
  EXPECT_STATUS(STATUS_OBJECT_TYPE_MISMATCH, KsReadString(key_, u"Dword", &string));

  PVOID data = nullptr;
  ULONG length = 0, type = 0;
  ASSERT_STATUS(STATUS_SUCCESS, KsReadBinary(key_, u"Qword", &data, &length, &type));
  EXPECT_EQ(8u, length);
  EXPECT_EQ(static_cast<ULONG>(REG_QWORD), type);
  KsFree(&data);
}

TEST_F(SupportLibrary, EnumerationAdvancesOnlyPastKeptValues) {
  for (auto name : {u"A:", u"B:", u"C:", u"Keep", u"D:"}) SetDword(name, 1);
  // Delete every "?:" value: deleting must not skip the value that follows.
  int visits = 0;
  ASSERT_STATUS(STATUS_SUCCESS,
                KsEnumerateValues(
                    key_, u"?:",
                    [](PVOID context, PCUNICODE_STRING, ULONG, const VOID *, ULONG) -> ULONG {
                      ++*static_cast<int *>(context);
                      return KS_ENUM_DELETE;
                    },
                    &visits));
  EXPECT_EQ(4, visits);
  EXPECT_EQ(std::set<std::u16string>{u"Keep"}, ValueNames());

  for (auto name : {u"X1", u"X2", u"X3"}) SetDword(name, 1);
  visits = 0;
  KsEnumerateValues(
      key_, nullptr,
      [](PVOID context, PCUNICODE_STRING, ULONG, const VOID *, ULONG) -> ULONG {
        return ++*static_cast<int *>(context) == 2 ? KS_ENUM_STOP : KS_ENUM_SKIP;
      },
      &visits);
  EXPECT_EQ(2, visits);
}

TEST_F(SupportLibrary, DeletingWhatIsNotThereSucceeds) {
  EXPECT_STATUS(STATUS_SUCCESS, KsDeleteValue(key_, u"NeverWritten"));
  UNICODE_STRING missingKey = View(u"NoSuchSubkey");
  EXPECT_STATUS(STATUS_SUCCESS, KsDeleteKey(key_, &missingKey));
  UNICODE_STRING missingLink = View(u"\\??\\BwNoSuchLink");
  EXPECT_STATUS(STATUS_SUCCESS, KsDeleteSymbolicLink(&missingLink));
}

TEST_F(SupportLibrary, SymbolicLinkTargetIsReadBack) {
  UNICODE_STRING link = View(u"\\??\\BwTestLink");
  std::u16string longTarget = u"\\Device\\" + std::u16string(300, u'T');
  UNICODE_STRING target{static_cast<USHORT>(longTarget.size() * 2), static_cast<USHORT>(longTarget.size() * 2),
                        longTarget.data()};
  ASSERT_STATUS(STATUS_SUCCESS, KsCreateSymbolicLink(&link, &target));
  PUNICODE_STRING read = nullptr;
  // Longer than the first attempt's buffer: found by the retry.
  ASSERT_STATUS(STATUS_SUCCESS, KsQuerySymbolicLink(&link, &read));
  EXPECT_EQ(longTarget, Text(read));
  KsFreeString(&read);
  EXPECT_STATUS(STATUS_SUCCESS, KsDeleteSymbolicLink(&link));
  EXPECT_FALSE(bw::ObjectExists(u"\\??\\BwTestLink"));
}

TEST_F(SupportLibrary, VersionChecksFollowTheSystem) {
  struct Case {
    ULONG major, minor;
    bool xp, server2003, vista, seven, later;
  } cases[] = {{5, 1, true, false, false, false, false},
               {5, 2, false, true, false, false, false},
               {6, 0, false, false, true, false, false},
               {6, 1, false, false, false, true, false},
               {6, 2, false, false, false, false, true},
               {10, 0, false, false, false, false, true}};
  for (const auto &c : cases) {
    bw::SetSystemVersion(c.major, c.minor, 2600, true);
    KsRefreshSystemVersion();
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
    EXPECT_EQ(c.xp, KsIsWindowsXp() != FALSE);
    EXPECT_EQ(c.server2003, KsIsWindows2003() != FALSE);
    EXPECT_EQ(c.vista, KsIsWindowsVista() != FALSE);
    EXPECT_EQ(c.seven, KsIsWindows7() != FALSE);
    EXPECT_EQ(c.later, KsIsLaterThanWindows7() != FALSE);
  }
  bw::SetSystemVersion(6, 1, 7601, false);
  KsRefreshSystemVersion();
  EXPECT_TRUE(KsSystemVersion()->Server);
  EXPECT_EQ(7601u, KsSystemVersion()->Build);
}

TEST_F(SupportLibrary, DeviceControlReachesTheBus) {
  ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
  UNICODE_STRING name = View(u"\\Device\\BrimwellDisk");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsGetDeviceObject(&name, FILE_READ_DATA, &file, &device));
  uint8_t registration[36] = {};
  registration[4] = 1;  // a non-zero event routine
  IO_STATUS_BLOCK iosb;
  EXPECT_STATUS(STATUS_SUCCESS, KsDeviceControl(device, 0x222004, registration, 36, nullptr, 0, TRUE, &iosb));
  EXPECT_EQ(0u, iosb.Information);
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE,
                KsDeviceControl(device, 0x222004, registration, 35, nullptr, 0, TRUE, &iosb));
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE, iosb.Status);
  ObDereferenceObject(file);
}

TEST_F(SupportLibrary, HandleTableDestroysAfterTheLastReference) {
  struct Destroyed {
    std::vector<uintptr_t> objects;
  } destroyed;
  KS_HANDLE_TABLE *table = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS,
                KsHandleTableCreate(
                    [](PVOID context, PVOID object) {
                      static_cast<Destroyed *>(context)->objects.push_back(reinterpret_cast<uintptr_t>(object));
                    },
                    &destroyed, &table));
  ULONG64 first = 0, second = 0;
  ASSERT_STATUS(STATUS_SUCCESS, KsHandleTableInsert(table, reinterpret_cast<PVOID>(0x10), &first));
  ASSERT_STATUS(STATUS_SUCCESS, KsHandleTableInsert(table, reinterpret_cast<PVOID>(0x20), &second));
  EXPECT_NE(0u, first);
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, KsHandleTableCount(table));

  // A holder keeps the object alive past its removal from the table.
  KS_HANDLE_ENTRY *entry = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, KsHandleTableReference(table, first, &entry));
  EXPECT_EQ(reinterpret_cast<PVOID>(0x10), entry->Object);
  EXPECT_STATUS(STATUS_SUCCESS, KsHandleTableRemove(table, first));
  EXPECT_STATUS(STATUS_INVALID_HANDLE, KsHandleTableRemove(table, first));
  KS_HANDLE_ENTRY *again = nullptr;
  EXPECT_STATUS(STATUS_INVALID_HANDLE, KsHandleTableReference(table, first, &again));
  EXPECT_TRUE(destroyed.objects.empty());
  KsHandleEntryRelease(&entry);
  EXPECT_EQ(nullptr, entry);
  EXPECT_EQ(std::vector<uintptr_t>{0x10}, destroyed.objects);

  // The walk stops when asked.
  ASSERT_STATUS(STATUS_SUCCESS, KsHandleTableInsert(table, reinterpret_cast<PVOID>(0x30), &first));
  int visits = 0;
  KsHandleTableWalk(
      table, [](PVOID context, ULONG64, PVOID) -> ULONG { return ++*static_cast<int *>(context) == 1 ? KS_VISIT_STOP : KS_VISIT_CONTINUE; },
      &visits);
  EXPECT_EQ(1, visits);

  KsHandleTableDestroy(&table);
  EXPECT_EQ(nullptr, table);
  EXPECT_EQ(3u, destroyed.objects.size());
  EXPECT_EQ("", DriverPoolLeaks());
}

}  // namespace
}  // namespace enginetest
