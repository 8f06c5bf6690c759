// Object references taken by the library and the drivers: tagged with
// KS_OBJECT_REFERENCE_TAG when the running kernel has the tagged routines.
#pragma once

#include "kernel-support/kernel.h"

LONG_PTR KsReferenceObject(PVOID Object);
LONG_PTR KsDereferenceObject(PVOID Object);
NTSTATUS KsReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object);
// Drops the reference in *Object, if any, and nulls it.
template <typename T>
inline VOID KsReleaseObject(T **Object) {
  if (*Object) KsDereferenceObject(*Object);
  *Object = nullptr;
}
