// The disk class driver's entry, its dispatch by device kind, the numbers
// it hands out and the small request helpers its files share.
#include "platform/drivers/disk/disk.h"

#include <set>

namespace disk {

namespace {

std::mutex gNumbersLock;
std::set<ULONG> gDiskNumbers;
ULONG gDiskObjects = 0;
ULONG gVolumes = 0;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (KindOf(device) == Kind::Disk) return DiskDispatch(DiskOf(device), irp);
  return PartitionDispatch(PartitionOf(device), irp);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID DiskUnload(PDRIVER_OBJECT) {}

}  // namespace

ULONG TakeDiskNumber() {
  std::lock_guard<std::mutex> guard(gNumbersLock);
  ULONG n = 0;
  while (gDiskNumbers.count(n)) ++n;
  gDiskNumbers.insert(n);
  return n;
}

void ReleaseDiskNumber(ULONG number) {
  std::lock_guard<std::mutex> guard(gNumbersLock);
  gDiskNumbers.erase(number);
}

ULONG NextDiskObjectIndex() {
  std::lock_guard<std::mutex> guard(gNumbersLock);
  return gDiskObjects++;
}

ULONG NextVolumeOrdinal() {
  std::lock_guard<std::mutex> guard(gNumbersLock);
  return ++gVolumes;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

UNICODE_STRING View(const std::u16string &text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(text.size() * sizeof(WCHAR)), const_cast<char16_t *>(text.data())};
}

std::u16string Decimal(ULONG value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value);
  return digits;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS SendControl(PDEVICE_OBJECT device, ULONG code, void *input, ULONG inputLength, void *output,
                     ULONG outputLength, ULONG_PTR *information) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &event,
                                           &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information) *information = iosb.Information;
  return status;
}

}  // namespace disk

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &entry : Driver->MajorFunction) entry = disk::Dispatch;
  Driver->DriverExtension->AddDevice = disk::DiskAddDevice;
  Driver->DriverUnload = disk::DiskUnload;
  return STATUS_SUCCESS;
}
