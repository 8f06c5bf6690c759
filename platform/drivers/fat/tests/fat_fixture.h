// A FAT volume on one of the test driver's disks (32 MiB, or 80 MiB for
// FAT32 after UseLargeDisk): an image made on the host is written through
// the raw file system (the blank disk is no FAT volume), and the next open
// mounts it with the FAT driver. The calls the tests
// share: opens by path, transfers, and the requests the I/O manager has no
// call for yet (directory queries, renames by IRP, volume labels).
#pragma once

#include "platform/drivers/tests/system_drivers_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace bw::test {

const std::u16string kFatDisk = u"\\Device\\BwTestDisk";
const std::u16string kLargeFatDisk = u"\\Device\\BwTestLargeDisk";
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class FatVolumeTest : public SystemDriversTest {
 protected:
  void TearDown() override {
    if (!imagePath_.empty()) unlink(imagePath_.c_str());
    SystemDriversTest::TearDown();
  }

  // The volumes of this test live on the larger disk.
  void UseLargeDisk() { disk_ = kLargeFatDisk; }

  // A host file of `bytes` formatted by `command` ("%s" is the file).
  std::string MakeImage(ULONG64 bytes, const std::string &command) {
    char name[] = "/tmp/bw-fat-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, ftruncate(fd, static_cast<off_t>(bytes)));
    close(fd);
    imagePath_ = name;
    char line[1024];
    snprintf(line, sizeof line, command.c_str(), name);
    EXPECT_EQ(0, system((std::string(line) + " >/dev/null 2>&1").c_str())) << line;
    return imagePath_;
  }
  std::string Formatted(ULONG64 bytes, const char *fs, const char *label = "TESTVOL") {
    return MakeImage(bytes, std::string(BW_BIN_DIR "/fmtimage --fs ") + fs + " --label " + label + " %s");
  }

  // Writes the image onto the blank disk, through the raw volume.
  void LoadImage(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(image.empty());
    HANDLE disk = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, Open(disk_, GENERIC_READ | GENERIC_WRITE, kShareAll, &disk));
    for (size_t at = 0; at < image.size(); at += 65536) {
      IO_STATUS_BLOCK iosb;
      LARGE_INTEGER offset;
      offset.QuadPart = static_cast<LONGLONG>(at);
      ULONG n = static_cast<ULONG>(std::min<size_t>(65536, image.size() - at));
      ASSERT_STATUS(STATUS_SUCCESS, ZwWriteFile(disk, nullptr, nullptr, nullptr, &iosb, image.data() + at, n, &offset, nullptr));
    }
    ZwClose(disk);
  }

  // The volume's bytes as they are now, through a volume open.
  Bytes ReadVolume(ULONG64 bytes) {
    Bytes image(bytes);
    HANDLE volume = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, Open(disk_, GENERIC_READ, kShareAll, &volume));
    for (size_t at = 0; at < image.size(); at += 65536) {
      IO_STATUS_BLOCK iosb;
      LARGE_INTEGER offset;
      offset.QuadPart = static_cast<LONGLONG>(at);
      ULONG n = static_cast<ULONG>(std::min<size_t>(65536, image.size() - at));
      EXPECT_STATUS(STATUS_SUCCESS, ZwReadFile(volume, nullptr, nullptr, nullptr, &iosb, image.data() + at, n, &offset, nullptr));
    }
    ZwClose(volume);
    return image;
  }
  void SaveVolume(ULONG64 bytes) {
    Bytes image = ReadVolume(bytes);
    std::ofstream out(imagePath_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
  }

  // Opens a path on the volume ("\dir\file").
  NTSTATUS OpenFile(const std::u16string &path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                    HANDLE *handle, ULONG_PTR *information = nullptr, ULONG attributes = 0) {
    std::u16string full = disk_ + path;
    UNICODE_STRING name = View(full);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwCreateFile(handle, access, &oa, &iosb, nullptr, attributes, share, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (information) *information = iosb.Information;
    return status;
  }
  NTSTATUS Create(const std::u16string &path, HANDLE *handle, ULONG options = FILE_NON_DIRECTORY_FILE) {
    return OpenFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, FILE_CREATE, options, handle);
  }
  static NTSTATUS Write(HANDLE handle, const std::string &data, LONGLONG offset = 0) {
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char *>(data.data()),
                       static_cast<ULONG>(data.size()), &at, nullptr);
  }
  static std::string Read(HANDLE handle, ULONG length, LONGLONG offset = 0, NTSTATUS *status = nullptr) {
    std::string data(length, '\0');
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS s = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, data.data(), length, &at, nullptr);
    if (status) *status = s;
    data.resize(NT_SUCCESS(s) ? iosb.Information : 0);
    return data;
  }
  std::string ReadWhole(const std::u16string &path) {
    HANDLE h = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, OpenFile(path, GENERIC_READ, kShareAll, FILE_OPEN, 0, &h));
    std::string data = Read(h, 8 << 20);
    ZwClose(h);
    return data;
  }

  // A request the I/O manager has no call for: sent to the file's volume
  // device as the I/O manager would, with a system buffer.
  static Reply SendIrp(HANDLE handle, UCHAR major, UCHAR minor, ULONG infoClass, const Bytes &input,
                       ULONG outputLength, UCHAR flags = 0, PUNICODE_STRING pattern = nullptr,
                       PFILE_OBJECT target = nullptr) {
    Reply reply{STATUS_UNSUCCESSFUL, 0, Bytes(outputLength)};
    PFILE_OBJECT file = nullptr;
    reply.status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, reinterpret_cast<PVOID *>(&file), nullptr);
    if (!NT_SUCCESS(reply.status)) return reply;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // Built as the I/O manager builds its own requests, then given the
    // function and buffer wanted.
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &event, &iosb);
    Bytes buffer = input.empty() ? Bytes(outputLength ? outputLength : 1) : input;
    irp->AssociatedIrp.SystemBuffer = buffer.data();
    irp->Flags |= IRP_BUFFERED_IO;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Flags = flags;
    next->FileObject = file;
    ULONG length = static_cast<ULONG>(input.empty() ? outputLength : input.size());
    if (major == IRP_MJ_DIRECTORY_CONTROL) {
      next->Parameters.QueryDirectory.Length = length;
      next->Parameters.QueryDirectory.FileInformationClass = static_cast<FILE_INFORMATION_CLASS>(infoClass);
      next->Parameters.QueryDirectory.FileName = pattern;
    } else if (major == IRP_MJ_SET_VOLUME_INFORMATION) {
      next->Parameters.SetVolume.Length = length;
      next->Parameters.SetVolume.FsInformationClass = static_cast<FS_INFORMATION_CLASS>(infoClass);
    } else if (major == IRP_MJ_QUERY_VOLUME_INFORMATION) {
      next->Parameters.QueryVolume.Length = length;
      next->Parameters.QueryVolume.FsInformationClass = static_cast<FS_INFORMATION_CLASS>(infoClass);
    } else if (major == IRP_MJ_SET_INFORMATION) {
      next->Parameters.SetFile.Length = length;
      next->Parameters.SetFile.FileInformationClass = static_cast<FILE_INFORMATION_CLASS>(infoClass);
      next->Parameters.SetFile.FileObject = target;
    }
    reply.status = IoCallDriver(device, irp);
    if (reply.status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      reply.status = iosb.Status;
    }
    reply.information = iosb.Information;
    if (outputLength) memcpy(reply.output.data(), buffer.data(), std::min<size_t>(outputLength, buffer.size()));
    ObDereferenceObject(file);
    return reply;
  }

  // Names in a folder, through FileBothDirectoryInformation: "long|SHORT".
  static std::vector<std::u16string> List(HANDLE dir, const std::u16string &pattern = u"*") {
    std::vector<std::u16string> names;
    std::u16string p = pattern;
    UNICODE_STRING u = View(p);
    for (bool first = true;; first = false) {
      Reply r = SendIrp(dir, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, FileBothDirectoryInformation, {}, 4096,
                        first ? SL_RESTART_SCAN : 0, first ? &u : nullptr);
      if (!NT_SUCCESS(r.status)) break;
      for (ULONG at = 0;;) {
        auto *rec = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(r.output.data() + at);
        std::u16string name(reinterpret_cast<char16_t *>(rec->FileName), rec->FileNameLength / 2);
        std::u16string shortName(reinterpret_cast<char16_t *>(rec->ShortName), rec->ShortNameLength / 2);
        names.push_back(shortName.empty() ? name : name + u"|" + shortName);
        if (!rec->NextEntryOffset) break;
        at += rec->NextEntryOffset;
      }
    }
    return names;
  }

  static NTSTATUS Rename(HANDLE handle, const std::u16string &to, bool replace = false) {
    Bytes input(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + to.size() * 2);
    auto *info = reinterpret_cast<PFILE_RENAME_INFORMATION>(input.data());
    info->ReplaceIfExists = replace;
    info->FileNameLength = static_cast<ULONG>(to.size() * 2);
    memcpy(info->FileName, to.data(), to.size() * 2);
    return SendIrp(handle, IRP_MJ_SET_INFORMATION, 0, FileRenameInformation, input, 0).status;
  }

  std::string imagePath_;
  std::u16string disk_ = kFatDisk;
};

}  // namespace bw::test
