// Helpers shared by the security tests.
#pragma once

#include "se/sddl.h"
#include "nt/pool.h"
#include "nt/rtl.h"
#include "nt/security.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace bw::test {

inline constexpr ULONG kSdTag = 0x74736553;  // "Sest"
inline constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                 FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
inline constexpr char16_t kUsersFullSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)";
inline constexpr char16_t kUsersReadSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)";

inline std::vector<UCHAR> Sid(std::u16string_view text) {
  std::vector<UCHAR> sid;
  EXPECT_TRUE(bw::SddlToSid(text, &sid)) << "bad SID in test";
  return sid;
}

inline std::string SidText(PSID sid) {
  UNICODE_STRING s{};
  if (!NT_SUCCESS(RtlConvertSidToUnicodeString(&s, sid, TRUE))) return "<invalid>";
  std::string out(s.Buffer, s.Buffer + s.Length / sizeof(WCHAR));
  RtlFreeUnicodeString(&s);
  return out;
}

struct PoolSdDeleter {
  void operator()(VOID *p) const { ExFreePoolWithTag(p, kSdTag); }
};
using PoolSd = std::unique_ptr<VOID, PoolSdDeleter>;

inline PoolSd ParseSddl(std::u16string_view sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  NTSTATUS status = bw::SddlToSecurityDescriptor(sddl, &sd, kSdTag);
  EXPECT_EQ(status, STATUS_SUCCESS) << "SDDL refused";
  return PoolSd(sd);
}

}  // namespace bw::test
