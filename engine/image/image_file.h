// Image files on disk: opening, sizes, header copies, algorithm selection
// and the check of an opened image.
#pragma once

#include "engine/image/image_header.h"
#include "kernel-support/kernel.h"

struct VolumeStore;

// Opens Path as a kernel handle for synchronous I/O.
NTSTATUS ImageOpenFile(PCUNICODE_STRING Path, ACCESS_MASK Access, ULONG ShareAccess, ULONG Disposition,
                       ULONG Options, PHANDLE File);
NTSTATUS ImageQueryFileSize(HANDLE File, PULONGLONG Size);
// The size of the file at Path, read through its attributes.
NTSTATUS ImageQueryPathSize(PCUNICODE_STRING Path, PULONGLONG Size);
NTSTATUS ImageSetFileSize(HANDLE File, ULONGLONG Size);
// Whether something answers to Path (a file we may not open still exists).
BOOLEAN ImageFileExists(PCUNICODE_STRING Path);
// Marks an open file for deletion when its last handle closes.
NTSTATUS ImageMarkForDeletion(HANDLE File);
NTSTATUS ImageDeleteFile(PCUNICODE_STRING Path);

// Reads or writes Length bytes at Offset; short transfers are errors
// (STATUS_END_OF_FILE on read, STATUS_IO_DEVICE_ERROR on write).
NTSTATUS ImageReadAt(HANDLE File, PVOID Buffer, ULONG Length, ULONGLONG Offset);
NTSTATUS ImageWriteAt(HANDLE File, const VOID *Buffer, ULONG Length, ULONGLONG Offset);

// Header copies: copy 1 at offset 0, copy 2 in the file's last header block.
NTSTATUS ImageReadHeaderCopy(HANDLE File, ULONG Copy, ImageHeader *Header);
NTSTATUS ImageReadHeaderCopyByPath(PCUNICODE_STRING Path, ULONG Copy, ImageHeader *Header);
// Writes the header as a whole header block (header, then zeros).
NTSTATUS ImageWriteHeaderCopy(HANDLE File, ULONG Copy, const ImageHeader *Header);

// The algorithm of the image at Path from its header copies; a bad copy 1
// next to a good copy 2 is repaired from copy 2. *Outcome is an image status.
NTSTATUS ImageSelectAlgorithm(PCUNICODE_STRING Path, PULONG AlgorithmId, PULONG Outcome);

// Checks the opened image of Store against its cipher and sets the store's
// size and data offset. On failure the store's header copy is released.
NTSTATUS ImageValidateStore(VolumeStore *Store, PULONG Outcome);
// Reads copy 1 of the store's image into a pool header copy (what there is
// of it: the check of the image judges a short file).
NTSTATUS ImageLoadStoreHeader(VolumeStore *Store);
// Maps the start of the store's image file and points the store's header
// into the view.
NTSTATUS ImageMapStoreHeader(VolumeStore *Store);
// Copies the store's header out, or a header in: attached to the system
// process when the header lies in the view, under the data mutex.
VOID ImageCopyStoreHeader(VolumeStore *Store, ImageHeader *Header);
VOID ImageSetStoreHeader(VolumeStore *Store, const ImageHeader *Header);
