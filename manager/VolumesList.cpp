// TUserVolumeList: the configured disks, boot disks written to and read
// from the engine's automatic volumes, and mounting at start and
// dismounting at the end.
#include "Translate.h"
#include "Volumes.h"

namespace Ramdeck {

namespace {

QChar Upper(QChar letter) { return letter >= u'a' && letter <= u'z' ? letter.toUpper() : letter; }

// Whatever the library handed out goes back to it, also after an error.
template <class T>
struct LibraryBlock {
  T *pointer = nullptr;
  ~LibraryBlock() { RamctlFree(&pointer); }
};

}  // namespace

int TUserVolumeList::IndexOf(const TUserVolume *Item) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == Item) return static_cast<int>(i);
  return -1;
}

TUserVolume *TUserVolumeList::Add(std::unique_ptr<TUserVolume> Item) {
  if (Item->IsBoot()) WriteBootVolume(*Item);
  FItems.push_back(std::move(Item));
  return FItems.back().get();
}

void TUserVolumeList::Remove(TUserVolume *Item) {
  int index = IndexOf(Item);
  if (index < 0) return;
  if (Item->IsBoot()) DeleteBootVolume(Item->FLetter);
  FItems.erase(FItems.begin() + index);
}

void TUserVolumeList::Update(TUserVolume *Item, QChar Letter) {
  if (!Item->IsBoot()) return;
  if (Upper(Letter) != Upper(Item->FLetter)) DeleteBootVolume(Letter);
  WriteBootVolume(*Item);
}

void TUserVolumeList::DeleteBootVolume(QChar Letter) {
  if (!RamctlDeleteAutoVolume(Letter.unicode()))
    throw EVolumeError(QStringLiteral("Error deleting boot volume by letter '%s'"), {QString(Letter)});
}

void TUserVolumeList::ClearBoot() {
  if (!RamctlDeleteAllAutoVolumes()) throw EVolumeError(QStringLiteral("Error deleting all boot volumes"));
}

void TUserVolumeList::ClearDisks() {
  FItems.clear();
  ClearBoot();
}

void TUserVolumeList::WriteBootVolume(const TUserVolume &Item) {
  uint32_t flags = 0xC;
  if (Item.FCompressed) flags |= 0x40;
  if (Item.FRemovable) flags |= 0x2;
  if (Item.FHDDEmulation) flags |= 0x30280;
  if (Item.FSpecNuma) flags |= 0x100;  // on every version: the engine decides at start
  if (Item.FImageFile.isEmpty() && Item.FHDDEmulation) flags |= 0x80000;
  uint32_t numaNode = IsWindows8OrLater() ? Item.FNumaNode : 0;
  uint32_t properties = Item.FSaveToImage ? 1 : 0;
  uint32_t flushSeconds = Item.FAutoFlushEnabled ? uint32_t(Item.FAutoFlushTimeMin) * 60 : 0;
  QByteArray label = MakeVolumeLabel(Item.FFileSystem, Item.FVolumeLabel);
  bool ok;
  if (!Item.FImageFile.isEmpty()) {
    std::u16string image = Wide(Item.FImageFile);
    ok = RamctlAddAutoVolumeEx(Item.FLetter.unicode(), nullptr, 0, flags, numaNode, properties, Item.FSize,
                               Item.FileSystemNumber(), label.constData(), image.c_str(), nullptr, 0, 1,
                               flushSeconds);
  } else {
    std::vector<std::u16string> folders;
    for (const QString &folder : Item.FCreateFolders) folders.push_back(Wide(u'\\' + folder));
    std::vector<LPCWSTR> pointers;
    for (auto &folder : folders) pointers.push_back(folder.c_str());
    ok = RamctlAddAutoVolumeEx(Item.FLetter.unicode(), nullptr, 0, flags, numaNode, properties, Item.FSize,
                               Item.FileSystemNumber(), label.constData(), nullptr,
                               pointers.empty() ? nullptr : pointers.data(), static_cast<uint32_t>(pointers.size()),
                               0, 0);
  }
  if (!ok) throw EVolumeError(QStringLiteral("Error adding/editing boot volume"));
}

void TUserVolumeList::ReadBootVolumes(bool LocalLinks) {
  LibraryBlock<VV_AUTO_VOLUME_DATA> records;
  uint32_t count = 0;
  if (!RamctlGetAutoVolumes(&records.pointer, &count)) return;
  VV_AUTO_VOLUME_DATA *record = records.pointer;
  for (uint32_t i = 0; i < count && record; ++i, record = RamctlGetNextAutoVolume(record)) {
    auto disk = std::make_unique<TBootVolume>();
    uint32_t fileSystem = record->FileSystem;
    if (fileSystem > 3)
      throw Exception(Tr(QStringLiteral("Internal error: unknown file system %s in a boot volume"))
                          .replace(QStringLiteral("%s"), QString::number(fileSystem)));
    disk->FFileSystem = static_cast<TFileSystemType>(fileSystem);
    disk->FSaveToImage = record->Properties & 1;
    disk->SetLetter(QChar(char16_t(record->DriveLetter)));
    disk->FSize = record->VolumeSize;
    if (record->ImageFilePathLength) {
      LibraryBlock<WCHAR> path;
      path.pointer = RamctlGetAutoVolumeImagePath(record);
      if (path.pointer) disk->FImageFile = QString::fromUtf16(path.pointer);
    }
    {
      LibraryBlock<CHAR> label;
      label.pointer = RamctlGetAutoVolumeLabel(record);
      if (label.pointer) disk->FVolumeLabel = QString::fromLatin1(label.pointer);
    }
    {
      LibraryBlock<LPWSTR> folders;
      uint32_t folderCount = 0;
      if (RamctlGetInitialFolders(record, &folders.pointer, &folderCount))
        for (uint32_t f = 0; f < folderCount; ++f) disk->FCreateFolders << QString::fromUtf16(folders.pointer[f]).mid(1);
    }
    uint32_t flags = record->MountFlags;
    disk->FCompressed = flags & 0x40;
    disk->FRemovable = flags & 0x2;
    disk->FHDDEmulation = flags & 0x80;
    disk->FSpecNuma = flags & 0x100;
    disk->FNumaNode = record->NumaNodeIndex;
    if (uint32_t period = record->AutoflushPeriod) {
      disk->FAutoFlushTimeMin = static_cast<int32_t>(period / 60);
      disk->FAutoFlushEnabled = true;
    }
    disk->QueryMountedVolume();
    disk->FLocalLink = LocalLinks;
    Add(std::move(disk));
  }
}

void TUserVolumeList::AutoMount() {
  for (auto &item : FItems) {
    auto *disk = dynamic_cast<TLogonVolume *>(item.get());
    if (!disk) continue;
    disk->QueryMountedVolume();
    if (disk->Mountable() && !disk->FExternalMount) disk->Mount();
  }
}

void TUserVolumeList::AutoDismount(TDiskType DiskType) {
  for (auto &item : FItems) {
    bool boot = item->IsBoot();
    if ((DiskType == dtLogon && boot) || (DiskType == dtBoot && !boot)) continue;
    if (!boot && static_cast<TLogonVolume *>(item.get())->FExternalMount) continue;
    // Without an image there is nothing to save to; the engine would refuse
    // and the disks after this one would stay mounted.
    if (item->FSaveToImage && !item->FImageFile.isEmpty()) item->Save();
    item->Dismount(true);
  }
}

int TUserVolumeList::IndexOfLetter(QChar Letter) const {
  QChar wanted = Upper(Letter);
  for (size_t i = 0; i < FItems.size(); ++i)
    if (Upper(FItems[i]->FLetter) == wanted) return static_cast<int>(i);
  return -1;
}

int TUserVolumeList::GetTotalMountedCount() const {
  int count = 0;
  for (auto &item : FItems) count += item->FMounted;
  return count;
}

int TUserVolumeList::GetDismountableCount() const {
  int count = 0;
  for (auto &item : FItems)
    if (!item->IsBoot() && item->FMounted && !static_cast<TLogonVolume *>(item.get())->FExternalMount) ++count;
  return count;
}

}  // namespace Ramdeck
