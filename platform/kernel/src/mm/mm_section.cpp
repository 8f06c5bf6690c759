// Sections over host files (or over memory of their own) and their views:
// a view is a MAP_SHARED mapping of the file, so what is written through
// it reaches the file, and a view keeps its section referenced.
#include "host/faults.h"
#include "hostfs/hostfs.h"
#include "internal.h"
#include "mm/mm_internal.h"
#include "ob/object.h"
#include "ps/process.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace bw {

namespace {

constexpr uint64_t kViewGranularity = 0x10000;

struct SectionBody {
  PageRun *run = nullptr;
  uint64_t size = 0;
  ULONG protection = 0;
  PFILE_OBJECT file = nullptr;  // referenced; none for memory sections
  std::shared_ptr<HostNode> node;
};

void DestroySection(void *body) {
  auto *section = static_cast<SectionBody *>(body);
  if (section->run) {
    std::lock_guard<std::mutex> guard(MmLock());
    section->run->released = true;
    MaybeDropRun(section->run);
  }
  if (section->node) HostFsDetachSection(section->node);
  if (section->file) ObfDereferenceObject(section->file);
  section->~SectionBody();
}

bool ValidProtection(ULONG protection) {
  switch (protection) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return true;
    default:
      return false;
  }
}

bool Writable(ULONG protection) {
  return protection == PAGE_READWRITE || protection == PAGE_EXECUTE_READWRITE;
}

bool CopyOnWrite(ULONG protection) {
  return protection == PAGE_WRITECOPY || protection == PAGE_EXECUTE_WRITECOPY;
}

// What a view may ask of its section.
bool ViewAllowed(ULONG section, ULONG view) {
  if (Writable(view)) return Writable(section);
  if (CopyOnWrite(view)) return Writable(section) || CopyOnWrite(section);
  return true;
}

NTSTATUS MapView(SectionBody *section, PVOID sectionObject, bool user, PEPROCESS process,
                 uint64_t offset, PVOID *base, PSIZE_T viewSize, ULONG protection) {
  if (offset >= section->size) return STATUS_INVALID_VIEW_SIZE;
  uint64_t size = *viewSize ? *viewSize : section->size - offset;
  if (offset + size < offset || offset + size > section->size) return STATUS_INVALID_VIEW_SIZE;
  if (!ViewAllowed(section->protection, protection)) return STATUS_SECTION_PROTECTION;
  if (FaultShouldFail(Fault::Mapping)) return STATUS_NO_MEMORY;
  uint64_t pages = BYTES_TO_PAGES(size);
  int prot = (Writable(protection) || CopyOnWrite(protection)) ? PROT_READ | PROT_WRITE : PROT_READ;
  NTSTATUS status;
  std::lock_guard<std::mutex> guard(MmLock());
  PVOID at = MapSegments({MapSegment{section->run, offset >> PAGE_SHIFT, pages}}, user, process,
                         user ? *base : nullptr, prot, CopyOnWrite(protection), true, &status);
  if (!at) return status;
  MappingAt(at)->section = sectionObject;
  ObfReferenceObject(sectionObject);
  *base = at;
  *viewSize = pages << PAGE_SHIFT;
  return STATUS_SUCCESS;
}

// Unmaps the view at `address` if it belongs to `process` (nullptr:
// system space); returns the section it held, to be dereferenced.
NTSTATUS UnmapView(PVOID address, bool user, PEPROCESS process, PVOID *section) {
  std::lock_guard<std::mutex> guard(MmLock());
  Mapping *m = MappingAt(address);
  if (!m || !m->view || m->user != user || (user && m->process != process))
    return STATUS_NOT_MAPPED_VIEW;
  *section = m->section;
  Unmap(m);
  return STATUS_SUCCESS;
}

}  // namespace

_OBJECT_TYPE SectionType{u"Section", DestroySection, 0x20000 | SECTION_QUERY | SECTION_MAP_READ,
                         0x20000 | SECTION_MAP_WRITE, 0x20000 | SECTION_MAP_EXECUTE,
                         SECTION_ALL_ACCESS};

}  // namespace bw

using namespace bw;

namespace {
POBJECT_TYPE gSectionType = &bw::SectionType;
}
POBJECT_TYPE *MmSectionObjectType = &gSectionType;

NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                         ULONG SectionPageProtection, ULONG AllocationAttributes,
                         HANDLE FileHandle) {
  if (!SectionHandle) return STATUS_INVALID_PARAMETER;
  *SectionHandle = nullptr;
  if (AllocationAttributes & SEC_IMAGE) return STATUS_NOT_SUPPORTED;
  if (!(AllocationAttributes & (SEC_COMMIT | SEC_RESERVE))) return STATUS_INVALID_PARAMETER;
  if (!ValidProtection(SectionPageProtection)) return STATUS_INVALID_PAGE_PROTECTION;
  const bool writable = Writable(SectionPageProtection);
  PFILE_OBJECT file = nullptr;
  std::shared_ptr<HostNode> node;
  int fd = -1;
  uint64_t size = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (FileHandle) {
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(FileHandle, 0, &FileType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    file = static_cast<PFILE_OBJECT>(object);
    if (!IsHostFile(file)) {
      status = STATUS_INVALID_FILE_FOR_SECTION;
    } else if (!file->ReadAccess || (writable && !file->WriteAccess)) {
      status = STATUS_ACCESS_DENIED;
    } else {
      status = HostFsAttachSection(file, &fd, &node);
    }
    struct stat st;
    if (NT_SUCCESS(status) && fstat(fd, &st) != 0) status = StatusFromErrno(errno);
    if (NT_SUCCESS(status)) {
      uint64_t fileSize = static_cast<uint64_t>(st.st_size);
      size = MaximumSize && MaximumSize->QuadPart ? static_cast<uint64_t>(MaximumSize->QuadPart)
                                                  : fileSize;
      if (size == 0) {
        status = STATUS_MAPPED_FILE_SIZE_ZERO;
      } else if (size > fileSize) {
        // A section larger than its file makes the file that large.
        if (!writable)
          status = STATUS_SECTION_TOO_BIG;
        else if (ftruncate(fd, static_cast<off_t>(size)) != 0)
          status = STATUS_DISK_FULL;
      }
    }
  } else {
    if (!MaximumSize || MaximumSize->QuadPart <= 0) return STATUS_INVALID_PARAMETER;
    size = static_cast<uint64_t>(MaximumSize->QuadPart);
    fd = memfd_create("bw-section", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
      status = STATUS_INSUFFICIENT_RESOURCES;
  }
  auto *section = NT_SUCCESS(status) ? static_cast<SectionBody *>(
                                           CreateObject(&SectionType, sizeof(SectionBody)))
                                     : nullptr;
  if (NT_SUCCESS(status) && !section) status = STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) {
    if (fd >= 0) close(fd);
    if (node) HostFsDetachSection(node);
    if (file) ObfDereferenceObject(file);
    return status;
  }
  new (section) SectionBody;
  section->size = size;
  section->protection = SectionPageProtection;
  section->file = file;
  section->node = node;
  {
    std::lock_guard<std::mutex> guard(MmLock());
    section->run = NewRun(fd, BYTES_TO_PAGES(size), false, 0);
  }
  status = ObOpenObjectByPointer(section, ObjectAttributes ? ObjectAttributes->Attributes : 0,
                                 nullptr, DesiredAccess ? DesiredAccess : SECTION_ALL_ACCESS,
                                 &SectionType, KernelMode, SectionHandle);
  ObfDereferenceObject(section);
  return status;
}

NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress,
                            ULONG_PTR, SIZE_T, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                            SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                            ULONG Win32Protect) {
  if (!BaseAddress || !ViewSize) return STATUS_INVALID_PARAMETER;
  if (InheritDisposition != ViewShare && InheritDisposition != ViewUnmap)
    return STATUS_INVALID_PARAMETER;
  if (AllocationType & ~(MEM_RESERVE | MEM_TOP_DOWN | MEM_LARGE_PAGES))
    return STATUS_INVALID_PARAMETER;
  if (!ValidProtection(Win32Protect)) return STATUS_INVALID_PAGE_PROTECTION;
  LONGLONG offset = SectionOffset ? SectionOffset->QuadPart : 0;
  if (offset < 0) return STATUS_INVALID_PARAMETER;
  // Views start on the allocation granularity, in the file and in memory.
  if (offset % kViewGranularity || reinterpret_cast<uintptr_t>(*BaseAddress) % kViewGranularity)
    return STATUS_MAPPED_ALIGNMENT;
  PVOID object = nullptr;
  NTSTATUS status =
      ObReferenceObjectByHandle(SectionHandle, 0, &SectionType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  PVOID processObject = nullptr;
  status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_VM_OPERATION, *PsProcessType,
                                     KernelMode, &processObject, nullptr);
  if (NT_SUCCESS(status)) {
    status = MapView(static_cast<SectionBody *>(object), object, true,
                     static_cast<PEPROCESS>(processObject), static_cast<uint64_t>(offset),
                     BaseAddress, ViewSize, Win32Protect);
    ObfDereferenceObject(processObject);
  }
  ObfDereferenceObject(object);
  return status;
}

NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
  PVOID processObject = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, PROCESS_VM_OPERATION, *PsProcessType,
                                              KernelMode, &processObject, nullptr);
  if (!NT_SUCCESS(status)) return status;
  PVOID section = nullptr;
  status = UnmapView(BaseAddress, true, static_cast<PEPROCESS>(processObject), &section);
  ObfDereferenceObject(processObject);
  if (section) ObfDereferenceObject(section);
  return status;
}

NTSTATUS MmMapViewInSystemSpace(PVOID Section, PVOID *MappedBase, PSIZE_T ViewSize) {
  if (!Section || !MappedBase || !ViewSize) return STATUS_INVALID_PARAMETER;
  if (HeaderOf(Section)->type != &SectionType) return STATUS_OBJECT_TYPE_MISMATCH;
  auto *section = static_cast<SectionBody *>(Section);
  *MappedBase = nullptr;
  return MapView(section, Section, false, nullptr, 0, MappedBase, ViewSize,
                 Writable(section->protection) ? PAGE_READWRITE : PAGE_READONLY);
}

NTSTATUS MmUnmapViewInSystemSpace(PVOID MappedBase) {
  PVOID section = nullptr;
  NTSTATUS status = UnmapView(MappedBase, false, nullptr, &section);
  if (section) ObfDereferenceObject(section);
  return status;
}
