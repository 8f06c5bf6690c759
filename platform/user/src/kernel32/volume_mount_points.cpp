// Volume names of mount points, as kernel32 finds them: the mount manager
// is asked for the point of the drive letter, then for every point of the
// volume behind it, among which is its volume name.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kQueryPoints = 0x6D0008;  // IOCTL_MOUNTMGR_QUERY_POINTS
constexpr DWORD kFilenameTooLong = 206;   // ERROR_FILENAME_EXCED_RANGE

// The mount manager's records (mountmgr.h).
struct MountPoint {
  ULONG SymbolicLinkNameOffset;
  USHORT SymbolicLinkNameLength;
  USHORT Reserved1;
  ULONG UniqueIdOffset;
  USHORT UniqueIdLength;
  USHORT Reserved2;
  ULONG DeviceNameOffset;
  USHORT DeviceNameLength;
  USHORT Reserved3;
};
static_assert(sizeof(MountPoint) == 24, "mount point record");
constexpr size_t kPointsHeader = 8;  // Size, NumberOfMountPoints

struct Point {
  std::u16string link;
  std::vector<uint8_t> uniqueId;
};

// QUERY_POINTS for a link name or a unique id; false with the last error set.
bool QueryPoints(HANDLE manager, const std::u16string &link, const std::vector<uint8_t> &uniqueId,
                 std::vector<Point> *points) {
  std::vector<uint8_t> input(sizeof(MountPoint));
  MountPoint query{};
  if (!link.empty()) {
    query.SymbolicLinkNameOffset = sizeof(MountPoint);
    query.SymbolicLinkNameLength = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    auto *bytes = reinterpret_cast<const uint8_t *>(link.data());
    input.insert(input.end(), bytes, bytes + query.SymbolicLinkNameLength);
  } else {
    query.UniqueIdOffset = sizeof(MountPoint);
    query.UniqueIdLength = static_cast<USHORT>(uniqueId.size());
    input.insert(input.end(), uniqueId.begin(), uniqueId.end());
  }
  memcpy(input.data(), &query, sizeof query);
  std::vector<uint8_t> output(1024);
  DWORD returned = 0;
  for (;;) {
    if (DeviceIoControl(manager, kQueryPoints, input.data(), static_cast<DWORD>(input.size()), output.data(),
                        static_cast<DWORD>(output.size()), &returned, nullptr))
      break;
    ULONG size = 0;
    if (GetLastError() != ERROR_MORE_DATA || returned < sizeof size) return false;
    memcpy(&size, output.data(), sizeof size);
    if (size <= output.size()) return false;
    output.resize(size);
  }
  points->clear();
  ULONG count = 0;
  memcpy(&count, output.data() + 4, sizeof count);
  for (ULONG i = 0; i < count && kPointsHeader + (i + 1) * sizeof(MountPoint) <= returned; ++i) {
    MountPoint p;
    memcpy(&p, output.data() + kPointsHeader + i * sizeof p, sizeof p);
    if (uint64_t(p.SymbolicLinkNameOffset) + p.SymbolicLinkNameLength > returned ||
        uint64_t(p.UniqueIdOffset) + p.UniqueIdLength > returned)
      continue;
    Point point;
    point.link.resize(p.SymbolicLinkNameLength / sizeof(WCHAR));
    memcpy(point.link.data(), output.data() + p.SymbolicLinkNameOffset, point.link.size() * sizeof(WCHAR));
    point.uniqueId.assign(output.data() + p.UniqueIdOffset, output.data() + p.UniqueIdOffset + p.UniqueIdLength);
    points->push_back(std::move(point));
  }
  return true;
}

bool IsVolumeName(const std::u16string &link) {
  return link.size() == 48 && link.compare(0, 11, u"\\??\\Volume{") == 0 && link[47] == u'}';
}

}  // namespace

BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                              DWORD cchBufferLength) {
  if (!lpszVolumeMountPoint || !lpszVolumeName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string path(lpszVolumeMountPoint);
  // A drive's root: the letter, a colon and the backslash that makes it a folder.
  char16_t letter = path.empty() ? 0 : path[0];
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - u'a' + u'A');
  if (path.size() != 3 || letter < u'A' || letter > u'Z' || path[1] != u':' || path[2] != u'\\') {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  HANDLE manager = CreateFileW(u"\\\\.\\MountPointManager", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (manager == INVALID_HANDLE_VALUE) return FALSE;
  std::vector<Point> points;
  bool found = QueryPoints(manager, std::u16string(u"\\DosDevices\\") + letter + u":", {}, &points) &&
               !points.empty() && QueryPoints(manager, u"", points[0].uniqueId, &points);
  DWORD error = GetLastError();
  CloseHandle(manager);
  if (!found) {
    SetLastError(error);
    return FALSE;
  }
  for (const Point &point : points) {
    if (!IsVolumeName(point.link)) continue;
    std::u16string name = u"\\\\?\\" + point.link.substr(4) + u"\\";
    if (name.size() + 1 > cchBufferLength) {
      SetLastError(kFilenameTooLong);
      return FALSE;
    }
    memcpy(lpszVolumeName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return TRUE;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}
