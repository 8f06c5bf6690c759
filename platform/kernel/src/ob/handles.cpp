// Handle-based object access: references by handle, closing, opening
// processes, and the kernel's exported object types.
#include "internal.h"
#include "ob/object.h"
#include "ps/process.h"

namespace bw {

HandleTable &KernelHandles() {
  static HandleTable *table = new HandleTable(true);
  return *table;
}

HandleTable *TableForNewHandle(ULONG attributes) {
  PEPROCESS process = CurrentProcess();
  if ((attributes & OBJ_KERNEL_HANDLE) || !process->Handles) return &KernelHandles();
  return process->Handles;
}

namespace {
POBJECT_TYPE gFileType = &FileType;
POBJECT_TYPE gDeviceType = &DeviceType;
POBJECT_TYPE gDriverType = &DriverType;
POBJECT_TYPE gThreadType = &ThreadType;
POBJECT_TYPE gProcessType = &ProcessType;
POBJECT_TYPE gEventType = &EventType;
POBJECT_TYPE gTokenType = &TokenType;

// The table a handle belongs to, for the current process.
HandleTable *TableFor(HANDLE handle, KPROCESSOR_MODE mode) {
  if (IsKernelHandle(handle)) return mode == KernelMode ? &KernelHandles() : nullptr;
  PEPROCESS process = CurrentProcess();
  return process->Handles ? process->Handles : &KernelHandles();
}

ACCESS_MASK MapGeneric(POBJECT_TYPE type, ACCESS_MASK mask) {
  if (mask & GENERIC_READ) mask |= type->GenericRead;
  if (mask & GENERIC_WRITE) mask |= type->GenericWrite;
  if (mask & GENERIC_EXECUTE) mask |= type->GenericExecute;
  if (mask & GENERIC_ALL) mask |= type->GenericAll;
  return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
}  // namespace

_OBJECT_TYPE EventType{u"Event", nullptr, 0x20001, 0x20002, 0x120000, 0x1F0003};
_OBJECT_TYPE TokenType{u"Token", nullptr, 0x20008, 0x200E0, 0x20000, 0xF01FF};

}  // namespace bw

using namespace bw;

extern "C" {
POBJECT_TYPE *IoFileObjectType = &gFileType;
POBJECT_TYPE *IoDeviceObjectType = &gDeviceType;
POBJECT_TYPE *IoDriverObjectType = &gDriverType;
POBJECT_TYPE *PsThreadType = &gThreadType;
POBJECT_TYPE *PsProcessType = &gProcessType;
POBJECT_TYPE *ExEventObjectType = &gEventType;
POBJECT_TYPE *SeTokenObjectType = &gTokenType;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  if (!Object) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  PVOID object = nullptr;
  ACCESS_MASK granted = 0x1FFFFF;
  if (Handle == NtCurrentProcess()) {
    object = CurrentProcess();
    ObfReferenceObject(object);
  } else if (Handle == NtCurrentThread()) {
    object = CurrentThread();
    ObfReferenceObject(object);
  } else {
    HandleTable *table = TableFor(Handle, AccessMode);
    if (!table) return STATUS_INVALID_HANDLE;
    HandleEntry entry;
    NTSTATUS status = table->Reference(Handle, &entry);
    if (!NT_SUCCESS(status)) return status;
    object = entry.object;
    granted = entry.granted;
  }
  POBJECT_TYPE type = HeaderOf(object)->type;
  if (ObjectType && type != ObjectType) {
    ObfDereferenceObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (AccessMode == UserMode) {
    ACCESS_MASK wanted = MapGeneric(type, DesiredAccess);
    if (wanted & ~granted) {
      ObfDereferenceObject(object);
      return STATUS_ACCESS_DENIED;
    }
  }
  if (HandleInformation) {
    HandleInformation->GrantedAccess = granted;
    HandleInformation->HandleAttributes = 0;
  }
  *Object = object;
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandleWithTag(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                          POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                          ULONG, PVOID *Object,
                                          POBJECT_HANDLE_INFORMATION HandleInformation) {
  return ObReferenceObjectByHandle(Handle, DesiredAccess, ObjectType, AccessMode, Object,
                                   HandleInformation);
}

NTSTATUS ZwClose(HANDLE Handle) {
  if (Handle == NtCurrentProcess() || Handle == NtCurrentThread()) return STATUS_SUCCESS;
  HandleTable *table = TableFor(Handle, KernelMode);
  if (!table) return STATUS_INVALID_HANDLE;
  NTSTATUS status = table->Close(Handle);
  if (status == STATUS_INVALID_HANDLE && IsKernelHandle(Handle))
    KernelFault("ZwClose of a kernel handle that is not open");
  return status;
}

NTSTATUS ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes) {
  if (!DirectoryHandle || !ObjectAttributes || !ObjectAttributes->ObjectName) return STATUS_INVALID_PARAMETER;
  PVOID directory = CreateObject(&DirectoryType, sizeof(DirectoryBody));
  if (!directory) return STATUS_INSUFFICIENT_RESOURCES;
  new (directory) DirectoryBody;
  NTSTATUS status = InsertObject(ToU16(ObjectAttributes->ObjectName), directory);
  if (NT_SUCCESS(status)) {
    status = ObOpenObjectByPointer(directory, ObjectAttributes->Attributes, nullptr, DesiredAccess,
                                   &DirectoryType, KernelMode, DirectoryHandle);
    if (!NT_SUCCESS(status)) RemoveObject(directory);
  }
  ObfDereferenceObject(directory);
  return status;
}

NTSTATUS ZwMakeTemporaryObject(HANDLE Handle) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(Handle, 0, nullptr, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  RemoveObject(object);
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID,
                               ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                               KPROCESSOR_MODE, PHANDLE Handle) {
  if (!Object || !Handle) return STATUS_INVALID_PARAMETER;
  if (ObjectType && HeaderOf(Object)->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  return TableForNewHandle(HandleAttributes)->Insert(Object, DesiredAccess ? DesiredAccess : 0x1FFFFF, HandleAttributes, Handle);
}

NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId) {
  if (!ProcessHandle || !ClientId) return STATUS_INVALID_PARAMETER;
  PEPROCESS process = nullptr;
  NTSTATUS status = PsLookupProcessByProcessId(ClientId->UniqueProcess, &process);
  if (!NT_SUCCESS(status)) return status;
  ULONG attributes = ObjectAttributes ? ObjectAttributes->Attributes : 0;
  status = ObOpenObjectByPointer(process, attributes, nullptr, DesiredAccess, &ProcessType,
                                 KernelMode, ProcessHandle);
  ObfDereferenceObject(process);
  return status;
}

namespace bw {
size_t KernelHandleCount() { return KernelHandles().Count(); }
}  // namespace bw
