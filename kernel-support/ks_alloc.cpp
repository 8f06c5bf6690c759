#include "kernel-support/ks_alloc.h"

namespace {

PVOID PoolAllocate(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType) {
  return ExAllocatePoolWithTag(PoolType, Size, Tag);
}

VOID PoolFree(PVOID *Pointer) {
  if (*Pointer) ExFreePool(*Pointer);
  *Pointer = nullptr;
}

KS_ALLOCATE_ROUTINE gAllocate = PoolAllocate;
KS_FREE_ROUTINE gFree = PoolFree;

}  // namespace

PVOID KsAllocate(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType) {
  if (Size == 0) return nullptr;
  return gAllocate(Size, Tag, PoolType);
}

VOID KsFreeRaw(PVOID *Pointer) {
  if (Pointer && *Pointer) gFree(Pointer);
}

VOID KsSetAllocator(KS_ALLOCATE_ROUTINE Allocate, KS_FREE_ROUTINE Free) {
  gAllocate = Allocate ? Allocate : PoolAllocate;
  gFree = Free ? Free : PoolFree;
}
