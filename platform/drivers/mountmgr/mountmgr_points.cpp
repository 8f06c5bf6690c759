// The mount manager's volumes and their points: arrival, creating,
// querying and deleting points. One request at a time holds the list.
#include "platform/drivers/mountmgr/mountmgr.h"

#include <mutex>

namespace mountmgr {

namespace {

// A volume the mount manager was told about, by name only.
struct KnownVolume {
  std::u16string device;
  Bytes uniqueId;
  std::vector<std::u16string> links;  // as recorded: "\DosDevices\X:", "\??\Volume{...}"
};

std::mutex *gLock;
std::vector<KnownVolume> *gVolumes;

KnownVolume *FindVolume(const std::u16string &device) {
  for (KnownVolume &v : *gVolumes)
    if (EqualNoCase(v.device, device)) return &v;
  return nullptr;
}

enum class LinkOutcome { Created, Present, Taken, Failed };

// The link names `device` afterwards unless another device holds it.
LinkOutcome EnsureLink(const std::u16string &link, const std::u16string &device) {
  std::u16string target;
  if (NT_SUCCESS(LinkTarget(link, &target)))
    return EqualNoCase(target, device) ? LinkOutcome::Present : LinkOutcome::Taken;
  return NT_SUCCESS(CreateLink(link, device)) ? LinkOutcome::Created : LinkOutcome::Failed;
}

bool IsIdOf(const DatabaseValue &value, const Bytes &uniqueId) {
  return value.type == REG_BINARY && value.data == uniqueId;
}

// A letter nobody holds: no link of that name, no database value of that
// name for another volume.
bool LetterFree(const std::u16string &letter, const std::vector<DatabaseValue> &database, const Bytes &uniqueId) {
  std::u16string target;
  if (NT_SUCCESS(LinkTarget(letter, &target))) return false;
  for (const DatabaseValue &value : database)
    if (SameLink(value.name, letter) && !IsIdOf(value, uniqueId)) return false;
  return true;
}

bool Matches(const PointFilter &filter, const Point &point) {
  if (!filter.link.empty() && !SameLink(filter.link, point.link)) return false;
  if (!filter.uniqueId.empty() && filter.uniqueId != point.uniqueId) return false;
  if (!filter.device.empty() && !EqualNoCase(filter.device, point.device)) return false;
  return true;
}

std::vector<Point> MatchingPoints(const PointFilter &filter) {
  std::vector<Point> points;
  for (const KnownVolume &v : *gVolumes)
    for (const std::u16string &link : v.links) {
      Point point{link, v.uniqueId, v.device};
      if (Matches(filter, point)) points.push_back(std::move(point));
    }
  return points;
}

}  // namespace

void InitializeVolumes() {
  gLock = new std::mutex;
  gVolumes = new std::vector<KnownVolume>;
}

void ForgetVolumes() {
  delete gVolumes;
  delete gLock;
  gVolumes = nullptr;
  gLock = nullptr;
}

NTSTATUS VolumeArrival(const std::u16string &name, bool automaticLetter, std::u16string *reported) {
  VolumeFacts facts;
  NTSTATUS status = QueryVolume(name, &facts);
  if (!NT_SUCCESS(status)) return status;
  if (reported) *reported = facts.device;
  std::vector<std::u16string> created;
  {
    std::lock_guard<std::mutex> guard(*gLock);
    std::vector<DatabaseValue> database;
    status = ReadDatabase(&database);
    if (!NT_SUCCESS(status)) return status;
    std::u16string volumeName, letter;
    for (const DatabaseValue &value : database) {
      if (!IsIdOf(value, facts.uniqueId)) continue;
      if (volumeName.empty() && IsVolumeNameLink(value.name)) volumeName = value.name;
      if (letter.empty() && IsDriveLetterLink(value.name)) letter = RecordedLinkName(value.name);
    }
    if (volumeName.empty()) {
      volumeName = NewVolumeName();
      status = SetDatabaseValue(volumeName, facts.uniqueId);
      if (!NT_SUCCESS(status)) return status;
    }
    if (letter.empty()) {
      std::u16string wanted;
      if (IsDriveLetterLink(facts.suggested) && LetterFree(facts.suggested, database, facts.uniqueId)) {
        wanted = RecordedLinkName(facts.suggested);
      } else if (automaticLetter) {
        for (char16_t c = u'C'; c <= u'Z' && wanted.empty(); ++c) {
          std::u16string candidate = std::u16string(u"\\DosDevices\\") + c + u":";
          if (LetterFree(candidate, database, facts.uniqueId)) wanted = candidate;
        }
      }
      if (!wanted.empty() && NT_SUCCESS(SetDatabaseValue(wanted, facts.uniqueId))) letter = wanted;
    }
    // Links made for this device before stay while they still name it; the
    // volume name of an identity the volume no longer has goes.
    std::vector<std::u16string> links;
    if (KnownVolume *known = FindVolume(facts.device)) {
      for (const std::u16string &link : known->links) {
        std::u16string target;
        if (!NT_SUCCESS(LinkTarget(link, &target)) || !EqualNoCase(target, facts.device)) continue;
        if (known->uniqueId != facts.uniqueId && IsVolumeNameLink(link)) {
          DeleteLink(link);
          continue;
        }
        links.push_back(link);
      }
    }
    for (const std::u16string &link : {volumeName, letter}) {
      if (link.empty()) continue;
      LinkOutcome outcome = EnsureLink(link, facts.device);
      if (outcome == LinkOutcome::Created) created.push_back(link);
      if (outcome != LinkOutcome::Created && outcome != LinkOutcome::Present) continue;
      bool listed = false;
      for (const std::u16string &l : links) listed = listed || SameLink(l, link);
      if (!listed) links.push_back(link);
    }
    KnownVolume *known = FindVolume(facts.device);
    if (!known) {
      gVolumes->push_back(KnownVolume{facts.device, {}, {}});
      known = &gVolumes->back();
    }
    known->uniqueId = facts.uniqueId;
    known->links = std::move(links);
  }
  for (const std::u16string &link : created) TellVolume(facts.device, IOCTL_MOUNTDEV_LINK_CREATED, link);
  return STATUS_SUCCESS;
}

void VolumeRemoval(const std::u16string &device) {
  std::lock_guard<std::mutex> guard(*gLock);
  for (size_t i = 0; i < gVolumes->size(); ++i) {
    KnownVolume &known = (*gVolumes)[i];
    if (!EqualNoCase(known.device, device)) continue;
    // Only links that still name the volume: another device may hold a
    // letter by now.
    for (const std::u16string &link : known.links) {
      std::u16string target;
      if (NT_SUCCESS(LinkTarget(link, &target)) && EqualNoCase(target, device)) DeleteLink(link);
    }
    gVolumes->erase(gVolumes->begin() + i);
    return;
  }
}

NTSTATUS CreatePoint(const std::u16string &givenLink, const std::u16string &device) {
  if (!IsDriveLetterLink(givenLink) && !IsVolumeNameLink(givenLink)) return STATUS_INVALID_PARAMETER;
  std::u16string link = RecordedLinkName(givenLink);
  std::u16string deviceName;
  bool created = false;
  {
    std::lock_guard<std::mutex> guard(*gLock);
    KnownVolume *known = FindVolume(device);
    if (!known) return STATUS_OBJECT_NAME_NOT_FOUND;
    deviceName = known->device;
    LinkOutcome outcome = EnsureLink(link, deviceName);
    if (outcome == LinkOutcome::Taken) return STATUS_OBJECT_NAME_COLLISION;
    if (outcome == LinkOutcome::Failed) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SetDatabaseValue(link, known->uniqueId);
    if (!NT_SUCCESS(status)) {
      if (outcome == LinkOutcome::Created) DeleteLink(link);
      return status;
    }
    created = outcome == LinkOutcome::Created;
    bool listed = false;
    for (const std::u16string &l : known->links) listed = listed || SameLink(l, link);
    if (!listed) known->links.push_back(link);
  }
  if (created) TellVolume(deviceName, IOCTL_MOUNTDEV_LINK_CREATED, link);
  return STATUS_SUCCESS;
}

NTSTATUS QueryPoints(const PointFilter &filter, std::vector<Point> *points) {
  std::lock_guard<std::mutex> guard(*gLock);
  *points = MatchingPoints(filter);
  return points->empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

NTSTATUS DeletePoints(const PointFilter &filter, std::vector<Point> *deleted) {
  {
    std::lock_guard<std::mutex> guard(*gLock);
    *deleted = MatchingPoints(filter);
    if (deleted->empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (const Point &point : *deleted) {
      DeleteLink(point.link);
      DeleteDatabaseValue(point.link);
      KnownVolume *known = FindVolume(point.device);
      if (!known) continue;
      for (size_t i = 0; i < known->links.size(); ++i)
        if (SameLink(known->links[i], point.link)) {
          known->links.erase(known->links.begin() + i);
          break;
        }
    }
  }
  for (const Point &point : *deleted) TellVolume(point.device, IOCTL_MOUNTDEV_LINK_DELETED, point.link);
  return STATUS_SUCCESS;
}

// The values themselves: by link name the value of that name, by unique id
// (or the id of a known device) every value holding it.
NTSTATUS DeletePointsFromDatabase(const PointFilter &filter) {
  std::lock_guard<std::mutex> guard(*gLock);
  Bytes uniqueId = filter.uniqueId;
  if (!filter.device.empty()) {
    KnownVolume *known = FindVolume(filter.device);
    if (!known || (!uniqueId.empty() && uniqueId != known->uniqueId)) return STATUS_OBJECT_NAME_NOT_FOUND;
    uniqueId = known->uniqueId;
  }
  std::vector<DatabaseValue> database;
  NTSTATUS status = ReadDatabase(&database);
  if (!NT_SUCCESS(status)) return status;
  bool any = false;
  for (const DatabaseValue &value : database) {
    if (!filter.link.empty() && !SameLink(filter.link, value.name)) continue;
    if (!uniqueId.empty() && !IsIdOf(value, uniqueId)) continue;
    status = DeleteDatabaseValue(value.name);
    if (!NT_SUCCESS(status)) return status;
    any = true;
  }
  return any ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace mountmgr
