// The host file system: \FileSystem\HostFs with its device \Device\HostRoot,
// reached as drive Z: ("\??\Z:\tmp\a.img" is /tmp/a.img), and
// \Device\HostSystemDrive, drive C: over the machine root's "C" folder.
#pragma once

#include <wdm.h>

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bw {

// With a machine root, also the system drive C: over "<root>/C" (created
// with its Windows folders at the first boot) and \SystemRoot, its
// Windows folder.
void HostFsInit(const std::string &machineRoot);
void HostFsShutdown();

// One host file (device and inode) while the kernel has it open: what
// Windows keeps in a file control block.
struct HostNode {
  dev_t dev = 0;
  ino_t ino = 0;
  bool directory = false;
  // Share access of the opens that asked for data or delete access.
  ULONG openCount = 0, readers = 0, writers = 0, deleters = 0;
  ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
  ULONG handles = 0;          // opens not cleaned up yet
  bool deletePending = false;
  std::string deletePath;     // the name the delete was asked through
  bool deleted = false;
  int sections = 0;           // section objects over the file
};

// One open of a host file (the file object's FsContext2).
struct HostOpen {
  int fd = -1;
  std::shared_ptr<HostNode> node;
  std::string path;        // host path
  std::u16string name;     // name on the volume: "\tmp\a.img", "\" for the root
  ACCESS_MASK access = 0;  // what the open asked for, generic rights mapped
  ULONG share = 0;
  bool shareCounted = false;
  bool deleteOnClose = false;
  bool cleanedUp = false;
  // A directory search (hostfs_dir.cpp): the pattern of its first query,
  // the names it matched then, and the next one to return.
  bool searching = false;
  std::u16string pattern;
  std::vector<std::u16string> entries;
  size_t nextEntry = 0;
};

// Serialises opens, share access, deletion and the nodes of the file system.
std::mutex &HostFsLock();
bool IsHostFile(PFILE_OBJECT file);
HostOpen *OpenOf(PFILE_OBJECT file);
NTSTATUS StatusFromErrno(int error);
// A name on the volume ("\a\b") as a host path; names no Windows file
// system takes are refused (STATUS_OBJECT_NAME_INVALID).
NTSTATUS HostPathOf(std::u16string_view name, std::string *path);
std::string ParentOf(const std::string &path);
// Open files, under HostFsLock: whether any lies below folder `path`, and
// moving those at or below `from` to `to` after a rename.
bool OpensBelow(const std::string &path);
bool HostFileOpen(dev_t dev, ino_t ino);
void MoveOpens(const std::string &from, const std::string &to);
ULONG SectorSizeOf(dev_t dev);

// Sections over host files: a descriptor of their own for the open file,
// and the node, which refuses to shrink while sections exist.
NTSTATUS HostFsAttachSection(PFILE_OBJECT file, int *fd, std::shared_ptr<HostNode> *node);
void HostFsDetachSection(const std::shared_ptr<HostNode> &node);

// Information requests (hostfs_info.cpp).
NTSTATUS HostFsQueryInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFsSetInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFsQueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFsComplete(PIRP irp, NTSTATUS status, ULONG_PTR information);
// Renames and links (hostfs_rename.cpp), directory queries (hostfs_dir.cpp),
// volume labels and security (hostfs_volume.cpp).
NTSTATUS HostFsRenameOrLink(PFILE_OBJECT file, HostOpen *open, PIO_STACK_LOCATION stack,
                            PVOID buffer);
NTSTATUS HostFsDirectoryControl(PDEVICE_OBJECT device, PIRP irp);
// Times and attributes of `name` in the folder `dirFd` (hostfs_info.cpp).
void HostFsBasicAt(int dirFd, const char *name, const struct stat &st,
                   FILE_BASIC_INFORMATION *info);
NTSTATUS HostFsSetVolumeInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFsQuerySecurity(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HostFsSetSecurity(PDEVICE_OBJECT device, PIRP irp);

}  // namespace bw
