// The manager's object model of engine volumes and its configured disks.
// Every engine operation of the manager goes through these classes, which
// call the control library and turn each failed call into EVolumeError.
// TVirtualVolume (TMemoryVolume, TDiskVolume) wraps one engine volume,
// TImageCreator makes an image file, TOpenVolume(List) is a snapshot of
// what the engine has; TUserVolume (TLogonVolume, TBootVolume) is a
// configured RAM disk and TUserVolumeList holds them.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

#include "Errors.h"
#include "VolumeTypes.h"
#include "ctl/ramctl.h"

namespace Ramdeck {

// A failed engine call: the message, CR LF, then the library's last error
// in decimal, a space and the system's text for it.
class EVolumeError : public Exception {
 public:
  explicit EVolumeError(const QString &Msg);
  // Msg is translated, then its "%s"/"%d"/"%u"/"%x" take Args in order.
  EVolumeError(const QString &Msg, const QStringList &Args);
};

// "<code> <system text>" of the library's last error.
QString LastErrorText();
// Formats a translated text: "%s", "%d", "%u", "%x" with optional width
// ("%8x") take the arguments in order; "%%" is a percent sign.
QString FormatText(const QString &format, const QStringList &args);

QString ImageStatusText(int32_t code);
// The label made fit for the file system, in the system code page.
QByteArray MakeVolumeLabel(TFileSystemType FileSystem, const QString &Label);
bool IsWindows8OrLater();
uint64_t GetFreeMemory();
// %NAME% expanded; the input itself when expansion fails.
QString ExpandEnvironment(const QString &text);
// Bytes of a file, 0 when it cannot be found.
uint64_t GetFileSize(const QString &fileName);
// The file-system name the volume of the root reports, empty on failure;
// critical-error dialogs are suppressed meanwhile.
QString QueryFileSystemName(const QString &root);

// Library strings: UTF-16 in, and copies of what it hands out.
std::u16string Wide(const QString &text);
const char16_t *WideOrNull(const std::u16string &text);

class TVirtualVolume {
 public:
  TVirtualVolume();
  virtual ~TVirtualVolume() = default;

  void CheckLetter();
  void CheckMountInfo();
  void CreateLink();
  void Unmount(bool Force, bool Wipe);
  QString GetMountedImageFileName();
  uint32_t GetMountFlags() const { return GetMountFlags(IsWindows8OrLater()); }
  uint32_t GetMountFlags(bool windows8OrLater) const;
  uint32_t GetEffectiveNumaNode() const { return IsWindows8OrLater() ? FNumaNode : 0; }
  uint64_t VolumeHandle() const { return FMountInfo.VolumeHandle; }
  bool Mounted() const { return FMounted; }

  bool FNoImageLock = false;
  bool FRemovable = false;
  bool FReadOnly = false;
  bool FNoSecurity = false;
  uint64_t FSize = 0;
  TAlgorithm FAlgorithm = AlgNull;
  bool FMounted = false;
  QString FImageFile;
  QString FPassword;  // never set by the manager
  MountResult FMountInfo{};
  QChar FLetter;
  bool FSessionLink = false;
  bool FHDDEmulation = false;
  uint32_t FNumaNode = 0;
  bool FSpecNuma = false;
};

class TMemoryVolume : public TVirtualVolume {
 public:
  void CreateMemoryVolume(TFileSystemType FileSystem, uint32_t FormatFlags, const QByteArray &Label);
  void GetVolumeInfo(QChar Letter);
  void Save() { SaveTo(QString()); }
  void SaveTo(const QString &FileName);
  void SetAutoFlushTimeSec(uint32_t Value);
  void SetAutoSaveOnShutdown(bool Value);
  bool AutoSaveOnShutdown() const;

  uint32_t FAutoFlushPeriodSec = 0;
};

class TDiskVolume : public TVirtualVolume {
 public:
  void MountDiskVolume();
};

class TImageCreator {
 public:
  void CreateImage();

  TAlgorithm FAlgorithm = AlgNull;
  QString FFileName;
  bool FOverwrite = false;
  uint64_t FImageSize = 0;
  QString FPassword;
  TFileSystemType FFileSystem = fsRAW;
  QString FVolumeLabel;
  bool FHDDEmulation = false;
};

// One engine volume as the engine described it when the snapshot was made.
class TOpenVolume {
 public:
  explicit TOpenVolume(uint64_t VolumeHandle);
  void Dismount(bool Force);

  uint64_t VolumeHandle() const { return FInfo.VolumeHandle; }
  QChar Letter() const { return QChar(char16_t(FInfo.DriveLetter)); }
  uint64_t Size() const { return FInfo.VolumeSize; }
  bool Removable() const { return FInfo.StateFlags & 0x100; }
  bool InMemory() const { return FInfo.StateFlags & 0x800; }
  bool IsSession() const { return FInfo.SessionLocal != 0; }
  QString FileName() const;
  QString FileSystem() const;
  QString ImageFile() const;
  const VolumeInformation &Info() const { return FInfo; }

 private:
  VolumeInformation FInfo{};
};

class TOpenVolumeList {
 public:
  explicit TOpenVolumeList(TOpenVolumeEnumType EnumType);
  void Enumerate();
  void Refresh();
  int Count() const { return static_cast<int>(FItems.size()); }
  TOpenVolume *Items(int Index) const { return FItems.at(Index).get(); }

  TOpenVolumeEnumType FEnumType;

 private:
  std::vector<std::unique_ptr<TOpenVolume>> FItems;
};

// A configured RAM disk.
class TUserVolume {
 public:
  TUserVolume();
  virtual ~TUserVolume() = default;

  // Virtual operations, in slot order.
  virtual bool Mountable() const = 0;
  virtual bool WipeOnDismount() const = 0;
  virtual void SetMountable(bool Value) = 0;
  virtual void QueryMountedVolume();
  virtual void Mount();

  void Dismount(bool Force);
  void Save();
  void UpdateMountInfo() { QueryMountedVolume(); }
  QString FileSystemAsStr() const;
  uint64_t SizeForUI() const;
  uint64_t VolumeHandle() const { return FMemoryVolume->VolumeHandle(); }
  uint32_t FileSystemNumber() const { return static_cast<uint32_t>(FFileSystem); }
  QChar Letter() const { return FLetter; }
  void SetLetter(QChar Value) { FLetter = Value.toUpper(); }
  QString RootPath() const { return QString(FLetter) + QStringLiteral(":\\"); }
  virtual bool IsBoot() const = 0;

  bool FHDDEmulation = false;
  QStringList FCreateFolders;
  bool FCompressed = false;
  TFileSystemType FFileSystem = fsRAW;
  QString FImageFile;
  QString FVolumeLabel;
  QChar FLetter;
  bool FLocalLink = false;
  std::unique_ptr<TMemoryVolume> FMemoryVolume;
  bool FMounted = false;
  bool FSaveToImage = false;
  uint64_t FSize = 0;
  int32_t FAutoFlushTimeMin = 0;
  bool FAutoFlushEnabled = false;
  bool FRemovable = false;
  uint32_t FNumaNode = 0;
  bool FSpecNuma = false;

 protected:
  void MarkRootNotIndexed();
  void GrantUsersAccess();
  void CreateInitialFolders();
  void ApplyAutoFlush();
};

// Created by the manager at start (or when the user mounts it).
class TLogonVolume : public TUserVolume {
 public:
  TLogonVolume() { FAutoFlushTimeMin = 60; }
  bool Mountable() const override { return FMountable; }
  bool WipeOnDismount() const override { return FWipeOnDismount; }
  void SetMountable(bool Value) override { FMountable = Value; }
  void QueryMountedVolume() override;
  bool IsBoot() const override { return false; }

  bool FMountable = true;
  bool FWipeOnDismount = false;
  bool FExternalMount = false;
};

// Kept by the engine as an automatic volume, made at system start.
class TBootVolume : public TUserVolume {
 public:
  bool Mountable() const override { return false; }
  bool WipeOnDismount() const override { return false; }
  void SetMountable(bool) override {}
  bool IsBoot() const override { return true; }
};

class TUserVolumeList {
 public:
  enum TDiskType { dtLogon = 0, dtBoot = 1, dtBoth = 2 };

  TUserVolumeList() = default;
  TUserVolumeList(const TUserVolumeList &) = delete;
  TUserVolumeList &operator=(const TUserVolumeList &) = delete;

  // A boot disk is written to the engine first; on failure the list is
  // unchanged and the item freed.
  TUserVolume *Add(std::unique_ptr<TUserVolume> Item);
  // A boot disk's automatic volume is deleted first; on failure the disk stays.
  void Remove(TUserVolume *Item);
  void Update(TUserVolume *Item, QChar Letter);
  void DeleteBootVolume(QChar Letter);
  void WriteBootVolume(const TUserVolume &Item);
  void ClearBoot();
  void ClearDisks();
  void ReadBootVolumes(bool LocalLinks);
  void AutoMount();
  void AutoDismount(TDiskType DiskType);
  int IndexOfLetter(QChar Letter) const;
  bool Exists(QChar Letter) const { return IndexOfLetter(Letter) >= 0; }
  TUserVolume *GetItemByLetter(QChar Letter) const { return Items(IndexOfLetter(Letter)); }
  TUserVolume *ItemByLetter(QChar Letter) const { return GetItemByLetter(Letter); }
  int GetTotalMountedCount() const;
  int GetDismountableCount() const;
  int Count() const { return static_cast<int>(FItems.size()); }
  TUserVolume *Items(int Index) const { return FItems.at(Index).get(); }
  int IndexOf(const TUserVolume *Item) const;

 private:
  std::vector<std::unique_ptr<TUserVolume>> FItems;
};

}  // namespace Ramdeck
