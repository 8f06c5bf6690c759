// The image requests: creating a formatted image file, and saving a store
// into an image file.
#pragma once

#include "kernel-support/kernel.h"

struct VolumeStore;

// Layouts of a new image.
constexpr UCHAR IMAGE_LAYOUT_VOLUME = 1;  // one file system
constexpr UCHAR IMAGE_LAYOUT_DISK = 2;    // partition table, one partition

struct ImageCreateParameters {
  PCUNICODE_STRING Path;  // NT form
  ULONG AlgorithmId;
  const VOID *Key;        // UTF-16 bytes, may be unaligned
  ULONG KeyLength;
  UCHAR Layout;
  ULONGLONG Size;         // rounded up to a header block
  BOOLEAN Overwrite;
  ULONG FileSystem;
  PCSTR Label;            // NUL-terminated, may be empty
};

// Creates and formats the image. STATUS_OBJECT_NAME_EXISTS when the file is
// there and Overwrite is clear (nothing touched); STATUS_IMPLEMENTATION_LIMIT
// when the size does not suit the file system (nothing written). A failure
// after the file was opened deletes it.
NTSTATUS ImageCreate(const ImageCreateParameters *Parameters);

// Whether a range of Length bytes can carry the file system, with the
// formatters' own limits (FAT32 falling back to FAT as formatting does):
// STATUS_SUCCESS or STATUS_IMPLEMENTATION_LIMIT.
NTSTATUS ImageCheckFormatSize(ULONG FileSystem, ULONGLONG Length);

// Saves the store into an image file. Target is the given path, else the
// store's open image file, else its image path. With
// ENGINE_SAVE_CHANGED_ONLY only the sectors its change map marks are
// written (memory stores only). The file system on the volume must have
// been flushed by the caller.
NTSTATUS ImageSave(VolumeStore *Store, ULONG SaveFlags, PCUNICODE_STRING TargetPath);
