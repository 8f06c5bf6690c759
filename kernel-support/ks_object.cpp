#include "kernel-support/ks_object.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_init.h"

namespace {

// Tagged references only when every tagged routine exists, so that each
// reference is released the way it was taken.
BOOLEAN UseTags(const KS_OPTIONAL_ROUTINES *Routines) {
  return Routines->ObfReferenceObjectWithTag && Routines->ObfDereferenceObjectWithTag &&
         Routines->ObReferenceObjectByHandleWithTag;
}

}  // namespace

LONG_PTR KsReferenceObject(PVOID Object) {
  const KS_OPTIONAL_ROUTINES *routines = KsOptionalRoutines();
  if (UseTags(routines)) return routines->ObfReferenceObjectWithTag(Object, KS_OBJECT_REFERENCE_TAG);
  return ObfReferenceObject(Object);
}

LONG_PTR KsDereferenceObject(PVOID Object) {
  const KS_OPTIONAL_ROUTINES *routines = KsOptionalRoutines();
  if (UseTags(routines)) return routines->ObfDereferenceObjectWithTag(Object, KS_OBJECT_REFERENCE_TAG);
  return ObfDereferenceObject(Object);
}

NTSTATUS KsReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object) {
  if (!Object) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  const KS_OPTIONAL_ROUTINES *routines = KsOptionalRoutines();
  if (UseTags(routines))
    return routines->ObReferenceObjectByHandleWithTag(Handle, DesiredAccess, ObjectType, AccessMode,
                                                      KS_OBJECT_REFERENCE_TAG, Object, nullptr);
  return ObReferenceObjectByHandle(Handle, DesiredAccess, ObjectType, AccessMode, Object, nullptr);
}
