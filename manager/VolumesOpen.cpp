// TOpenVolume and TOpenVolumeList: a snapshot of the volumes the engine has.
#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

TOpenVolume::TOpenVolume(uint64_t VolumeHandle) {
  if (!RamctlQueryVolumeInformation(VolumeHandle, &FInfo))
    throw EVolumeError(QStringLiteral("Querying volume information failed"));
}

void TOpenVolume::Dismount(bool Force) {
  if (!RamctlUnmount(FInfo.VolumeHandle, Force)) throw EVolumeError(QStringLiteral("Unmounting volume failed"));
}

QString TOpenVolume::FileName() const {
  LPWSTR path = nullptr;
  if (!RamctlGetImageFilePath(FInfo.VolumeHandle, &path)) return QString();
  QString name = path ? QString::fromUtf16(path) : QString();
  RamctlFree(&path);
  return name;
}

QString TOpenVolume::ImageFile() const {
  LPWSTR path = nullptr;
  if (!RamctlGetImageFilePath(FInfo.VolumeHandle, &path)) return Tr(QStringLiteral("Getting mounted image file name failed"));
  QString name = path ? QString::fromUtf16(path) : QString();
  RamctlFree(&path);
  return name.isEmpty() ? Tr(QStringLiteral("None")) : name;
}

QString TOpenVolume::FileSystem() const {
  QString name = QueryFileSystemName(QString(Letter()) + QStringLiteral(":\\"));
  return name.isEmpty() ? QStringLiteral("RAW") : name;
}

TOpenVolumeList::TOpenVolumeList(TOpenVolumeEnumType EnumType) : FEnumType(EnumType) { Enumerate(); }

void TOpenVolumeList::Enumerate() {
  uint32_t count = 0;
  uint64_t *handles = nullptr;
  if (!RamctlGetVolumes(&count, &handles)) throw EVolumeError(QStringLiteral("Enumerating open volumes failed"));
  // The array goes back to the library also when a query below fails.
  struct Release {
    uint64_t **handles;
    ~Release() { RamctlFree(handles); }
  } release{&handles};
  for (uint32_t i = 0; i < count; ++i) {
    auto volume = std::make_unique<TOpenVolume>(handles[i]);
    if (FEnumType == etAll || (FEnumType == etMemory && volume->InMemory()) ||
        (FEnumType == etFile && !volume->InMemory()))
      FItems.push_back(std::move(volume));
  }
}

void TOpenVolumeList::Refresh() {
  FItems.clear();
  Enumerate();
}

}  // namespace Ramdeck
