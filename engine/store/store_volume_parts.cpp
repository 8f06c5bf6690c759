// What the volume dispatch asks of a volume's store and cipher.
#include "engine/image/cipher.h"
#include "engine/image/image_header.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_string.h"
#include "engine/store/store_internal.h"
#include "engine/volume/volume_parts.h"

ULONG64 VolumeStoreSize(VolumeStore *Store) { return Store ? Store->VolumeSize : 0; }

NTSTATUS VolumeStoreQueryImageName(VolumeStore *Store, PUNICODE_STRING *Name) {
  *Name = nullptr;
  if (!Store) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Store->ImageFileObject && NT_SUCCESS(KsQueryFileName(Store->ImageFileObject, Name))) return STATUS_SUCCESS;
  if (Store->ImagePath) return KsDuplicateString(Store->ImagePath, Name);
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID VolumeStoreSetProperties(VolumeStore *Store, ULONG Properties) {
  if (!Store || !Store->Header) return;
  // A directly mounted image has its header in the mapped view.
  StoreSystemAttach attach(Store->ImageView != nullptr);
  StoreLockData(Store);
  Store->Header->Properties = Properties;
  StoreUnlockData(Store);
}

VOID VolumeStoreRelease(VolumeStore **Store, BOOLEAN Wipe) { StoreRelease(Store, Wipe); }

ULONG CipherAlgorithmId(CipherBlock *Cipher) { return Cipher ? Cipher->AlgorithmId : 0; }
ULONG CipherKeyLength(CipherBlock *Cipher) { return Cipher ? Cipher->KeyLength : 0; }
ULONG CipherBlockSize(CipherBlock *Cipher) { return Cipher ? Cipher->BlockSize : 0; }
VOID CipherFree(CipherBlock **Cipher) { CipherRelease(Cipher); }
