// TVirtualVolume, TMemoryVolume, TDiskVolume and TImageCreator: one engine
// volume and the library calls that make, link, save and remove it.
#include "SystemRestore.h"
#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

TVirtualVolume::TVirtualVolume() = default;

uint32_t TVirtualVolume::GetMountFlags(bool windows8OrLater) const {
  uint32_t flags = 0;
  if (FReadOnly) flags |= 0x1;
  if (FRemovable) flags |= 0x2;
  if (FNoSecurity) flags |= 0x4;
  if (FNoImageLock) flags |= 0x10;
  if (FHDDEmulation) flags |= FImageFile.isEmpty() ? 0xB0280 : 0x30280;
  if (FSpecNuma && windows8OrLater) flags |= 0x100;
  return flags;
}

void TVirtualVolume::CheckLetter() {
  if (!FLetter.isLetter()) throw EVolumeError(QStringLiteral("Incorrect letter character"));
  if (RamctlIsLetterUsed(FLetter.unicode()))
    throw EVolumeError(QStringLiteral("Letter %s is already in use"), {QString(FLetter)});
}

void TVirtualVolume::CheckMountInfo() {
  if (FMountInfo.Status != 0 || FMountInfo.ImageStatus != 0)
    throw EVolumeError(QStringLiteral("Operation failed with status code = %8x and image status code = %s"),
                       {QString::number(static_cast<uint32_t>(FMountInfo.Status), 16),
                        ImageStatusText(static_cast<int32_t>(FMountInfo.ImageStatus))});
}

void TVirtualVolume::CreateLink() {
  if (!RamctlCreateLink(FMountInfo.VolumeHandle, 1, FLetter.unicode(), FSessionLink))
    throw EVolumeError(QStringLiteral("Link creation failed"));
  SetSystemRestore(FLetter, false);  // a RAM disk needs no restore points
}

void TVirtualVolume::Unmount(bool Force, bool Wipe) {
  if (!FMounted) return;
  if (!RamctlUnmountEx(FMountInfo.VolumeHandle, Force, Wipe))
    throw EVolumeError(QStringLiteral("Unmounting volume failed"));
  FMountInfo = MountResult{};
  FMounted = false;
}

QString TVirtualVolume::GetMountedImageFileName() {
  if (!FMounted) throw EVolumeError(QStringLiteral("Volume is not mounted to query attached image file name"));
  LPWSTR path = nullptr;
  if (!RamctlGetImageFilePath(FMountInfo.VolumeHandle, &path))
    throw EVolumeError(QStringLiteral("Getting mounted image file name failed"));
  QString name = path ? QString::fromUtf16(path) : QString();
  RamctlFree(&path);
  if (name.isEmpty()) throw EVolumeError(QStringLiteral("No image file attached to the volume"));
  return name;
}

void TMemoryVolume::CreateMemoryVolume(TFileSystemType FileSystem, uint32_t FormatFlags, const QByteArray &Label) {
  CheckLetter();
  std::u16string image = Wide(FImageFile), password = Wide(FPassword);
  MountResult result{};
  bool ok;
  if (!FImageFile.isEmpty()) {
    // Size, file system and label come from the image.
    ok = RamctlCreateMemoryVolumeEx(FAlgorithm, 0, image.c_str(), WideOrNull(password), GetMountFlags() | 8,
                                    GetEffectiveNumaNode(), 0, 0, nullptr, &result);
  } else {
    ok = RamctlCreateMemoryVolumeEx(FAlgorithm, FSize, nullptr, WideOrNull(password), GetMountFlags() | 8,
                                    GetEffectiveNumaNode(), FileSystem, FormatFlags, Label.constData(), &result);
  }
  if (!ok) throw EVolumeError(QStringLiteral("Memory volume creation failed"));
  FMountInfo = result;
  CheckMountInfo();
  FMounted = true;
  // A failed link leaves the volume in the engine, counted as mounted, so
  // that it can still be removed.
  CreateLink();
}

void TMemoryVolume::GetVolumeInfo(QChar Letter) {
  uint64_t handle = 0;
  if (!RamctlFindVolumeByLetter(Letter.unicode(), &handle))
    throw EVolumeError(QStringLiteral("Error reading volume info by letter"));
  FMountInfo = MountResult{};
  FMountInfo.VolumeHandle = handle;
  FLetter = Letter.toUpper();
  FMounted = true;
}

void TMemoryVolume::SaveTo(const QString &FileName) {
  if (!FMounted) return;
  if (FileName.isEmpty()) {
    if (!RamctlSaveImage(FMountInfo.VolumeHandle, 3)) throw EVolumeError(QStringLiteral("Saving image failed"));
    return;
  }
  std::u16string name = Wide(FileName);
  if (!RamctlSaveImageEx(FMountInfo.VolumeHandle, 1, name.c_str()))
    throw EVolumeError(QStringLiteral("Saving image to %s failed"), {FileName});
}

void TMemoryVolume::SetAutoFlushTimeSec(uint32_t Value) {
  if (!FMounted || FImageFile.isEmpty()) return;
  if (!RamctlSetFlushState(FMountInfo.VolumeHandle, Value, 3))
    throw EVolumeError(QStringLiteral("Setting image flush state failed"));
  FAutoFlushPeriodSec = Value;
}

void TMemoryVolume::SetAutoSaveOnShutdown(bool Value) {
  if (!RamctlSetProperties(FMountInfo.VolumeHandle, Value ? 1 : 0, Value ? 0 : 1))
    throw EVolumeError(QStringLiteral("Setting volume properties failed"));
}

bool TMemoryVolume::AutoSaveOnShutdown() const {
  VolumeInformation info{};
  if (!RamctlQueryVolumeInformation(FMountInfo.VolumeHandle, &info)) return false;
  return info.Properties & 1;
}

void TDiskVolume::MountDiskVolume() {
  CheckLetter();
  std::u16string image = Wide(FImageFile), password = Wide(FPassword);
  MountResult result{};
  if (!RamctlMountImage(image.c_str(), WideOrNull(password), GetMountFlags(), &result))
    throw EVolumeError(QStringLiteral("Disk image mounting failed"));
  FMountInfo = result;
  CheckMountInfo();
  FMounted = true;
  try {
    CreateLink();
  } catch (...) {
    Unmount(false, false);
    throw;
  }
}

void TImageCreator::CreateImage() {
  std::u16string name = Wide(FFileName), password = Wide(FPassword);
  QByteArray label = FVolumeLabel.toLatin1();
  if (!RamctlCreateImage(name.c_str(), FOverwrite, FHDDEmulation ? 2 : 1, FImageSize, WideOrNull(password),
                         FAlgorithm, FFileSystem, label.constData()))
    throw EVolumeError(QStringLiteral("Creation of image file failed"));
}

}  // namespace Ramdeck
