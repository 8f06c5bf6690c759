// TUserVolume, TLogonVolume and TBootVolume: a configured RAM disk, how it
// is mounted (volume, properties, root folder, initial folders, flushing),
// dismounted, saved and found again in the engine.
#include <aclapi.h>
#include <windows.h>

#include "Volumes.h"

namespace Ramdeck {

TUserVolume::TUserVolume() : FMemoryVolume(std::make_unique<TMemoryVolume>()) {}

void TUserVolume::Mount() {
  TMemoryVolume &volume = *FMemoryVolume;
  volume.FLetter = FLetter;
  volume.FSize = FSize;
  volume.FImageFile = FImageFile;
  volume.FRemovable = FRemovable;
  volume.FNoSecurity = true;
  volume.FSessionLink = FLocalLink;
  volume.FHDDEmulation = FHDDEmulation;
  volume.FNumaNode = FNumaNode;
  volume.FSpecNuma = FSpecNuma;
  volume.CreateMemoryVolume(FFileSystem, FCompressed ? 1 : 0, MakeVolumeLabel(FFileSystem, FVolumeLabel));
  volume.SetAutoSaveOnShutdown(FSaveToImage);
  FMounted = true;
  if (FFileSystem != fsRAW) {
    // None of these stops the disk from being used: their failures pass.
    MarkRootNotIndexed();
    GrantUsersAccess();
    CreateInitialFolders();
  }
  ApplyAutoFlush();
}

void TUserVolume::MarkRootNotIndexed() {
  constexpr DWORD kNotContentIndexed = 0x2000;  // FILE_ATTRIBUTE_NOT_CONTENT_INDEXED
  std::u16string root = Wide(RootPath());
  SetFileAttributesW(root.c_str(), kNotContentIndexed);
}

void TUserVolume::GrantUsersAccess() {
  std::u16string root = Wide(RootPath());
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(root.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return;
  BYTE users[255];
  DWORD usersSize = sizeof users;
  if (CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &usersSize)) {
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | DELETE;  // 0xE0010000
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(users);
    PACL merged = nullptr;
    if (SetEntriesInAclW(1, &access, dacl, &merged) == ERROR_SUCCESS) {
      SetNamedSecurityInfoW(root.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, merged,
                            nullptr);
      LocalFree(merged);
    }
  }
  LocalFree(descriptor);
}

void TUserVolume::CreateInitialFolders() {
  for (const QString &entry : FCreateFolders) {
    QString folder = entry.trimmed();
    if (folder.isEmpty()) continue;
    QString path = RootPath() + folder;
    path.replace(u'/', u'\\');
    // Each missing parent first, as a forced directory creation does.
    for (int at = path.indexOf(u'\\', 3);; at = path.indexOf(u'\\', at + 1)) {
      std::u16string part = Wide(at < 0 ? path : path.left(at));
      if (part.size() > 3) CreateDirectoryW(part.c_str(), nullptr);
      if (at < 0) break;
    }
  }
}

void TUserVolume::ApplyAutoFlush() {
  uint32_t seconds = FAutoFlushEnabled && FAutoFlushTimeMin != 0 ? uint32_t(FAutoFlushTimeMin) * 60 : 0;
  FMemoryVolume->SetAutoFlushTimeSec(seconds);
}

void TUserVolume::Dismount(bool Force) {
  if (!FMounted) return;
  FMemoryVolume->Unmount(Force, WipeOnDismount());
  FMounted = false;
}

void TUserVolume::Save() {
  if (FMounted) FMemoryVolume->Save();
}

void TUserVolume::QueryMountedVolume() {
  if (RamctlIsMemoryVolume(FLetter.unicode())) {
    FMemoryVolume->GetVolumeInfo(FLetter);
    FMounted = true;
  } else {
    FMounted = false;
  }
}

void TLogonVolume::QueryMountedVolume() {
  TUserVolume::QueryMountedVolume();
  FExternalMount = FMounted;
}

QString TUserVolume::FileSystemAsStr() const {
  if (!FImageFile.isEmpty()) return QueryFileSystemName(RootPath());
  switch (FFileSystem) {
    case fsFAT:
      return QStringLiteral("FAT");
    case fsFAT32:
      return QStringLiteral("FAT32");
    case fsNTFS:
      return QStringLiteral("NTFS");
    default:
      return QStringLiteral("RAW");
  }
}

uint64_t TUserVolume::SizeForUI() const {
  return (FImageFile.isEmpty() ? FSize : GetFileSize(FImageFile)) / 1048576;
}

}  // namespace Ramdeck
