// $AttrDef: the attribute types the volume knows, with their size limits.
#include "engine/format/ntfs/ntfs_files.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG ENTRY_BYTES = 160;
constexpr ULONG NAME_BYTES = 128;
constexpr ULONG RESIDENT_ONLY = 0x40;
constexpr ULONG INDEXABLE = 0x02;
constexpr ULONG MAY_BE_NON_RESIDENT = 0x80;
constexpr ULONGLONG UNLIMITED = ~0ULL;

struct AttrDefEntry {
  PCSTR Name;
  ULONG Type;
  ULONG Flags;
  ULONGLONG MinimumSize;
  ULONGLONG MaximumSize;
};

const AttrDefEntry gAttrDef[] = {
    {"$STANDARD_INFORMATION", NTFS_AT_STANDARD_INFORMATION, RESIDENT_ONLY, 48, 72},
    {"$ATTRIBUTE_LIST", NTFS_AT_ATTRIBUTE_LIST, MAY_BE_NON_RESIDENT, 0, UNLIMITED},
    {"$FILE_NAME", NTFS_AT_FILE_NAME, RESIDENT_ONLY | INDEXABLE, 68, 578},
    {"$OBJECT_ID", NTFS_AT_OBJECT_ID, RESIDENT_ONLY, 0, 256},
    {"$SECURITY_DESCRIPTOR", NTFS_AT_SECURITY_DESCRIPTOR, MAY_BE_NON_RESIDENT, 0, UNLIMITED},
    {"$VOLUME_NAME", NTFS_AT_VOLUME_NAME, RESIDENT_ONLY, 2, 256},
    {"$VOLUME_INFORMATION", NTFS_AT_VOLUME_INFORMATION, RESIDENT_ONLY, 12, 12},
    {"$DATA", NTFS_AT_DATA, 0, 0, UNLIMITED},
    {"$INDEX_ROOT", NTFS_AT_INDEX_ROOT, RESIDENT_ONLY, 0, UNLIMITED},
    {"$INDEX_ALLOCATION", NTFS_AT_INDEX_ALLOCATION, MAY_BE_NON_RESIDENT, 0, UNLIMITED},
    {"$BITMAP", NTFS_AT_BITMAP, MAY_BE_NON_RESIDENT, 0, UNLIMITED},
    {"$REPARSE_POINT", NTFS_AT_REPARSE_POINT, MAY_BE_NON_RESIDENT, 0, 0x4000},
    {"$EA_INFORMATION", NTFS_AT_EA_INFORMATION, RESIDENT_ONLY, 8, 8},
    {"$EA", NTFS_AT_EA, 0, 0, 0x10000},
    {"$LOGGED_UTILITY_STREAM", NTFS_AT_LOGGED_UTILITY_STREAM, MAY_BE_NON_RESIDENT, 0, 0x10000},
};

static_assert((sizeof(gAttrDef) / sizeof(gAttrDef[0]) + 1) * ENTRY_BYTES == NTFS_ATTRDEF_BYTES,
              "the table ends with one empty entry");

}  // namespace

NTSTATUS NtfsWriteAttrDefTable(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  ULONGLONG base = NtfsExtentOffset(Geometry, Geometry->AttrDef);
  for (const AttrDefEntry &entry : gAttrDef) {
    NtfsName name;
    NTSTATUS status = NtfsMakeName(entry.Name, NAME_BYTES / sizeof(WCHAR) - 1, &name);
    if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);
    Writer->Position = base;
    NtfsAppendName(Writer, name);
    NtfsAppendZeros(Writer, NAME_BYTES - name.Chars * sizeof(WCHAR));
    NtfsAppend32(Writer, entry.Type);
    NtfsAppend32(Writer, 0);  // display rule
    NtfsAppend32(Writer, 0);  // collation rule
    NtfsAppend32(Writer, entry.Flags);
    NtfsAppend64(Writer, entry.MinimumSize);
    NtfsAppend64(Writer, entry.MaximumSize);
    base += ENTRY_BYTES;
  }
  return NtfsPutZeros(Writer, base, ENTRY_BYTES);
}
