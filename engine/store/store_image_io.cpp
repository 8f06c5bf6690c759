// Stored bytes between a memory store and its image file, moved straight
// between the file and the store's pages: loading by reads the file system
// serves into the store's page lists, saving by writes from the pages'
// mapping, with no buffer of ours in between.
#include "engine/image/image_file.h"
#include "engine/store/store_internal.h"
#include "kernel-support/ks_object.h"

namespace {

// One read moves at most this much: few requests, and page lists of a size
// the pool gives without trouble.
constexpr ULONG LOAD_STEP = STORE_WALK_BLOCK;

IO_COMPLETION_ROUTINE ReadDone;

// The request is ours: the completion keeps it for us to free.
NTSTATUS ReadDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads Length bytes at FileOffset into the pages Mdl describes, a direct
// (non-cached) read as a disk's transfer: a short read is STATUS_END_OF_FILE.
NTSTATUS ReadIntoPages(PFILE_OBJECT File, PMDL Mdl, ULONG Length, ULONGLONG FileOffset) {
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(File);
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->MdlAddress = Mdl;
  irp->Flags = IRP_NOCACHE;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.OriginalFileObject = File;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  next->FileObject = File;
  next->Parameters.Read.Length = Length;
  next->Parameters.Read.ByteOffset.QuadPart = static_cast<LONGLONG>(FileOffset);
  IoSetCompletionRoutine(irp, ReadDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(device, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR read = irp->IoStatus.Information;
  irp->MdlAddress = nullptr;  // the caller's page list
  IoFreeIrp(irp);
  if (NT_SUCCESS(status) && read < Length) status = STATUS_END_OF_FILE;
  return status;
}

// Reads [MemoryOffset, MemoryOffset + Length) of one chunk's memory from
// the file, a step at a time through partial page lists of the chunk.
NTSTATUS LoadChunkRange(PFILE_OBJECT File, PMDL Chunk, ULONG Within, ULONG Length, ULONGLONG FileOffset) {
  PUCHAR base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(Chunk));
  for (ULONG done = 0; done < Length;) {
    ULONG step = Length - done < LOAD_STEP ? Length - done : LOAD_STEP;
    PMDL partial = IoAllocateMdl(base + Within + done, step, FALSE, FALSE, nullptr);
    if (!partial) return STATUS_INSUFFICIENT_RESOURCES;
    IoBuildPartialMdl(Chunk, partial, base + Within + done, step);
    NTSTATUS status = ReadIntoPages(File, partial, step, FileOffset + done);
    IoFreeMdl(partial);
    if (!NT_SUCCESS(status)) return status;
    done += step;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS StoreLoadImage(VolumeStore *Store) {
  if (!Store || !StoreIsMemory(Store) || !Store->ImageFile || !Store->Chunks) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = KsReferenceObjectByHandle(Store->ImageFile, FILE_READ_DATA, *IoFileObjectType, KernelMode, &object);
  if (!NT_SUCCESS(status)) return status;
  PFILE_OBJECT file = static_cast<PFILE_OBJECT>(object);
  // Volume byte v lies at memory offset v + data offset, in chunk
  // (offset / chunk size); the chunks hold the memory in order.
  ChunkSet *chunks = Store->Chunks;
  ULONGLONG fileStart = StoreFileDataOffset(Store);
  for (ULONGLONG loaded = 0; NT_SUCCESS(status) && loaded < Store->VolumeSize;) {
    ULONGLONG memoryOffset = loaded + Store->DataOffset;
    ULONGLONG index = memoryOffset / STORE_MAX_CHUNK;
    if (index >= chunks->Count) {
      status = STATUS_NOT_FOUND;
      break;
    }
    PMDL chunk = chunks->Chunks[index];
    ULONG within = static_cast<ULONG>(memoryOffset % STORE_MAX_CHUNK);
    ULONG room = MmGetMdlByteCount(chunk) > within ? MmGetMdlByteCount(chunk) - within : 0;
    ULONGLONG left = Store->VolumeSize - loaded;
    ULONG length = left < room ? static_cast<ULONG>(left) : room;
    if (length == 0) {
      status = STATUS_NOT_FOUND;
      break;
    }
    status = LoadChunkRange(file, chunk, within, length, fileStart + loaded);
    loaded += length;
  }
  KsReleaseObject(&file);
  return status;
}

NTSTATUS StoreWriteStoredToFile(VolumeStore *Store, HANDLE File, ULONGLONG Offset, ULONG Length,
                                ULONGLONG FileOffset) {
  if (!Store || !StoreIsMemory(Store) || !File) return STATUS_INVALID_PARAMETER;
  if (Offset > Store->VolumeSize || Length > Store->VolumeSize - Offset) return STATUS_END_OF_FILE;
  InterlockedIncrement64(&Store->ReadCount);
  NTSTATUS status = STATUS_SUCCESS;
  // Inside the read gate no writer copies: each run goes out as one
  // consistent whole.
  StoreEnterRead(Store);
  ULONGLONG memoryOffset = Offset + Store->DataOffset;
  StorePiece *piece = StoreFindPiece(Store, memoryOffset);
  for (ULONG done = 0; NT_SUCCESS(status) && done < Length;) {
    if (!piece || memoryOffset < piece->Start || memoryOffset - piece->Start >= piece->Length) {
      status = STATUS_NOT_FOUND;
      break;
    }
    ULONGLONG within = memoryOffset - piece->Start;
    ULONG run = piece->Length - within < Length - done ? static_cast<ULONG>(piece->Length - within) : Length - done;
    {
      StoreSystemAttach attach((piece->Flags & PIECE_USER_SPACE) != 0);
      status = ImageWriteAt(File, piece->Address + within, run, FileOffset + done);
    }
    done += run;
    memoryOffset += run;
    piece = piece->Next;
  }
  StoreLeaveRead(Store);
  if (NT_SUCCESS(status)) InterlockedExchangeAdd64(&Store->BytesRead, static_cast<LONG64>(Length));
  return status;
}
