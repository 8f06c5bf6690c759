// The engine's automatic volumes: adding and deleting their records, and
// reading the list the engine keeps, record by record.
#include "ctl/ramctl_internal.h"

#include <cstring>

namespace ramctl {

namespace {

// The lengths of a record, read where they lie (records are unaligned).
struct RecordLengths {
  uint16_t label;
  uint16_t path;
  uint32_t folders;
};

RecordLengths LengthsOf(const VV_AUTO_VOLUME_DATA *record) {
  auto bytes = reinterpret_cast<const uint8_t *>(record);
  return {EngineLoadLE<uint16_t>(bytes + offsetof(VV_AUTO_VOLUME_DATA, VolumeLabelLength)),
          EngineLoadLE<uint16_t>(bytes + offsetof(VV_AUTO_VOLUME_DATA, ImageFilePathLength)),
          EngineLoadLE<uint32_t>(bytes + offsetof(VV_AUTO_VOLUME_DATA, InitialFoldersLength))};
}

const uint8_t *TailOf(const VV_AUTO_VOLUME_DATA *record) {
  return reinterpret_cast<const uint8_t *>(record) + sizeof(VV_AUTO_VOLUME_DATA);
}

// An initial folder: at least two characters, one leading backslash.
bool FolderUsable(LPCWSTR folder) {
  return folder && folder[0] == u'\\' && folder[1] != 0 && folder[1] != u'\\';
}

bool StartsWithNoCase(const std::u16string &text, const char16_t *prefix) {
  size_t n = std::char_traits<char16_t>::length(prefix);
  return text.size() >= n && lstrcmpiW(text.substr(0, n).c_str(), prefix) == 0;
}

}  // namespace

}  // namespace ramctl

using namespace ramctl;

RAMCTL_API RAMCTL_BOOL WINAPI RamctlAddAutoVolumeEx(WCHAR Letter, const WCHAR *AdditionalLetters, uint8_t Count,
                                                    uint32_t MountFlags, uint32_t NumaNodeIndex,
                                                    uint32_t Properties, uint64_t VolumeSize, uint32_t FileSystem,
                                                    LPCSTR VolumeLabel, LPCWSTR ImageFilePath,
                                                    const LPCWSTR *Folders, uint32_t FolderCount,
                                                    uint32_t AutoflushFlags, uint32_t AutoflushPeriod) {
  if ((!AdditionalLetters && Count) || Count > ENGINE_MAX_ADDITIONAL_LETTERS || (!Folders && FolderCount))
    return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> folders;
  for (uint32_t i = 0; i < FolderCount; ++i) {
    if (!FolderUsable(Folders[i])) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string folder = Folders[i];
    EngineBytes text;
    if (!WideBytes(folder, &text)) return Fail(ERROR_INVALID_PARAMETER);
    size_t at = folders.size();
    folders.resize(at + InitialFolderEntrySize(text.Length));
    InitialFolderPack(folders.data() + at, static_cast<uint32_t>(folders.size() - at), text);
  }
  std::u16string path;
  AutoVolumeDataParts parts{};
  if (!NtPathOf(ImageFilePath, &path) || !WideBytes(path, &parts.ImageFilePath)) return Fail(ERROR_INVALID_NAME);
  if (!AnsiBytes(VolumeLabel, &parts.VolumeLabel) || folders.size() > 0xFFFFFFFFull)
    return Fail(ERROR_INVALID_PARAMETER);
  parts.InitialFolders = EngineBytes{folders.empty() ? nullptr : folders.data(), static_cast<uint32_t>(folders.size())};
  parts.Head.DriveLetter = Letter;
  parts.Head.MountFlags = MountFlags;
  parts.Head.NumaNodeIndex = NumaNodeIndex;
  parts.Head.Properties = Properties;
  parts.Head.VolumeSize = VolumeSize;
  parts.Head.FileSystem = FileSystem;
  parts.Head.AutoflushFlags = AutoflushFlags;
  parts.Head.AutoflushPeriod = AutoflushPeriod;
  parts.Head.AdditionalLetterCount = Count;
  for (uint8_t i = 0; i < Count; ++i) parts.Head.AdditionalLetters[i] = AdditionalLetters[i];
  uint64_t size = AutoVolumeDataSize(parts.VolumeLabel.Length, parts.ImageFilePath.Length,
                                     parts.InitialFolders.Length);
  if (size > 0xFFFFFFFFull) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> request(static_cast<size_t>(size));
  if (AutoVolumeDataPack(request.data(), static_cast<uint32_t>(size), &parts) != size)
    return Fail(ERROR_INVALID_PARAMETER);
  return Control(IOCTL_ENGINE_ADD_AUTO_VOLUME, request.data(), static_cast<uint32_t>(size), nullptr, 0, nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlAddAutoVolume(WCHAR Letter, uint32_t MountFlags, uint32_t Properties,
                                                  uint64_t VolumeSize, uint32_t FileSystem, LPCSTR VolumeLabel,
                                                  LPCWSTR ImageFilePath) {
  return RamctlAddAutoVolumeEx(Letter, nullptr, 0, MountFlags, 0, Properties, VolumeSize, FileSystem, VolumeLabel,
                               ImageFilePath, nullptr, 0, 0, 0);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlDeleteAutoVolume(WCHAR Letter) {
  DeleteAutoVolumeRequest request{static_cast<uint16_t>(Letter)};
  return Control(IOCTL_ENGINE_DELETE_AUTO_VOLUME, &request, sizeof request, nullptr, 0, nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlDeleteAllAutoVolumes(void) {
  return Control(IOCTL_ENGINE_DELETE_ALL_AUTO_VOLUMES, nullptr, 0, nullptr, 0, nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetAutoVolumes(VV_AUTO_VOLUME_DATA **First, uint32_t *Count) {
  if (!First || !Count) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> reply;
  if (!ControlWithProbe(IOCTL_ENGINE_GET_AUTO_VOLUMES, nullptr, 0, &reply)) return 0;
  if (reply.size() < sizeof(AutoVolumeListReply)) return Fail(ERROR_INVALID_DATA);
  auto *block = static_cast<uint8_t *>(NewBlock(reply.size()));
  if (!block) return 0;
  // The count is taken out: the block starts with the first record, its
  // last four bytes zero.
  *Count = EngineLoadLE<uint32_t>(reply.data());
  memcpy(block, reply.data() + sizeof(AutoVolumeListReply), reply.size() - sizeof(AutoVolumeListReply));
  *First = reinterpret_cast<VV_AUTO_VOLUME_DATA *>(block);
  return 1;
}

RAMCTL_API uint32_t WINAPI RamctlGetAutoVolumeSize(const VV_AUTO_VOLUME_DATA *Record) {
  if (!Record) return 0;
  RecordLengths lengths = LengthsOf(Record);
  return static_cast<uint32_t>(AutoVolumeDataSize(lengths.label, lengths.path, lengths.folders));
}

RAMCTL_API VV_AUTO_VOLUME_DATA *WINAPI RamctlGetNextAutoVolume(const VV_AUTO_VOLUME_DATA *Record) {
  if (!Record) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto bytes = reinterpret_cast<const uint8_t *>(Record) + RamctlGetAutoVolumeSize(Record);
  return reinterpret_cast<VV_AUTO_VOLUME_DATA *>(const_cast<uint8_t *>(bytes));
}

RAMCTL_API LPSTR WINAPI RamctlGetAutoVolumeLabel(const VV_AUTO_VOLUME_DATA *Record) {
  if (!Record) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  RecordLengths lengths = LengthsOf(Record);
  auto *label = static_cast<LPSTR>(NewBlock(lengths.label + 1u));
  if (label && lengths.label) memcpy(label, TailOf(Record), lengths.label);
  return label;
}

RAMCTL_API LPWSTR WINAPI RamctlGetAutoVolumeImagePath(const VV_AUTO_VOLUME_DATA *Record) {
  if (!Record) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  RecordLengths lengths = LengthsOf(Record);
  if (lengths.path == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string path(lengths.path / 2, u'\0');
  memcpy(path.data(), TailOf(Record) + lengths.label, path.size() * 2);
  // The DOS form: without the DosDevices prefix of the NT path.
  if (lengths.path >= 24 && StartsWithNoCase(path, u"\\DosDevices\\"))
    path.erase(0, 12);
  else if (lengths.path >= 8 && path.compare(0, 4, u"\\??\\") == 0)
    path.erase(0, 4);
  if (!path.empty() && IsCharAlphaW(path[0])) path[0] = RamctlLetterToUpper(path[0]);
  auto *copy = static_cast<LPWSTR>(NewBlock((path.size() + 1) * sizeof(WCHAR)));
  if (copy && !path.empty()) memcpy(copy, path.data(), path.size() * sizeof(WCHAR));
  return copy;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetInitialFolders(const VV_AUTO_VOLUME_DATA *Record, LPWSTR **Folders,
                                                      uint32_t *Count) {
  if (!Record || !Folders || !Count) return Fail(ERROR_INVALID_PARAMETER);
  RecordLengths lengths = LengthsOf(Record);
  EngineBytes block{TailOf(Record) + lengths.label + lengths.path, lengths.folders};
  uint32_t count = 0;
  if (InitialFoldersCheck(block, &count) != ENGINE_PARSE_OK) return Fail(ERROR_INVALID_DATA);
  *Folders = nullptr;
  *Count = 0;
  if (count == 0) return 1;
  // One block: the pointers, then each string with its terminator.
  size_t bytes = count * sizeof(LPWSTR) + lengths.folders + 0ull;
  auto *result = static_cast<uint8_t *>(NewBlock(bytes));
  if (!result) return 0;
  auto *pointers = reinterpret_cast<LPWSTR *>(result);
  uint8_t *text = result + count * sizeof(LPWSTR);
  InitialFolderIterator it;
  InitialFoldersBegin(&it, block);
  EngineBytes folder;
  for (uint32_t i = 0; InitialFoldersNext(&it, &folder) == ENGINE_PARSE_OK; ++i) {
    pointers[i] = reinterpret_cast<LPWSTR>(text);
    memcpy(text, folder.Data, folder.Length);
    text += folder.Length + sizeof(WCHAR);
  }
  *Folders = pointers;
  *Count = count;
  return 1;
}
