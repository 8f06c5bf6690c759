// The mount manager: names volumes ("\??\Volume{GUID}" and drive letters),
// keeps those names in the MountedDevices database and answers the
// mount-point requests. It meets volumes only through requests sent while
// one of its own requests runs: it remembers their names, never their
// device objects, so a volume that goes away leaves nothing held here.
#pragma once

#include <ntifs.h>
#include <mountmgr.h>
#include <ntdddisk.h>

#include <string>
#include <vector>

namespace mountmgr {

using Bytes = std::vector<UCHAR>;

// One mount point: a link, and the volume it names.
struct Point {
  std::u16string link;  // "\DosDevices\X:" or "\??\Volume{GUID}"
  Bytes uniqueId;
  std::u16string device;
};

// What a QUERY_POINTS, DELETE_POINTS or DELETE_POINTS_DBONLY asks for;
// empty fields were not given, none given matches every point.
struct PointFilter {
  std::u16string link;
  Bytes uniqueId;
  std::u16string device;
};

// mountmgr_records.cpp: the request records, every offset and length
// checked against the buffer (STATUS_INVALID_PARAMETER otherwise).
NTSTATUS ParseTargetName(const void *input, ULONG length, std::u16string *device);
NTSTATUS ParseCreatePoint(const void *input, ULONG length, std::u16string *link, std::u16string *device);
NTSTATUS ParseMountPoint(const void *input, ULONG length, PointFilter *filter);
// The MOUNTMGR_MOUNT_POINTS reply. *information as the request completes.
NTSTATUS WritePoints(const std::vector<Point> &points, void *output, ULONG length, ULONG_PTR *information);

// Names.
bool EqualNoCase(const std::u16string &a, const std::u16string &b);
bool IsDriveLetterLink(const std::u16string &link);  // "\DosDevices\X:" or "\??\X:"
bool IsVolumeNameLink(const std::u16string &link);   // "\??\Volume{...}"
// The name a link is recorded under: drive letters as "\DosDevices\X:"
// with the letter upper-cased, volume names as given.
std::u16string RecordedLinkName(const std::u16string &link);
bool SameLink(const std::u16string &a, const std::u16string &b);
UNICODE_STRING View(const std::u16string &text);

// mountmgr_database.cpp: "\Registry\Machine\System\MountedDevices", values
// named by link with the volume's unique id as REG_BINARY data.
struct DatabaseValue {
  std::u16string name;
  ULONG type;
  Bytes data;
};
NTSTATUS ReadDatabase(std::vector<DatabaseValue> *values);
NTSTATUS SetDatabaseValue(const std::u16string &name, const Bytes &uniqueId);
// Deleting a value that is not there succeeds.
NTSTATUS DeleteDatabaseValue(const std::u16string &name);

// mountmgr_volume_io.cpp: the volume, asked through its device name.
struct VolumeFacts {
  std::u16string device;     // the name the volume reports
  Bytes uniqueId;
  std::u16string suggested;  // empty: none
};
NTSTATUS QueryVolume(const std::u16string &device, VolumeFacts *facts);
// IOCTL_MOUNTDEV_LINK_CREATED / LINK_DELETED; failures are ignored.
void TellVolume(const std::u16string &device, ULONG code, const std::u16string &link);
// Symbolic links in the global namespace.
NTSTATUS CreateLink(const std::u16string &link, const std::u16string &device);
NTSTATUS DeleteLink(const std::u16string &link);
// STATUS_OBJECT_NAME_NOT_FOUND when there is no such link.
NTSTATUS LinkTarget(const std::u16string &link, std::u16string *target);
std::u16string NewVolumeName();

// mountmgr_points.cpp: the requests.
void InitializeVolumes();
void ForgetVolumes();
// A volume announced: its volume name, and its drive letter from the
// database, else its suggested link, else (AutomaticLetter: a partition of
// a disk that has just arrived) the first free letter.
// `device` may be any name that opens the volume (an interface link);
// *reported (optional) receives the name the volume reports.
NTSTATUS VolumeArrival(const std::u16string &device, bool automaticLetter, std::u16string *reported = nullptr);
// A volume went away (its interface was removed): its links go, its
// database values stay for its return.
void VolumeRemoval(const std::u16string &device);
NTSTATUS CreatePoint(const std::u16string &link, const std::u16string &device);
NTSTATUS QueryPoints(const PointFilter &filter, std::vector<Point> *points);
NTSTATUS DeletePoints(const PointFilter &filter, std::vector<Point> *deleted);
NTSTATUS DeletePointsFromDatabase(const PointFilter &filter);

// mountmgr_interfaces.cpp: volumes announced by the Plug and Play manager
// (GUID_DEVINTERFACE_VOLUME arrivals and removals).
NTSTATUS WatchVolumeInterfaces(PDRIVER_OBJECT driver);
void StopWatchingVolumeInterfaces();

}  // namespace mountmgr
