// INF files through setupapi: opening one of a style, its destination
// folders, and its device class.
#include "platform/user/src/setupapi/inf_file.h"
#include "platform/user/src/setupapi/inf_handles.h"
#include "platform/user/src/setupapi/setup_paths.h"
#include "setupapi.h"

#include <cstdlib>

using namespace bw;
using namespace bw::inf;
using namespace bw::setup;

namespace {

constexpr DWORD kMaxClassName = 32;

// The folder a [DestinationDirs] entry ("12" or "12,sub\dir") names.
bool DestinationOf(const Line &line, std::u16string_view infFolder, std::u16string *folder) {
  if (line.fields.empty()) return false;
  std::string digits(line.fields[0].begin(), line.fields[0].end());
  char *stop = nullptr;
  unsigned long id = strtoul(digits.c_str(), &stop, 10);
  if (digits.empty() || *stop) return false;
  if (!DirIdFolder(static_cast<unsigned>(id), infFolder, folder)) return false;
  if (line.fields.size() > 1 && !line.fields[1].empty()) *folder += u"\\" + line.fields[1];
  return true;
}

}  // namespace

namespace bw::setup {

bool TargetFolder(const OpenInf &open, std::u16string_view section, std::u16string *folder) {
  const Section *dirs = open.inf.Find(u"DestinationDirs");
  if (dirs) {
    for (int pass = 0; pass < 2; ++pass) {
      std::u16string_view wanted = pass == 0 ? section : std::u16string_view(u"DefaultDestDir");
      if (wanted.empty()) continue;
      for (const Line &l : dirs->lines)
        if (l.hasKey && EqualNoCase(l.key, wanted)) {
          if (!DestinationOf(l, open.folder, folder)) {
            SetLastError(ERROR_GENERAL_SYNTAX);
            return false;
          }
          return true;
        }
    }
  }
  // With no entry at all, files go to System32.
  return DirIdFolder(11, open.folder, folder);
}

}  // namespace bw::setup

extern "C" HINF WINAPI SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle,
                                        PUINT ErrorLine) {
  if (ErrorLine) *ErrorLine = 0;
  if (!FileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto open = std::make_unique<OpenInf>();
  unsigned line = 0;
  if (!LoadInf(FileName, &open->inf, &line)) {
    if (ErrorLine) *ErrorLine = line;
    return INVALID_HANDLE_VALUE;
  }
  if ((InfStyle & INF_STYLE_WIN4) && !(InfStyle & INF_STYLE_OLDNT) && !open->inf.IsWin4Style()) {
    SetLastError(ERROR_WRONG_INF_STYLE);
    return INVALID_HANDLE_VALUE;
  }
  if (InfClass) {
    const std::u16string *cls = open->inf.Value(u"Version", u"Class");
    if (!cls || !EqualNoCase(*cls, InfClass)) {
      SetLastError(ERROR_CLASS_MISMATCH);
      return INVALID_HANDLE_VALUE;
    }
  }
  open->path = FileName;
  open->folder = FolderOf(FileName);
  return RegisterInf(std::move(open));
}

extern "C" VOID WINAPI SetupCloseInfFile(HINF InfHandle) { ReleaseInf(InfHandle); }

extern "C" BOOL WINAPI SetupGetTargetPathW(HINF InfHandle, PINFCONTEXT InfContext, PCWSTR Section,
                                          PWSTR ReturnBuffer, DWORD ReturnBufferSize,
                                          PDWORD RequiredSize) {
  auto open = FindInf(InfHandle);
  if (!open) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::u16string section;
  if (InfContext) {
    const auto &sections = open->inf.Sections();
    if (InfContext->Section >= sections.size()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    section = sections[InfContext->Section].name;
  } else if (Section) {
    section = Section;
  }
  std::u16string folder;
  if (!TargetFolder(*open, section, &folder)) return FALSE;
  return CopyOut(folder, ReturnBuffer, ReturnBufferSize, RequiredSize);
}

extern "C" BOOL WINAPI SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName,
                                          DWORD ClassNameSize, PDWORD RequiredSize) {
  if (!InfName || !ClassGuid || (!ClassName && ClassNameSize)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  InfFile inf;
  if (!LoadInf(InfName, &inf, nullptr)) return FALSE;
  const std::u16string *cls = inf.Value(u"Version", u"Class");
  const std::u16string *guidText = inf.Value(u"Version", u"ClassGUID");
  GUID guid{};
  if (guidText && !ParseGuid(*guidText, &guid)) {
    SetLastError(ERROR_INVALID_CLASS);
    return FALSE;
  }
  if (!cls || cls->empty()) {
    SetLastError(ERROR_NO_ASSOCIATED_CLASS);
    return FALSE;
  }
  if (cls->size() >= kMaxClassName) {
    SetLastError(ERROR_INVALID_CLASS);
    return FALSE;
  }
  *ClassGuid = guid;
  DWORD needed = static_cast<DWORD>(cls->size() + 1);
  if (RequiredSize) *RequiredSize = needed;
  if (ClassNameSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return CopyOut(*cls, ClassName, ClassNameSize, nullptr);
}
