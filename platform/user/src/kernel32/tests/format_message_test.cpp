// System message texts and format strings through FormatMessageW, and the
// local memory it hands out; no daemon is needed.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string SystemText(DWORD code, DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS) {
  WCHAR buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | flags, nullptr, code, 0, buffer, 512, nullptr);
  return length ? std::u16string(buffer, length) : std::u16string();
}

std::u16string FromString(const char16_t *format, ...) {
  va_list args;
  va_start(args, format);
  WCHAR buffer[256];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_STRING, format, 0, 0, buffer, 256, &args);
  va_end(args);
  return length ? std::u16string(buffer, length) : u"<failed " + std::u16string(1, char16_t(GetLastError())) + u">";
}

TEST(FormatMessage, SystemTextsOfTheErrorsTheSystemSets) {
  EXPECT_EQ(u"The parameter is incorrect.\r\n", SystemText(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(u"The system cannot find the file specified.\r\n", SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(u"Access is denied.\r\n", SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(u"The local device name is already in use.\r\n", SystemText(ERROR_ALREADY_ASSIGNED));
  EXPECT_EQ(u"The object identifier does not represent a valid object.\r\n", SystemText(ERROR_OBJECT_NOT_FOUND));
  // Every error the status translation can give has a text.
  for (DWORD code : {1u, 2u, 3u, 5u, 6u, 8u, 13u, 17u, 18u, 19u, 21u, 22u, 24u, 31u, 32u, 33u, 38u, 50u, 87u, 112u,
                     122u, 123u, 145u, 161u, 183u, 206u, 223u, 234u, 259u, 267u, 995u, 997u, 998u, 1005u, 1008u,
                     1117u, 1168u, 1292u, 1300u, 1312u, 1313u, 1314u, 1338u, 1359u, 1392u, 1450u, 1460u, 1784u,
                     4312u})
    EXPECT_FALSE(SystemText(code).empty()) << code;
  // The insert stays as it is when inserts are ignored.
  EXPECT_EQ(u"%1 is not a valid Win32 application.\r\n", SystemText(193));
}

TEST(FormatMessage, FailuresAsWindowsReportsThem) {
  WCHAR buffer[8];
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 99999, 0, buffer, 8, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 8, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x407 /* German */, buffer, 8, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND), GetLastError());
  // A message with an insert needs its argument unless inserts are ignored.
  WCHAR big[256];
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 193, 0, big, 256, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(FormatMessage, AllocatedBufferIsFreedWithLocalFree) {
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                                ERROR_NOT_READY, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(std::u16string(u"The device is not ready.\r\n"), std::u16string(text));
  EXPECT_EQ(std::u16string(text).size(), length);
  EXPECT_EQ(nullptr, LocalFree(text));
}

TEST(FormatMessage, InsertsOfAFormatString) {
  EXPECT_EQ(u"b then a, 100%", FromString(u"%2 then %1, 100%%", u"a", u"b"));
  EXPECT_EQ(u"x\r\ny", FromString(u"%1!s!%n%2", u"x", u"y"));
  EXPECT_EQ(u"cut", FromString(u"cut%0 away"));
}

TEST(ErrorMode, TheLastModeComesBack) {
  UINT before = SetErrorMode(SEM_FAILCRITICALERRORS);
  EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS), GetErrorMode());
  EXPECT_EQ(static_cast<UINT>(SEM_FAILCRITICALERRORS), SetErrorMode(before));
}

}  // namespace
