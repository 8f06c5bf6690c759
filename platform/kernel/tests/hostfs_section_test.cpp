// Sections over host files and their views, the volume the files are on,
// and file names as the object manager gives them.
#include "platform/kernel/tests/hostfs_fixture.h"

#include <cstring>

namespace bw::test {
namespace {

constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;

class HostSectionTest : public HostFsTest {
 protected:
  NTSTATUS Section(HANDLE *section, HANDLE file, LONGLONG size, ULONG protection) {
    LARGE_INTEGER maximum;
    maximum.QuadPart = size;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwCreateSection(section, SECTION_ALL_ACCESS, &oa, size ? &maximum : nullptr,
                           protection, SEC_COMMIT, file);
  }
  NTSTATUS View(HANDLE section, PVOID *base, LONGLONG offset, SIZE_T *size,
                ULONG protection = PAGE_READWRITE) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return ZwMapViewOfSection(section, NtCurrentProcess(), base, 0, 0, &at, size, ViewUnmap, 0,
                              protection);
  }
};

TEST_F(HostSectionTest, ViewsWriteThroughToTheFile) {
  HANDLE file, section;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&file, "image", kReadWrite, 0, FILE_CREATE));
  ASSERT_STATUS(STATUS_SUCCESS, SetEndOfFile(file, 0x30000));
  ASSERT_STATUS(STATUS_SUCCESS, Section(&section, file, 0, PAGE_READWRITE));
  PVOID base = nullptr;
  SIZE_T size = 0;
  ASSERT_STATUS(STATUS_SUCCESS, View(section, &base, 0x10000, &size));
  EXPECT_EQ(0x20000u, size);  // from the offset to the end
  EXPECT_LT(base, MmSystemRangeStart);
  memcpy(base, "header", 6);
  // The file sees the view's bytes, through the kernel and on the host.
  std::string data;
  EXPECT_STATUS(STATUS_SUCCESS, Read(file, &data, 6, 0x10000));
  EXPECT_EQ("header", data);
  EXPECT_EQ("header", HostContent("image").substr(0x10000, 6));
  // And a second view of the same place sees what the first wrote.
  PVOID second = nullptr;
  SIZE_T one = PAGE_SIZE;
  ASSERT_STATUS(STATUS_SUCCESS, View(section, &second, 0x10000, &one, PAGE_READONLY));
  EXPECT_EQ(0, memcmp(second, "header", 6));
  EXPECT_EQ(MmGetPhysicalAddress(base).QuadPart, MmGetPhysicalAddress(second).QuadPart);
  EXPECT_STATUS(STATUS_SUCCESS, ZwUnmapViewOfSection(NtCurrentProcess(), second));
  // Views start on 64 KiB and stay inside the section.
  PVOID bad = nullptr;
  SIZE_T badSize = 0;
  EXPECT_STATUS(STATUS_MAPPED_ALIGNMENT, View(section, &bad, 0x1000, &badSize));
  bad = reinterpret_cast<PVOID>(0x200000001000ULL);
  EXPECT_STATUS(STATUS_MAPPED_ALIGNMENT, View(section, &bad, 0, &badSize));
  bad = nullptr;
  EXPECT_STATUS(STATUS_INVALID_VIEW_SIZE, View(section, &bad, 0x30000, &badSize));
  badSize = 0x20001;
  EXPECT_STATUS(STATUS_INVALID_VIEW_SIZE, View(section, &bad, 0x10000, &badSize));
  // The file cannot shrink under a section.
  EXPECT_STATUS(STATUS_USER_MAPPED_FILE, SetEndOfFile(file, 0x1000));
  EXPECT_STATUS(STATUS_SUCCESS, SetEndOfFile(file, 0x40000));
  // A view keeps its section after the handles are gone.
  ZwClose(section);
  ZwClose(file);
  memcpy(static_cast<char *>(base) + 100, "late", 4);
  EXPECT_STATUS(STATUS_NOT_MAPPED_VIEW,
                ZwUnmapViewOfSection(NtCurrentProcess(), static_cast<char *>(base) + size));
  EXPECT_STATUS(STATUS_SUCCESS, ZwUnmapViewOfSection(NtCurrentProcess(), base));
  EXPECT_EQ("late", HostContent("image").substr(0x10000 + 100, 4));
  EXPECT_EQ(0u, MappingsOutstanding());
  // With every section gone the file may shrink again.
  ASSERT_STATUS(STATUS_SUCCESS, Open(&file, "image", kReadWrite, 0, FILE_OPEN));
  EXPECT_STATUS(STATUS_SUCCESS, SetEndOfFile(file, 0x1000));
  ZwClose(file);
}

TEST_F(HostSectionTest, SectionSizesAndProtections) {
  HANDLE file, section;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&file, "empty", kReadWrite, 0, FILE_CREATE));
  EXPECT_STATUS(STATUS_MAPPED_FILE_SIZE_ZERO, Section(&section, file, 0, PAGE_READWRITE));
  EXPECT_STATUS(STATUS_SECTION_TOO_BIG, Section(&section, file, 0x10000, PAGE_READONLY));
  EXPECT_STATUS(STATUS_INVALID_PAGE_PROTECTION, Section(&section, file, 0x10000, PAGE_NOACCESS));
  // A writable section larger than its file makes the file that large.
  ASSERT_STATUS(STATUS_SUCCESS, Section(&section, file, 0x12345, PAGE_READWRITE));
  EXPECT_EQ(0x12345, EndOfFile(file));
  ZwClose(section);
  ZwClose(file);
  // A read-only open gives read-only sections, and they give read-only views.
  ASSERT_STATUS(STATUS_SUCCESS, Open(&file, "empty", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Section(&section, file, 0, PAGE_READWRITE));
  ASSERT_STATUS(STATUS_SUCCESS, Section(&section, file, 0, PAGE_READONLY));
  PVOID base = nullptr;
  SIZE_T size = 0;
  EXPECT_STATUS(STATUS_SECTION_PROTECTION, View(section, &base, 0, &size, PAGE_READWRITE));
  // Copy-on-write views of a read-only section need a writable section too.
  EXPECT_STATUS(STATUS_SECTION_PROTECTION, View(section, &base, 0, &size, PAGE_WRITECOPY));
  ASSERT_STATUS(STATUS_SUCCESS, View(section, &base, 0, &size, PAGE_READONLY));
  EXPECT_EQ(0x13000u, size);  // rounded up to pages
  EXPECT_STATUS(STATUS_SUCCESS, ZwUnmapViewOfSection(NtCurrentProcess(), base));
  // Views in system space.
  PVOID object = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, ObReferenceObjectByHandle(section, SECTION_MAP_READ,
                                                          *MmSectionObjectType, KernelMode,
                                                          &object, nullptr));
  PVOID system = nullptr;
  SIZE_T systemSize = 0;
  ASSERT_STATUS(STATUS_SUCCESS, MmMapViewInSystemSpace(object, &system, &systemSize));
  EXPECT_GE(system, MmSystemRangeStart);
  EXPECT_STATUS(STATUS_SUCCESS, MmUnmapViewInSystemSpace(system));
  ObfDereferenceObject(object);
  ZwClose(section);
  ZwClose(file);
  // Sections of memory of their own.
  LARGE_INTEGER maximum;
  maximum.QuadPart = 0x20000;
  ASSERT_STATUS(STATUS_SUCCESS, ZwCreateSection(&section, SECTION_ALL_ACCESS, nullptr, &maximum,
                                                PAGE_READWRITE, SEC_COMMIT, nullptr));
  base = nullptr;
  size = 0;
  ASSERT_STATUS(STATUS_SUCCESS, View(section, &base, 0, &size));
  PVOID again = nullptr;
  SIZE_T againSize = 0;
  ASSERT_STATUS(STATUS_SUCCESS, View(section, &again, 0, &againSize));
  static_cast<char *>(base)[0x1FFFF] = 'm';
  EXPECT_EQ('m', static_cast<char *>(again)[0x1FFFF]);
  ZwUnmapViewOfSection(NtCurrentProcess(), base);
  ZwUnmapViewOfSection(NtCurrentProcess(), again);
  ZwClose(section);
  EXPECT_EQ(0u, MappingsOutstanding());
}

TEST_F(HostSectionTest, InjectedMappingFailures) {
  HANDLE file, section;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&file, "f", kReadWrite, 0, FILE_CREATE));
  ASSERT_STATUS(STATUS_SUCCESS, Section(&section, file, 0x10000, PAGE_READWRITE));
  InjectFault(Fault::Mapping, 0, 1);
  PVOID base = nullptr;
  SIZE_T size = 0;
  EXPECT_STATUS(STATUS_NO_MEMORY, View(section, &base, 0, &size));
  EXPECT_EQ(nullptr, base);
  EXPECT_EQ(0u, MappingsOutstanding());
  EXPECT_STATUS(STATUS_SUCCESS, View(section, &base, 0, &size));
  ZwUnmapViewOfSection(NtCurrentProcess(), base);
  ZwClose(section);
  ZwClose(file);
}

TEST_F(HostSectionTest, VolumeAndNameOfAFile) {
  HANDLE h;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_CREATE));
  IO_STATUS_BLOCK iosb{};
  FILE_FS_SIZE_INFORMATION size{};
  FILE_FS_SECTOR_SIZE_INFORMATION sectors{};
  FILE_FS_DEVICE_INFORMATION device{};
  ASSERT_STATUS(STATUS_SUCCESS,
                ZwQueryVolumeInformationFile(h, &iosb, &size, sizeof size, FileFsSizeInformation));
  ASSERT_STATUS(STATUS_SUCCESS, ZwQueryVolumeInformationFile(h, &iosb, &sectors, sizeof sectors,
                                                             FileFsSectorSizeInformation));
  EXPECT_EQ(size.BytesPerSector, sectors.LogicalBytesPerSector);
  EXPECT_GT(size.TotalAllocationUnits.QuadPart, 0);
  EXPECT_GE(size.TotalAllocationUnits.QuadPart, size.AvailableAllocationUnits.QuadPart);
  ASSERT_STATUS(STATUS_SUCCESS, ZwQueryVolumeInformationFile(h, &iosb, &device, sizeof device,
                                                             FileFsDeviceInformation));
  EXPECT_EQ(static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK), device.DeviceType);
  EXPECT_STATUS(STATUS_INFO_LENGTH_MISMATCH,
                ZwQueryVolumeInformationFile(h, &iosb, &size, 8, FileFsSizeInformation));
  EXPECT_STATUS(STATUS_INVALID_INFO_CLASS,
                ZwQueryVolumeInformationFile(h, &iosb, &size, sizeof size, FileFsLabelInformation));
  // The object manager names the file by its device and its path there.
  PVOID object = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS,
                ObReferenceObjectByHandle(h, 0, *IoFileObjectType, KernelMode, &object, nullptr));
  alignas(8) char buffer[512];
  ULONG needed = 0;
  ASSERT_STATUS(STATUS_SUCCESS, ObQueryNameString(object, reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer),
                                                  sizeof buffer, &needed));
  auto *name = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
  EXPECT_EQ(u"\\Device\\HostRoot" + Nt("f").substr(6),
            std::u16string(name->Name.Buffer, name->Name.Length / 2));
  ObfDereferenceObject(object);
  ZwClose(h);
  EXPECT_TRUE(ObjectExists(u"\\FileSystem\\HostFs"));
}

}  // namespace
}  // namespace bw::test
