// Host files read into and written from page lists: requests whose buffer is
// an MDL move the bytes between the file and the pages it describes by their
// frames (allocated pages, partial lists with a byte offset, pool), with the
// statuses of any other transfer.
#include "platform/kernel/tests/hostfs_fixture.h"

#include <cstring>
#include <vector>

namespace bw::test {
namespace {

constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class HostFsMdlTest : public HostFsTest {
 protected:
  // One read or write of `length` bytes at `offset` with `mdl` as its buffer,
  // sent to the file's device as a driver sends it.
  NTSTATUS Send(HANDLE file, UCHAR major, PMDL mdl, ULONG length, LONGLONG offset, ULONG_PTR *information) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(file, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto *fileObject = static_cast<PFILE_OBJECT>(object);
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->MdlAddress = mdl;
    irp->Flags = IRP_NOCACHE;
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = fileObject;
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset.QuadPart = offset;
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    *information = irp->IoStatus.Information;
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    ObfDereferenceObject(fileObject);
    return status;
  }

  static std::string Pattern(size_t length, int seed) {
    std::string s(length, '\0');
    for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 7 + seed) ^ (i >> 8));
    return s;
  }
};

TEST_F(HostFsMdlTest, AllocatedPagesAreReadAndWrittenByFrame) {
  const std::string content = Pattern(5 * PAGE_SIZE + 300, 3);
  MakeFile("f", content);
  PHYSICAL_ADDRESS low{}, high, skip{};
  high.QuadPart = -1;
  PMDL pages = MmAllocatePagesForMdlEx(low, high, skip, 4 * PAGE_SIZE, MmCached, 0);
  ASSERT_NE(nullptr, pages);
  HANDLE h;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_OPEN));

  // A partial list that starts 100 bytes into the first page and ends
  // inside the third: exactly its bytes change.
  PUCHAR base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(pages));
  const ULONG length = 2 * PAGE_SIZE + 50;
  PMDL partial = IoAllocateMdl(base + 100, length, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, partial);
  IoBuildPartialMdl(pages, partial, base + 100, length);
  ULONG_PTR moved = 0;
  EXPECT_STATUS(STATUS_SUCCESS, Send(h, IRP_MJ_READ, partial, length, 7, &moved));
  EXPECT_EQ(length, moved);
  auto *mapped = static_cast<PUCHAR>(
      MmMapLockedPagesSpecifyCache(pages, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
  ASSERT_NE(nullptr, mapped);
  EXPECT_EQ(0, std::memcmp(mapped + 100, content.data() + 7, length));
  EXPECT_EQ(std::vector<UCHAR>(100, 0), std::vector<UCHAR>(mapped, mapped + 100)) << "bytes before the list";
  EXPECT_EQ(std::vector<UCHAR>(4 * PAGE_SIZE - 100 - length, 0),
            std::vector<UCHAR>(mapped + 100 + length, mapped + 4 * PAGE_SIZE))
      << "bytes after the list";

  // Written back elsewhere: the file holds what the pages hold.
  std::memset(mapped + 100, 'w', 10);
  EXPECT_STATUS(STATUS_SUCCESS, Send(h, IRP_MJ_WRITE, partial, length, 3 * PAGE_SIZE, &moved));
  EXPECT_EQ(length, moved);
  std::string expected = content;
  std::memcpy(expected.data() + 3 * PAGE_SIZE, mapped + 100, length);
  EXPECT_TRUE(expected == HostContent("f"));
  // And at the end of the file, the file grows to the end of the write.
  EXPECT_STATUS(STATUS_SUCCESS, Send(h, IRP_MJ_WRITE, partial, length, 5 * PAGE_SIZE, &moved));
  expected.resize(5 * PAGE_SIZE + length);
  std::memcpy(expected.data() + 5 * PAGE_SIZE, mapped + 100, length);
  EXPECT_TRUE(expected == HostContent("f"));

  // Up to the end of the file a read is short; at the end there is nothing.
  const LONGLONG end = static_cast<LONGLONG>(expected.size());
  EXPECT_STATUS(STATUS_SUCCESS, Send(h, IRP_MJ_READ, partial, length, end - 10, &moved));
  EXPECT_EQ(10u, moved);
  EXPECT_EQ(0, std::memcmp(mapped + 100, expected.data() + end - 10, 10));
  EXPECT_STATUS(STATUS_END_OF_FILE, Send(h, IRP_MJ_READ, partial, length, end, &moved));
  EXPECT_EQ(0u, moved);
  // A request longer than its list is refused before anything moves.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Send(h, IRP_MJ_READ, partial, length + 1, 0, &moved));
  // The switch's failures reach these requests too.
  bw::InjectFault(bw::Fault::FileCall, 0, 1);
  EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, Send(h, IRP_MJ_READ, partial, length, 0, &moved));

  MmUnmapLockedPages(mapped, pages);
  IoFreeMdl(partial);
  MmFreePagesFromMdl(pages);
  ExFreePool(pages);
  ZwClose(h);
}

TEST_F(HostFsMdlTest, PoolListsAndUnbufferedRules) {
  const std::string content = Pattern(3 * PAGE_SIZE, 9);
  MakeFile("f", content);
  HANDLE h;
  ASSERT_STATUS(STATUS_SUCCESS, Open(&h, "f", kReadWrite, 0, FILE_OPEN,
                                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING));
  // Ordinary memory described by a list lands at its own address.
  auto *pool = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 2 * PAGE_SIZE + 512, 0x74735442 /* "BTst" */));
  ASSERT_NE(nullptr, pool);
  PMDL mdl = IoAllocateMdl(pool, 2 * PAGE_SIZE + 512, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, mdl);
  MmBuildMdlForNonPagedPool(mdl);
  ULONG_PTR moved = 0;
  EXPECT_STATUS(STATUS_SUCCESS, Send(h, IRP_MJ_READ, mdl, 2 * PAGE_SIZE + 512, 512, &moved));
  EXPECT_EQ(2 * PAGE_SIZE + 512, moved);
  EXPECT_EQ(0, std::memcmp(pool, content.data() + 512, 2 * PAGE_SIZE + 512));
  // Unbuffered files move whole sectors at sector offsets, lists or not.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Send(h, IRP_MJ_READ, mdl, 2 * PAGE_SIZE + 100, 0, &moved));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Send(h, IRP_MJ_WRITE, mdl, 512, 100, &moved));
  EXPECT_EQ(content, HostContent("f"));
  IoFreeMdl(mdl);
  ExFreePool(pool);
  ZwClose(h);
}

}  // namespace
}  // namespace bw::test
