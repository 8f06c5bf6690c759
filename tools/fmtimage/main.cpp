// fmtimage: formats a plain file with the engine's own formatter, for
// diagnosis and for checks by other file-system tools.
//
//   fmtimage --fs raw|fat|fat32|ntfs [--label TEXT] [--zero] [--partition] FILE
#include "tools/filestore/file_format_store.h"
#include "engine/format/formatters.h"
#include "kernel-support/ks_random.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr ULONG kSectorSize = 512;
constexpr UCHAR kPartitionTypeIfs = 0x07;

int Usage(const char *message) {
  if (message) std::fprintf(stderr, "fmtimage: %s\n", message);
  std::fprintf(stderr,
               "usage: fmtimage --fs raw|fat|fat32|ntfs [--label TEXT] [--zero] [--partition] "
               "FILE\n");
  return 2;
}

bool ParseType(const std::string &name, ULONG *type) {
  if (name == "raw") *type = fsRAW;
  else if (name == "fat") *type = fsFAT;
  else if (name == "fat32") *type = fsFAT32;
  else if (name == "ntfs") *type = fsNTFS;
  else return false;
  return true;
}

// The sector in front of a volume with a partition table: one entry from
// the second sector to the end.
NTSTATUS WritePartitionSector(bw::FileFormatStore &store) {
  if (store.Size() < 2 * kSectorSize) return STATUS_INVALID_PARAMETER;
  PartitionEntrySpec entry = {};
  entry.Start = kSectorSize;
  entry.Length = store.Size() - kSectorSize;
  entry.Active = 0;
  entry.Type = kPartitionTypeIfs;
  UCHAR sector[kSectorSize];
  NTSTATUS status = BuildPartitionSector(sector, kSectorSize, NewRandom32(), &entry, 1);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb = {};
  status = store.Write(sector, kSectorSize, 0, FORMAT_STORE_WRITE_INTERNAL, &iosb);
  return NT_SUCCESS(status) ? iosb.Status : status;
}

}  // namespace

int main(int argc, char **argv) {
  bool haveType = false;
  ULONG type = fsRAW;
  std::string label;
  bool haveLabel = false;
  bool zero = false;
  bool partition = false;
  const char *file = nullptr;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--fs") {
      if (++i >= argc) return Usage("--fs needs a value");
      if (!ParseType(argv[i], &type)) return Usage("unknown file system");
      haveType = true;
    } else if (arg == "--label") {
      if (++i >= argc) return Usage("--label needs a value");
      label = argv[i];
      haveLabel = true;
    } else if (arg == "--zero") {
      zero = true;
    } else if (arg == "--partition") {
      partition = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(nullptr);
      return 0;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return Usage(("unknown option " + arg).c_str());
    } else if (file) {
      return Usage("only one FILE");
    } else {
      file = argv[i];
    }
  }
  if (!haveType) return Usage("--fs is required");
  if (!file) return Usage("FILE is required");

  std::string error;
  auto store = bw::FileFormatStore::Open(file, &error);
  if (!store) {
    std::fprintf(stderr, "fmtimage: %s\n", error.c_str());
    return 1;
  }

  NTSTATUS status = STATUS_SUCCESS;
  ULONGLONG offset = 0;
  if (partition) {
    status = WritePartitionSector(*store);
    offset = kSectorSize;
  }
  if (NT_SUCCESS(status)) {
    status = FormatVolume(store.get(), zero ? FORMAT_FLAG_ZERO_FILL : 0, type,
                          haveLabel ? label.c_str() : nullptr, offset, 0);
  }
  std::printf("status=0x%08X\n", static_cast<unsigned>(status));
  return NT_SUCCESS(status) ? 0 : 1;
}
